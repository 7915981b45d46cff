// module.cpp: loading vardlet.dll and initialising its monitor, as the
// spooler does at start-up.
#include "host.h"

#include <stdio.h>

bool LoadMonitor(const CHostOptions& Options, CMonitorExports* pExports)
{
    HMODULE hModule = LoadLibraryW(Options.DllPath.c_str());
    if (hModule == NULL)
    {
        std::wstring Step = L"loading " + Options.DllPath;
        Fail(Step.c_str(), GetLastError());
        return false;
    }
    const char* pMissing = NULL;
    if (!ResolveVardletExports(hModule, pExports, &pMissing))
    {
        Print(stderr, L"vardlet-spool: the monitor does not export %hs\n", pMissing);
        return false;
    }

    std::wstring Root = Options.RegistryRoot;
    if (!pExports->InitializeMonitor(&Root[0]))
    {
        std::wstring Step = L"InitializeMonitor(HKEY_LOCAL_MACHINE\\" + Root + L")";
        Fail(Step.c_str(), GetLastError());
        return false;
    }
    return true;
}
