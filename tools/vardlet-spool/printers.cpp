// printers.cpp: add-printer, for setting up a Wine prefix: a printer whose
// jobs are written to a file, with Wine's PostScript driver and a PPD.
#include "host.h"

#include <stdio.h>

static const wchar_t* const DriverName = L"Vardlet Raw Driver";

// Wine's AddPrinterDriverW names the PPD in the driver folder without
// copying it there, and its PostScript driver then cannot render a page
// (CreateDCW fails with ERROR_FILE_NOT_FOUND). Copies it where the driver
// says it is; on Windows, which copies it itself, this finds it there.
static bool PutDriverDataInPlace(const std::wstring& Ppd)
{
    DWORD cbNeeded = 0, Count = 0;
    EnumPrinterDriversW(NULL, NULL, 3, NULL, 0, &cbNeeded, &Count);
    std::vector<BYTE> Buffer(cbNeeded + 1);
    if (!EnumPrinterDriversW(NULL, NULL, 3, Buffer.data(), cbNeeded, &cbNeeded, &Count))
    {
        Fail(L"EnumPrinterDriversW", GetLastError());
        return false;
    }
    const DRIVER_INFO_3W* pDrivers = (const DRIVER_INFO_3W*)Buffer.data();
    for (DWORD Index = 0; Index < Count; Index++)
    {
        const wchar_t* pDataFile = pDrivers[Index].pDataFile;
        if (wcscmp(pDrivers[Index].pName, DriverName) != 0 || pDataFile == NULL ||
            GetFileAttributesW(pDataFile) != INVALID_FILE_ATTRIBUTES)
            continue;
        if (!CopyFileW(Ppd.c_str(), pDataFile, FALSE))
        {
            std::wstring Step = L"copying " + Ppd + L" to " + pDataFile;
            Fail(Step.c_str(), GetLastError());
            return false;
        }
    }
    return true;
}

int CmdAddPrinter(const CHostOptions&, const std::vector<std::wstring>& Args)
{
    std::wstring Name, Output, Ppd;
    for (size_t Index = 0; Index < Args.size(); Index++)
    {
        bool HasValue = Index + 1 < Args.size();
        if (Args[Index] == L"--output" && HasValue)
            Output = Args[++Index];
        else if (Args[Index] == L"--ppd" && HasValue)
            Ppd = Args[++Index];
        else if (Args[Index][0] != L'-' && Name.empty())
            Name = Args[Index];
        else
            return UsageError(L"add-printer: unexpected argument %ls", Args[Index].c_str());
    }
    if (Name.empty() || Output.empty())
        return UsageError(L"add-printer takes NAME --output PATH [--ppd PATH]");
    if (Ppd.empty())
    {
        // generic.ppd beside the host.
        WCHAR pPath[MAX_PATH];
        DWORD Length = GetModuleFileNameW(NULL, pPath, MAX_PATH);
        Ppd.assign(pPath, Length);
        Ppd = Ppd.substr(0, Ppd.find_last_of(L"\\/") + 1) + L"generic.ppd";
    }
    if (GetFileAttributesW(Ppd.c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        std::wstring Step = L"finding the PPD " + Ppd;
        return Fail(Step.c_str(), GetLastError());
    }

    DRIVER_INFO_3W Driver = {};
    Driver.cVersion = 3;
    Driver.pName = (LPWSTR)DriverName;
    Driver.pDriverPath = (LPWSTR)L"wineps.drv";
    Driver.pConfigFile = (LPWSTR)L"wineps.drv";
    Driver.pDataFile = &Ppd[0];
    if (!AddPrinterDriverW(NULL, 3, (LPBYTE)&Driver) && GetLastError() != ERROR_PRINTER_DRIVER_ALREADY_INSTALLED)
        return Fail(L"AddPrinterDriverW", GetLastError());

    if (!PutDriverDataInPlace(Ppd))
        return 1;

    PRINTER_INFO_2W Printer = {};
    Printer.pPrinterName = &Name[0];
    Printer.pDriverName = (LPWSTR)DriverName;
    Printer.pPortName = &Output[0];
    Printer.pPrintProcessor = (LPWSTR)L"WinPrint";
    Printer.pDatatype = (LPWSTR)L"RAW";
    HANDLE hPrinter = AddPrinterW(NULL, 2, (LPBYTE)&Printer);
    if (hPrinter == NULL && GetLastError() != ERROR_PRINTER_ALREADY_EXISTS)
    {
        std::wstring Step = L"AddPrinterW(\"" + Name + L"\")";
        return Fail(Step.c_str(), GetLastError());
    }
    if (hPrinter != NULL)
        ClosePrinter(hPrinter);
    Print(stdout, L"printer %ls added; its jobs go to %ls\n", Name.c_str(), Output.c_str());
    return 0;
}
