// install.cpp: install and uninstall, putting the monitor where the spooler
// loads it. install copies vardlet.dll, vardletmon.dll and (when it is
// beside this program) vardletui.dll to the system folder and registers the
// monitor "Vardlet" with AddMonitorW; uninstall removes it with DeleteMonitorW,
// but not while a printer still prints to one of its ports.
#include "host.h"

#include "xcvcommands.h"

#include <stdio.h>

// The spooler's name for this program's architecture; a monitor must be
// built for the spooler's own.
#ifdef _WIN64
static const wchar_t* const Environment = L"Windows x64";
#else
static const wchar_t* const Environment = L"Windows NT x86";
#endif

struct CInstalledFile
{
    const wchar_t* pName;
    bool Required;  // install fails without it
};

static const CInstalledFile InstalledFiles[] = {
    {L"vardlet.dll", true},
    {VARDLET_MONITOR_DLL, true},
    {VARDLET_MONITOR_UI_DLL, false},
};

static std::wstring ProgramFolder()
{
    WCHAR pPath[MAX_PATH];
    DWORD Length = GetModuleFileNameW(NULL, pPath, MAX_PATH);
    std::wstring Path(pPath, Length);
    return Path.substr(0, Path.find_last_of(L"\\/") + 1);
}

static std::wstring SystemFolder()
{
    WCHAR pPath[MAX_PATH];
    UINT Length = GetSystemDirectoryW(pPath, MAX_PATH);
    return std::wstring(pPath, Length) + L"\\";
}

// A 32-bit program on 64-bit Windows would put 32-bit DLLs where the 64-bit
// spooler never looks (the system folder it sees is SysWOW64).
static bool RefuseForeignArchitecture(const wchar_t* pCommand)
{
    BOOL IsWow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &IsWow64) && IsWow64)
    {
        Print(stderr, L"vardlet-spool: %ls refused: this is the 32-bit vardlet-spool on 64-bit Windows, "
                      L"whose spooler loads 64-bit monitors only; use the x86_64 build\n",
              pCommand);
        return true;
    }
    return false;
}

int CmdInstall(const CHostOptions&, const std::vector<std::wstring>& Args)
{
    if (!Args.empty())
        return UsageError(L"install takes no arguments");
    if (RefuseForeignArchitecture(L"install"))
        return 1;

    std::wstring From = ProgramFolder(), To = SystemFolder();
    for (const CInstalledFile& File : InstalledFiles)
    {
        std::wstring Source = From + File.pName, Target = To + File.pName;
        if (GetFileAttributesW(Source.c_str()) == INVALID_FILE_ATTRIBUTES)
        {
            if (!File.Required)
            {
                Print(stdout, L"%ls is not beside vardlet-spool: ports are added with vardlet-spool add-port\n",
                      File.pName);
                continue;
            }
            std::wstring Step = L"finding " + Source;
            return Fail(Step.c_str(), GetLastError());
        }
        if (!CopyFileW(Source.c_str(), Target.c_str(), FALSE))
        {
            // On Windows a loaded monitor's files are in use until the
            // spooler stops: ERROR_SHARING_VIOLATION (32).
            std::wstring Step = L"copying " + Source + L" to " + Target;
            return Fail(Step.c_str(), GetLastError());
        }
        Print(stdout, L"copied %ls to %ls\n", File.pName, To.c_str());
    }

    MONITOR_INFO_2W Monitor = {(LPWSTR)VARDLET_MONITOR_NAME, (LPWSTR)Environment,
                               (LPWSTR)VARDLET_MONITOR_DLL};
    if (!AddMonitorW(NULL, 2, (LPBYTE)&Monitor))
    {
        DWORD ErrorCode = GetLastError();
        if (ErrorCode != ERROR_PRINT_MONITOR_ALREADY_INSTALLED)
            return Fail(L"AddMonitorW(\"" VARDLET_MONITOR_NAME L"\", " VARDLET_MONITOR_DLL L")", ErrorCode);
        Print(stdout, L"monitor %ls was already installed; its files are updated (on Windows the spooler "
                      L"uses them once it restarts)\n",
              VARDLET_MONITOR_NAME);
        return 0;
    }
    Print(stdout, L"monitor %ls installed for %ls; its ports are under HKEY_LOCAL_MACHINE\\%ls\n",
          VARDLET_MONITOR_NAME, Environment, DEFAULT_MONITOR_ROOT);
    return 0;
}

