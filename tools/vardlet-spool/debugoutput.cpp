// debugoutput.cpp: a debug-output viewer inside the host. The monitor writes
// its diagnostics with OutputDebugStringW; without a debugger attached they
// go through the shared "DBWIN_BUFFER" that viewers read, which is what this
// listener does, for this process's messages only.
#include "host.h"

#include <stdio.h>

#include <mutex>

namespace {

struct CDebugBuffer
{
    DWORD ProcessId;
    char pText[4096 - sizeof(DWORD)];
};

HANDLE hBufferReady = NULL;
HANDLE hDataReady = NULL;
HANDLE hMapping = NULL;
const CDebugBuffer* pBuffer = NULL;
HANDLE hThread = NULL;
volatile LONG StopRequested = 0;
bool EchoMessages = false;
std::mutex MessagesLock;
std::vector<std::string> Messages;

DWORD WINAPI ListenerThread(LPVOID)
{
    DWORD OwnProcessId = GetCurrentProcessId();
    for (;;)
    {
        SetEvent(hBufferReady);
        if (WaitForSingleObject(hDataReady, 100) != WAIT_OBJECT_0)
        {
            // Leave only when no message is pending, so none is lost.
            if (StopRequested)
                return 0;
            continue;
        }
        if (pBuffer->ProcessId != OwnProcessId)
            continue;
        std::string Text(pBuffer->pText, strnlen(pBuffer->pText, sizeof(pBuffer->pText)));
        if (EchoMessages)
        {
            std::string Shown = Text;
            while (!Shown.empty() && (Shown.back() == '\n' || Shown.back() == '\r'))
                Shown.pop_back();
            // The buffer carries text in the ANSI code page.
            std::wstring Wide(Shown.size(), L'\0');
            Wide.resize(MultiByteToWideChar(CP_ACP, 0, Shown.data(), (int)Shown.size(), &Wide[0],
                                            (int)Wide.size()));
            Print(stderr, L"[vardlet debug] %ls\n", Wide.c_str());
        }
        std::lock_guard<std::mutex> Guard(MessagesLock);
        Messages.push_back(Text);
    }
}

void CloseAll()
{
    if (pBuffer != NULL)
        UnmapViewOfFile(pBuffer);
    // Closed at once: a buffer nobody signals would stall every
    // OutputDebugString call in the process for ten seconds.
    for (HANDLE* phHandle : {&hMapping, &hDataReady, &hBufferReady})
    {
        if (*phHandle != NULL)
            CloseHandle(*phHandle);
        *phHandle = NULL;
    }
    pBuffer = NULL;
}

}  // namespace

void StartDebugOutputViewer(bool Echo)
{
    EchoMessages = Echo;
    StopRequested = 0;
    hBufferReady = CreateEventW(NULL, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    hDataReady = CreateEventW(NULL, FALSE, FALSE, L"DBWIN_DATA_READY");
    hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(CDebugBuffer),
                                  L"DBWIN_BUFFER");
    if (hBufferReady != NULL && hDataReady != NULL && hMapping != NULL)
        pBuffer = (const CDebugBuffer*)MapViewOfFile(hMapping, FILE_MAP_READ, 0, 0, 0);
    if (pBuffer != NULL)
        hThread = CreateThread(NULL, 0, ListenerThread, NULL, 0, NULL);
    if (hThread == NULL)
    {
        Print(stderr, L"vardlet-spool: the monitor's debugger output cannot be shown (error %lu)\n",
              GetLastError());
        CloseAll();
    }
}

void StopDebugOutputViewer()
{
    if (hThread != NULL)
    {
        InterlockedExchange(&StopRequested, 1);
        WaitForSingleObject(hThread, INFINITE);
        CloseHandle(hThread);
        hThread = NULL;
    }
    CloseAll();
}

std::vector<std::string> TakeDebugOutput()
{
    std::lock_guard<std::mutex> Guard(MessagesLock);
    std::vector<std::string> Taken;
    Taken.swap(Messages);
    return Taken;
}
