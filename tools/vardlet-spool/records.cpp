// records.cpp: listing the checksum records: one key level per printer, one
// per document below it, each with its "LastChecksum".
#include "host.h"

#include <stdio.h>

static std::vector<std::wstring> SubkeyNames(HKEY hKey)
{
    std::vector<std::wstring> Names;
    WCHAR pName[256];
    for (DWORD Index = 0;; Index++)
    {
        DWORD cchName = 256;
        if (RegEnumKeyExW(hKey, Index, pName, &cchName, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        Names.emplace_back(pName, cchName);
    }
    return Names;
}

int CmdRecords(const CHostOptions&, const std::vector<std::wstring>& Args)
{
    if (Args.size() > 1)
        return UsageError(L"records takes at most one PRINTER");
    HKEY hRecords = NULL;
    LONG Result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, CHECKSUM_RECORDS_KEY, 0, KEY_READ, &hRecords);
    if (Result == ERROR_FILE_NOT_FOUND)
    {
        Print(stderr, L"vardlet-spool: no checksum records yet\n");
        return 0;
    }
    if (Result != ERROR_SUCCESS)
        return Fail(L"opening HKEY_LOCAL_MACHINE\\" CHECKSUM_RECORDS_KEY, Result);

    // Records name printers with their backslashes as slashes.
    std::wstring Wanted = Args.empty() ? std::wstring() : Args[0];
    for (wchar_t& Char : Wanted)
        if (Char == L'\\')
            Char = L'/';

    int Shown = 0;
    Print(stdout, L"%-24ls %-40ls %12ls\n", L"PRINTER", L"DOCUMENT", L"CHECKSUM");
    for (const std::wstring& Printer : SubkeyNames(hRecords))
    {
        if (!Wanted.empty() && _wcsicmp(Printer.c_str(), Wanted.c_str()) != 0)
            continue;
        HKEY hPrinter = NULL;
        if (RegOpenKeyExW(hRecords, Printer.c_str(), 0, KEY_READ, &hPrinter) != ERROR_SUCCESS)
            continue;
        for (const std::wstring& Document : SubkeyNames(hPrinter))
        {
            DWORD Value = 0, cbValue = sizeof(Value);
            if (RegGetValueW(hPrinter, Document.c_str(), L"LastChecksum", RRF_RT_REG_DWORD, NULL, &Value,
                             &cbValue) != ERROR_SUCCESS)
                continue;
            Print(stdout, L"%-24ls %-40ls %12lu\n", Printer.c_str(), Document.c_str(), (unsigned long)Value);
            Shown++;
        }
        RegCloseKey(hPrinter);
    }
    RegCloseKey(hRecords);
    if (Shown == 0)
        Print(stderr, L"vardlet-spool: no checksum records%ls%ls\n", Wanted.empty() ? L"" : L" for ",
              Wanted.c_str());
    return 0;
}
