// print.cpp: sending files through a port as real print jobs.
//
// For each file the host does what the spooler does for a job on a printer
// attached to the port: it creates a real job on the printer (for its id and
// names), then OpenPort, StartDocPort with that job, WritePort in pieces of
// the write size, EndDocPort and ClosePort. It then shows the checksum the
// monitor reported and the record it left.
#include "host.h"

#include <stdio.h>

// The host's default piece size. For a job that is not PostScript the write
// size never changes the checksum; for PostScript it does only when the
// header "%!PS-Adobe" is not within the first write (see vardlet-sum --help).
static const DWORD DefaultWriteSize = 4096;

// Files above this size show a progress bar on a terminal.
static const ULONGLONG ProgressThreshold = 4 * 1024 * 1024;

namespace {

struct CPrintOptions
{
    std::vector<std::wstring> Files;
    std::wstring Port, Printer, Document;
    DWORD WriteSize = DefaultWriteSize;
};

class CProgressBar
{
public:
    CProgressBar(ULONGLONG cbTotal)
        : cbTotal(cbTotal),
          Shown(cbTotal > ProgressThreshold &&
                GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR)
    {
    }
    ~CProgressBar() { Clear(); }
    // Takes the bar off its line, so that what comes next (an error, the
    // monitor's debugger output) starts at the left margin.
    void Clear()
    {
        if (Shown && LastPercent >= 0)
            Print(stderr, L"\r%60ls\r", L"");
        LastPercent = -1;
    }
    void Update(ULONGLONG cbDone)
    {
        if (!Shown || cbDone >= cbTotal)
            return;
        int Percent = (int)(cbDone * 100 / cbTotal);
        if (Percent == LastPercent)
            return;
        LastPercent = Percent;
        wchar_t pBar[41];
        for (int Index = 0; Index < 40; Index++)
            pBar[Index] = Index < Percent * 40 / 100 ? L'#' : L'.';
        pBar[40] = L'\0';
        Print(stderr, L"\r[%ls] %3d%%", pBar, Percent);
        fflush(stderr);
    }

private:
    ULONGLONG cbTotal;
    bool Shown;
    int LastPercent = -1;
};

// A real job on a real printer, created and removed as the spooler would.
class CSpoolerJob
{
public:
    ~CSpoolerJob()
    {
        if (hPrinter != NULL)
        {
            if (JobId != 0)
            {
                // The monitor has reported the job sent; remove it so the
                // printer's own port receives nothing.
                SetJobW(hPrinter, JobId, 0, NULL, JOB_CONTROL_DELETE);
                EndDocPrinter(hPrinter);
            }
            ClosePrinter(hPrinter);
        }
    }
    bool Create(const std::wstring& Printer, const std::wstring& Document)
    {
        std::wstring PrinterName = Printer;
        if (!OpenPrinterW(&PrinterName[0], &hPrinter, NULL))
        {
            hPrinter = NULL;
            std::wstring Step = L"OpenPrinterW(\"" + Printer + L"\")";
            Fail(Step.c_str(), GetLastError());
            return false;
        }
        DocumentName = Document;
        DOC_INFO_1W DocInfo = {&DocumentName[0], NULL, (LPWSTR)L"RAW"};
        JobId = StartDocPrinterW(hPrinter, 1, (LPBYTE)&DocInfo);
        if (JobId == 0)
        {
            std::wstring Step = L"StartDocPrinterW on \"" + Printer + L"\"";
            Fail(Step.c_str(), GetLastError());
            return false;
        }
        return true;
    }
    DWORD JobId = 0;

private:
    HANDLE hPrinter = NULL;
    std::wstring DocumentName;
};

bool ParseOptions(const std::vector<std::wstring>& Args, CPrintOptions* pOptions, int* pStatus)
{
    for (size_t Index = 0; Index < Args.size(); Index++)
    {
        const std::wstring& Arg = Args[Index];
        bool HasValue = Index + 1 < Args.size();
        if (Arg == L"--port" && HasValue)
            pOptions->Port = Args[++Index];
        else if (Arg == L"--printer" && HasValue)
            pOptions->Printer = Args[++Index];
        else if (Arg == L"--document" && HasValue)
            pOptions->Document = Args[++Index];
        else if (Arg == L"--write-size" && HasValue)
        {
            wchar_t* pEnd = NULL;
            unsigned long Value = wcstoul(Args[++Index].c_str(), &pEnd, 10);
            if (*pEnd != L'\0' || Value == 0 || Value > 64UL * 1024 * 1024)
            {
                *pStatus = UsageError(L"--write-size takes a number of bytes from 1 to 67108864");
                return false;
            }
            pOptions->WriteSize = (DWORD)Value;
        }
        else if (Arg.size() > 1 && Arg[0] == L'-' && Arg[1] == L'-')
        {
            *pStatus = UsageError(L"print: unknown option %ls", Arg.c_str());
            return false;
        }
        else
            pOptions->Files.push_back(Arg);
    }
    if (pOptions->Files.empty() || pOptions->Port.empty() || pOptions->Printer.empty())
    {
        *pStatus = UsageError(L"print takes FILE... --port NAME --printer NAME");
        return false;
    }
    return true;
}

}  // namespace