// The printer ports of a printer, a comma-separated list.
static std::vector<std::wstring> SplitPorts(const wchar_t* pPorts)
{
    std::vector<std::wstring> Ports;
    std::wstring Current;
    for (const wchar_t* pChar = pPorts; pChar != NULL && *pChar != L'\0'; pChar++)
    {
        if (*pChar == L',')
        {
            Ports.push_back(Current);
            Current.clear();
        }
        else if (*pChar != L' ' || !Current.empty())
            Current += *pChar;
    }
    if (!Current.empty())
        Ports.push_back(Current);
    return Ports;
}

static bool IsVardletPort(const std::wstring& Port)
{
    // A port's key name is its name with backslashes written as commas; a
    // printer's port list cannot hold a comma, so only backslashes change.
    std::wstring Key = std::wstring(DEFAULT_MONITOR_ROOT) + L"\\" + Port;
    for (size_t Index = wcslen(DEFAULT_MONITOR_ROOT) + 1; Index < Key.size(); Index++)
        if (Key[Index] == L'\\')
            Key[Index] = L',';
    HKEY hKey = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

int CmdUninstall(const CHostOptions&, const std::vector<std::wstring>& Args)
{
    if (!Args.empty())
        return UsageError(L"uninstall takes no arguments");
    if (RefuseForeignArchitecture(L"uninstall"))
        return 1;

    DWORD cbNeeded = 0, Count = 0;
    std::vector<BYTE> Buffer;
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &cbNeeded, &Count))
    {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return Fail(L"EnumPrintersW (size query)", GetLastError());
        Buffer.resize(cbNeeded);
        if (!EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, Buffer.data(), cbNeeded, &cbNeeded, &Count))
            return Fail(L"EnumPrintersW", GetLastError());
    }
    int InUse = 0;
    const PRINTER_INFO_2W* pPrinters = (const PRINTER_INFO_2W*)Buffer.data();
    for (DWORD Index = 0; Index < Count; Index++)
    {
        for (const std::wstring& Port : SplitPorts(pPrinters[Index].pPortName))
        {
            if (!IsVardletPort(Port))
                continue;
            Print(stderr, L"vardlet-spool: printer \"%ls\" prints to the vardlet port %ls\n",
                  pPrinters[Index].pPrinterName, Port.c_str());
            InUse++;
        }
    }
    if (InUse != 0)
    {
        Print(stderr, L"vardlet-spool: uninstall refused: delete those printers or move them to other "
                      L"ports first\n");
        return 1;
    }

    if (!DeleteMonitorW(NULL, (LPWSTR)Environment, (LPWSTR)VARDLET_MONITOR_NAME))
        return Fail(L"DeleteMonitorW(\"" VARDLET_MONITOR_NAME L"\")", GetLastError());
    Print(stdout, L"monitor %ls removed\n", VARDLET_MONITOR_NAME);

    // On Windows the spooler may still hold the files until it restarts:
    // they are then removed at the next start of the system.
    std::wstring To = SystemFolder();
    for (const CInstalledFile& File : InstalledFiles)
    {
        std::wstring Target = To + File.pName;
        if (DeleteFileW(Target.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
            continue;
        if (MoveFileExW(Target.c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
            Print(stdout, L"%ls is in use; it is removed when the system restarts\n", Target.c_str());
        else
        {
            DWORD ErrorCode = GetLastError();
            Print(stderr, L"vardlet-spool: %ls stays: error %lu: %ls\n", Target.c_str(),
                  (unsigned long)ErrorCode, SystemErrorText(ErrorCode).c_str());
        }
    }
    return 0;
}
