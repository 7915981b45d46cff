// module.cpp: loading vardlet.dll and initialising its monitor, as the
// spooler does at start-up.
#include "host.h"

#include <stdio.h>

template <typename T> static bool Resolve(HMODULE hModule, const char* pName, T* pFunction)
{
    *pFunction = (T)(void*)GetProcAddress(hModule, pName);
    if (*pFunction == NULL)
    {
        Print(stderr, L"vardlet-spool: the monitor does not export %hs\n", pName);
        return false;
    }
    return true;
}

bool LoadMonitor(const CHostOptions& Options, CMonitorExports* pExports)
{
    HMODULE hModule = LoadLibraryW(Options.DllPath.c_str());
    if (hModule == NULL)
    {
        std::wstring Step = L"loading " + Options.DllPath;
        Fail(Step.c_str(), GetLastError());
        return false;
    }
    bool Resolved = Resolve(hModule, "InitializeMonitor", &pExports->InitializeMonitor) &&
                    Resolve(hModule, "AddPortW", &pExports->AddPortW) &&
                    Resolve(hModule, "AddPortExW", &pExports->AddPortExW) &&
                    Resolve(hModule, "EnumPortsW", &pExports->EnumPortsW) &&
                    Resolve(hModule, "DeletePortW", &pExports->DeletePortW) &&
                    Resolve(hModule, "ConfigurePortW", &pExports->ConfigurePortW) &&
                    Resolve(hModule, "OpenPort", &pExports->OpenPort) &&
                    Resolve(hModule, "ClosePort", &pExports->ClosePort) &&
                    Resolve(hModule, "StartDocPort", &pExports->StartDocPort) &&
                    Resolve(hModule, "EndDocPort", &pExports->EndDocPort) &&
                    Resolve(hModule, "WritePort", &pExports->WritePort) &&
                    Resolve(hModule, "ReadPort", &pExports->ReadPort);
    if (!Resolved)
        return false;

    std::wstring Root = Options.RegistryRoot;
    if (!pExports->InitializeMonitor(&Root[0]))
    {
        std::wstring Step = L"InitializeMonitor(HKEY_LOCAL_MACHINE\\" + Root + L")";
        Fail(Step.c_str(), GetLastError());
        return false;
    }
    return true;
}