// The "Checksum: N" message the monitor sent for the job just ended.
std::string WaitForChecksumMessage()
{
    for (int Attempt = 0; Attempt < 100; Attempt++)
    {
        for (const std::string& Message : TakeDebugOutput())
        {
            if (Message.compare(0, 10, "Checksum: ") == 0)
                return Message.substr(0, Message.find_last_not_of("\r\n") + 1);
        }
        Sleep(20);
    }
    return std::string();
}

void ShowRecord(const std::wstring& Printer, const std::wstring& Document)
{
    std::wstring PrinterLevel = Printer, DocumentLevel = Document;
    for (std::wstring* pLevel : {&PrinterLevel, &DocumentLevel})
        for (wchar_t& Char : *pLevel)
            if (Char == L'\\')
                Char = L'/';
    std::wstring Key = std::wstring(CHECKSUM_RECORDS_KEY) + L"\\" + PrinterLevel + L"\\" + DocumentLevel;
    DWORD Value = 0, cbValue = sizeof(Value);
    LONG Result = RegGetValueW(HKEY_LOCAL_MACHINE, Key.c_str(), L"LastChecksum", RRF_RT_REG_DWORD, NULL,
                               &Value, &cbValue);
    if (Result != ERROR_SUCCESS)
    {
        Print(stderr, L"vardlet-spool: no checksum record at HKEY_LOCAL_MACHINE\\%ls: error %ld: %ls\n",
              Key.c_str(), Result, SystemErrorText(Result).c_str());
        return;
    }
    Print(stdout, L"  record: HKEY_LOCAL_MACHINE\\%ls\\LastChecksum = %lu (0x%08lX)\n", Key.c_str(),
          (unsigned long)Value, (unsigned long)Value);
}

namespace {

int PrintFile(const CMonitorExports& Monitor, const CPrintOptions& Options, const std::wstring& File)
{
    HANDLE hFile = CreateFileW(File.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        std::wstring Step = L"opening " + File;
        return Fail(Step.c_str(), GetLastError());
    }
    LARGE_INTEGER FileSize = {};
    GetFileSizeEx(hFile, &FileSize);

    std::wstring Document = Options.Document.empty() ? File : Options.Document;
    CSpoolerJob Job;
    HANDLE hPort = NULL;
    std::vector<BYTE> Buffer(Options.WriteSize);
    ULONGLONG cbTotal = 0, NumWrites = 0;
    int Status = 1;
    {
        CProgressBar Progress((ULONGLONG)FileSize.QuadPart);
        if (!Job.Create(Options.Printer, Document))
            goto CleanUp;

        std::wstring Port = Options.Port;
        if (!Monitor.OpenPort(&Port[0], &hPort))
        {
            hPort = NULL;
            std::wstring Step = L"OpenPort(\"" + Options.Port + L"\")";
            Fail(Step.c_str(), GetLastError());
            goto CleanUp;
        }

        std::wstring PrinterName = Options.Printer;
        DOC_INFO_1W DocInfo = {&Document[0], NULL, (LPWSTR)L"RAW"};
        if (!Monitor.StartDocPort(hPort, &PrinterName[0], Job.JobId, 1, (LPBYTE)&DocInfo))
        {
            Fail(L"StartDocPort", GetLastError());
            goto CleanUp;
        }

        for (;;)
        {
            DWORD cbRead = 0;
            if (!ReadFile(hFile, Buffer.data(), Options.WriteSize, &cbRead, NULL))
            {
                Progress.Clear();
                std::wstring Step = L"reading " + File;
                Fail(Step.c_str(), GetLastError());
                Monitor.EndDocPort(hPort);
                goto CleanUp;
            }
            if (cbRead == 0)
                break;
            DWORD cbWritten = 0;
            if (!Monitor.WritePort(hPort, Buffer.data(), cbRead, &cbWritten) || cbWritten != cbRead)
            {
                DWORD ErrorCode = GetLastError();
                Progress.Clear();
                Fail(L"WritePort", ErrorCode);
                Monitor.EndDocPort(hPort);
                goto CleanUp;
            }
            cbTotal += cbRead;
            NumWrites++;
            Progress.Update(cbTotal);
        }

        // The monitor reports the checksum during EndDocPort.
        Progress.Clear();
        if (!Monitor.EndDocPort(hPort))
        {
            Fail(L"EndDocPort", GetLastError());
            goto CleanUp;
        }
        Status = 0;
    }

CleanUp:
    if (hPort != NULL)
        Monitor.ClosePort(hPort);
    CloseHandle(hFile);
    if (Status == 0)
    {
        std::string Message = WaitForChecksumMessage();
        Print(stdout, L"%ls: %llu bytes in %llu writes of up to %lu\n", File.c_str(), cbTotal, NumWrites,
              (unsigned long)Options.WriteSize);
        Print(stdout, L"  monitor said: %hs\n", Message.empty() ? "(no checksum message)" : Message.c_str());
        ShowRecord(Options.Printer, Document);
    }
    return Status;
}

}  // namespace

int CmdPrint(const CHostOptions& HostOptions, const std::vector<std::wstring>& Args)
{
    CPrintOptions Options;
    int Status = 0;
    if (!ParseOptions(Args, &Options, &Status))
        return Status;
    CMonitorExports Monitor;
    if (!LoadMonitor(HostOptions, &Monitor))
        return 1;
    for (const std::wstring& File : Options.Files)
    {
        Status = PrintFile(Monitor, Options, File);
        if (Status != 0)
            return Status;
    }
    return 0;
}
