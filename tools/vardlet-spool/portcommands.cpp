// portcommands.cpp: listing, adding, configuring and deleting ports.
#include "host.h"

#include <stdio.h>

int CmdPorts(const CHostOptions& Options, const std::vector<std::wstring>& Args)
{
    if (!Args.empty())
        return UsageError(L"ports takes no arguments");
    CMonitorExports Monitor;
    if (!LoadMonitor(Options, &Monitor))
        return 1;

    // A size query first, then the real call, as the spooler does.
    DWORD Needed = 0, Returned = 0;
    std::vector<BYTE> Buffer;
    if (!Monitor.EnumPortsW(NULL, 1, NULL, 0, &Needed, &Returned))
    {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return Fail(L"EnumPortsW (size query)", GetLastError());
        Buffer.resize(Needed);
        if (!Monitor.EnumPortsW(NULL, 1, Buffer.data(), Needed, &Needed, &Returned))
            return Fail(L"EnumPortsW", GetLastError());
    }
    const PORT_INFO_1W* pPorts = (const PORT_INFO_1W*)Buffer.data();
    for (DWORD Index = 0; Index < Returned; Index++)
        Print(stdout, L"%ls\n", pPorts[Index].pName != NULL ? pPorts[Index].pName : L"(no name)");
    if (Returned == 0)
        Print(stderr, L"vardlet-spool: no ports under HKEY_LOCAL_MACHINE\\%ls\n",
              Options.RegistryRoot.c_str());
    return 0;
}

int CmdAddPort(const CHostOptions& Options, const std::vector<std::wstring>& Args)
{
    bool UseDialog = false;
    bool HasPassThrough = false;
    std::wstring Name, PassThrough;
    for (size_t Index = 0; Index < Args.size(); Index++)
    {
        if (Args[Index] == L"--dialog")
            UseDialog = true;
        else if (Args[Index] == L"--pass-through" && Index + 1 < Args.size())
        {
            HasPassThrough = true;
            PassThrough = Args[++Index];
        }
        else if (Args[Index][0] != L'-' && Name.empty())
            Name = Args[Index];
        else
            return UsageError(L"add-port: unexpected argument %ls", Args[Index].c_str());
    }
    if (UseDialog == !Name.empty() || (UseDialog && HasPassThrough))
        return UsageError(L"add-port takes a NAME [--pass-through PRINTER], or --dialog");

    CMonitorExports Monitor;
    if (!LoadMonitor(Options, &Monitor))
        return 1;

    if (UseDialog)
    {
        HWND hOwner = StartOwnerWindow();
        BOOL Added = Monitor.AddPortW(NULL, hOwner, NULL);
        DWORD ErrorCode = GetLastError();
        StopOwnerWindow();
        if (!Added)
            return Fail(ErrorCode == ERROR_CANCELLED ? L"AddPortW (the dialog was cancelled)" : L"AddPortW",
                        ErrorCode);
        Print(stdout, L"port added\n");
        return 0;
    }

    // The record of the extended add: the monitor data of a checksum port is
    // its pass-through printer's name (none: pass-through off).
    struct
    {
        LPWSTR pName;
        DWORD cbMonitorData;
        LPBYTE pMonitorData;
    } Record = {&Name[0], HasPassThrough ? (DWORD)((PassThrough.size() + 1) * sizeof(WCHAR)) : 0,
                HasPassThrough ? (LPBYTE)&PassThrough[0] : NULL};
    if (!Monitor.AddPortExW(NULL, (DWORD)-1, (LPBYTE)&Record, NULL))
    {
        std::wstring Step = L"AddPortExW(\"" + Name + L"\")";
        return Fail(Step.c_str(), GetLastError());
    }
    if (HasPassThrough)
        Print(stdout, L"port %ls added, passing jobs through to %ls\n", Name.c_str(), PassThrough.c_str());
    else
        Print(stdout, L"port %ls added\n", Name.c_str());
    return 0;
}

int CmdConfigure(const CHostOptions& Options, const std::vector<std::wstring>& Args)
{
    if (Args.size() != 1)
        return UsageError(L"configure takes one PORT");
    CMonitorExports Monitor;
    if (!LoadMonitor(Options, &Monitor))
        return 1;
    std::wstring Name = Args[0];
    HWND hOwner = StartOwnerWindow();
    BOOL Configured = Monitor.ConfigurePortW(NULL, hOwner, &Name[0]);
    DWORD ErrorCode = GetLastError();
    StopOwnerWindow();
    if (!Configured)
    {
        std::wstring Step = L"ConfigurePortW(\"" + Name + L"\")";
        return Fail(Step.c_str(), ErrorCode);
    }
    Print(stdout, L"port %ls configured\n", Name.c_str());
    return 0;
}

int CmdDeletePort(const CHostOptions& Options, const std::vector<std::wstring>& Args)
{
    if (Args.size() != 1)
        return UsageError(L"delete-port takes one NAME");
    CMonitorExports Monitor;
    if (!LoadMonitor(Options, &Monitor))
        return 1;
    std::wstring Name = Args[0];
    if (!Monitor.DeletePortW(NULL, NULL, &Name[0]))
    {
        std::wstring Step = L"DeletePortW(\"" + Name + L"\")";
        return Fail(Step.c_str(), GetLastError());
    }
    Print(stdout, L"port %ls deleted\n", Name.c_str());
    return 0;
}
