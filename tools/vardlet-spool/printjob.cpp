// printjob.cpp: print-job, a file sent to a printer as a RAW job through the
// spooler, the path a real program takes (OpenPrinterW, StartDocPrinterW,
// WritePrinter, EndDocPrinter). The spooler hands the job to the printer's
// port; on a vardlet port the monitor then reports and records its checksum,
// which this command shows.
//
// Under Wine the spooler runs inside this process and sends the job during
// EndDocPrinter, so the monitor's message and record are there when it
// returns. On Windows the job is printed later by the spooler's own process:
// the command waits for the job to leave the queue, and the monitor's
// message goes to that process's debugger output (a debug-output viewer
// shows it).
#include "host.h"

#include <stdio.h>

// WritePrinter's piece size; the spooler cuts the job into its own pieces
// (Wine: 4096 bytes) whatever this is.
static const DWORD PieceSize = 64 * 1024;

// How long to wait for a job to leave a Windows spooler's queue.
static const DWORD QueueTimeoutMs = 60 * 1000;

int CmdPrintJob(const CHostOptions&, const std::vector<std::wstring>& Args)
{
    std::wstring File, Printer, Document;
    for (size_t Index = 0; Index < Args.size(); Index++)
    {
        bool HasValue = Index + 1 < Args.size();
        if (Args[Index] == L"--printer" && HasValue)
            Printer = Args[++Index];
        else if (Args[Index] == L"--document" && HasValue)
            Document = Args[++Index];
        else if (Args[Index][0] != L'-' && File.empty())
            File = Args[Index];
        else
            return UsageError(L"print-job: unexpected argument %ls", Args[Index].c_str());
    }
    if (File.empty() || Printer.empty())
        return UsageError(L"print-job takes FILE --printer NAME [--document NAME]");
    if (Document.empty())
        Document = File;

    HANDLE hFile = CreateFileW(File.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        std::wstring Step = L"opening " + File;
        return Fail(Step.c_str(), GetLastError());
    }

    int Status = 1;
    HANDLE hPrinter = NULL;
    DWORD JobId = 0;
    ULONGLONG cbTotal = 0;
    std::vector<BYTE> Buffer(PieceSize);
    std::wstring PrinterName = Printer;
    DOC_INFO_1W DocInfo = {&Document[0], NULL, (LPWSTR)L"RAW"};

    if (!OpenPrinterW(&PrinterName[0], &hPrinter, NULL))
    {
        hPrinter = NULL;
        std::wstring Step = L"OpenPrinterW(\"" + Printer + L"\")";
        Fail(Step.c_str(), GetLastError());
        goto CleanUp;
    }
    JobId = StartDocPrinterW(hPrinter, 1, (LPBYTE)&DocInfo);
    if (JobId == 0)
    {
        std::wstring Step = L"StartDocPrinterW on \"" + Printer + L"\"";
        Fail(Step.c_str(), GetLastError());
        goto CleanUp;
    }
    for (;;)
    {
        DWORD cbRead = 0, cbWritten = 0;
        if (!ReadFile(hFile, Buffer.data(), PieceSize, &cbRead, NULL))
        {
            std::wstring Step = L"reading " + File;
            Fail(Step.c_str(), GetLastError());
            SetJobW(hPrinter, JobId, 0, NULL, JOB_CONTROL_DELETE);
            EndDocPrinter(hPrinter);
            goto CleanUp;
        }
        if (cbRead == 0)
            break;
        if (!WritePrinter(hPrinter, Buffer.data(), cbRead, &cbWritten) || cbWritten != cbRead)
        {
            Fail(L"WritePrinter", GetLastError());
            SetJobW(hPrinter, JobId, 0, NULL, JOB_CONTROL_DELETE);
            EndDocPrinter(hPrinter);
            goto CleanUp;
        }
        cbTotal += cbRead;
    }
    // Wine sends the job to the port here; a port that fails makes this fail
    // (the monitor's own message says why).
    if (!EndDocPrinter(hPrinter))
    {
        Fail(L"EndDocPrinter", GetLastError());
        for (const std::string& Message : TakeDebugOutput())
            Print(stderr, L"  monitor said: %hs", Message.c_str());
        goto CleanUp;
    }
    for (DWORD Waited = 0; Waited < QueueTimeoutMs; Waited += 100)
    {
        DWORD cbJob = 0;
        if (!GetJobW(hPrinter, JobId, 1, NULL, 0, &cbJob) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;  // printed and gone
        Sleep(100);
    }
    Status = 0;

CleanUp:
    if (hPrinter != NULL)
        ClosePrinter(hPrinter);
    CloseHandle(hFile);
    if (Status == 0)
    {
        std::string Message = WaitForChecksumMessage();
        Print(stdout, L"%ls: %llu bytes printed on %ls as job %lu\n", File.c_str(), cbTotal, Printer.c_str(),
              (unsigned long)JobId);
        Print(stdout, L"  monitor said: %hs\n",
              Message.empty() ? "(nothing in this process: see the spooler's debugger output)" : Message.c_str());
        ShowRecord(Printer, Document);
    }
    return Status;
}
