// monitorkey.cpp: which monitor am I? MONITORINIT carries no monitor name,
// only a handle to the monitor's key. The key's path is found in one of two
// ways, in this order:
//  1. The name of hckRegistryRoot itself (NtQueryKey, KeyNameInformation):
//     the key the spooler hands over is the monitor's own. Wine 8.0 hands a
//     real registry key and answers its name, "\REGISTRY\MACHINE\System
//     \CurrentControlSet\Control\Print\Monitors\<name>", inside
//     AddMonitorW as much as later.
//  2. The subkey of "...\Print\Monitors" whose "Driver" value names this
//     DLL, for a spooler whose hckRegistryRoot is no registry key (a cluster
//     spooler's is not). Wine 8.0 has written "Driver" already when
//     AddMonitorW initialises the monitor, so this way works there too. Two
//     monitors naming this DLL cannot share its one monitor object: that is
//     refused with ERROR_DUP_NAME.
// Both were checked one by one under Wine 8.0 (x86_64): each alone finds the
// key. Neither is verified on Windows.
#include "vardletmon.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this DLL

static const WCHAR MonitorsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors";
static const WCHAR MachinePrefix[] = L"\\REGISTRY\\MACHINE\\";

// The part of NtQueryKey's answer used here (winternl.h lacks it).
struct KEY_NAME_INFO
{
    ULONG NameLength;  // in bytes, no terminator
    WCHAR Name[1];
};
typedef LONG(NTAPI* NT_QUERY_KEY)(HANDLE hKey, int KeyInformationClass, PVOID pKeyInformation,
                                  ULONG Length, PULONG pResultLength);
static const int KeyNameInformation = 3;

// Copies the last part of pKeyPath (after its last backslash) to pMonitorName.
static BOOL TakeMonitorName(LPCWSTR pKeyPath, LPWSTR pMonitorName, DWORD cchMonitorName)
{
    LPCWSTR pName = pKeyPath;
    for (LPCWSTR pChar = pKeyPath; *pChar != L'\0'; pChar++)
    {
        if (*pChar == L'\\')
            pName = pChar + 1;
    }
    if (*pName == L'\0' || (DWORD)lstrlenW(pName) >= cchMonitorName)
        return FALSE;
    lstrcpyW(pMonitorName, pName);
    return TRUE;
}

// Registry paths fold ASCII letters only for this comparison's purpose.
static BOOL StartsWithMachinePrefix(const WCHAR* pName)
{
    for (const WCHAR* pPrefix = MachinePrefix; *pPrefix != L'\0'; pPrefix++, pName++)
    {
        WCHAR Char = *pName >= L'a' && *pName <= L'z' ? (WCHAR)(*pName - L'a' + L'A') : *pName;
        if (Char != *pPrefix)
            return FALSE;
    }
    return TRUE;
}

// Way 1: "\REGISTRY\MACHINE\<path>" becomes <path>, a path under
// HKEY_LOCAL_MACHINE. FALSE for a handle that is no key of that hive.
static BOOL KeyPathFromHandle(HANDLE hKey, LPWSTR pKeyPath, DWORD cchKeyPath)
{
    BOOL Found = FALSE;
    const DWORD cchPrefix = (DWORD)(sizeof(MachinePrefix) / sizeof(WCHAR) - 1);
    ULONG cbInfo = sizeof(ULONG) + MONITOR_KEY_PATH_LENGTH * sizeof(WCHAR);
    KEY_NAME_INFO* pInfo = NULL;
    NT_QUERY_KEY pNtQueryKey = NULL;
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");

    if (hKey == NULL || hNtdll == NULL)
        goto CleanUp;
    pNtQueryKey = (NT_QUERY_KEY)(void*)GetProcAddress(hNtdll, "NtQueryKey");
    pInfo = (KEY_NAME_INFO*)GlobalAlloc(GMEM_FIXED, cbInfo);
    if (pNtQueryKey == NULL || pInfo == NULL)
        goto CleanUp;
    if (pNtQueryKey(hKey, KeyNameInformation, pInfo, cbInfo, &cbInfo) < 0)
        goto CleanUp;

    {
        DWORD cchName = pInfo->NameLength / sizeof(WCHAR);
        if (cchName <= cchPrefix || cchName - cchPrefix >= cchKeyPath ||
            !StartsWithMachinePrefix(pInfo->Name))
            goto CleanUp;
        CopyMemory(pKeyPath, pInfo->Name + cchPrefix, (cchName - cchPrefix) * sizeof(WCHAR));
        pKeyPath[cchName - cchPrefix] = L'\0';
        Found = TRUE;
    }

CleanUp:
    if (pInfo != NULL)
        GlobalFree(pInfo);
    return Found;
}

// Way 2. The "Driver" value may hold a bare file name or a path; the file
// names are compared, ignoring case.
static BOOL KeyPathFromDriver(LPWSTR pKeyPath, DWORD cchKeyPath)
{
    DWORD ErrorCode = 0;
    HKEY hMonitors = NULL;
    WCHAR pModulePath[MAX_PATH];
    WCHAR pFound[MAX_PATH] = L"";
    DWORD Matches = 0;

    DWORD cchModule = GetModuleFileNameW((HMODULE)&__ImageBase, pModulePath, MAX_PATH);
    if (cchModule == 0 || cchModule >= MAX_PATH)
    {
        ErrorCode = cchModule == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
        goto CleanUp;
    }
    {
        LPCWSTR pModuleName = pModulePath;
        for (LPCWSTR pChar = pModulePath; *pChar != L'\0'; pChar++)
        {
            if (*pChar == L'\\' || *pChar == L'/')
                pModuleName = pChar + 1;
        }

        ErrorCode = RegOpenKeyExW(HKEY_LOCAL_MACHINE, MonitorsKey, 0, KEY_READ, &hMonitors);
        if (ErrorCode != ERROR_SUCCESS)
        {
            hMonitors = NULL;
            goto CleanUp;
        }
        for (DWORD Index = 0;; Index++)
        {
            WCHAR pName[MAX_PATH];
            WCHAR pDriver[MAX_PATH + 1];
            DWORD cchName = MAX_PATH;
            WCHAR pDriverKey[MAX_PATH + 64];
            LONG Result = RegEnumKeyExW(hMonitors, Index, pName, &cchName, NULL, NULL, NULL, NULL);
            if (Result == ERROR_NO_MORE_ITEMS)
                break;
            if (Result != ERROR_SUCCESS)
                continue;
            lstrcpyW(pDriverKey, MonitorsKey);
            lstrcatW(pDriverKey, L"\\");
            lstrcatW(pDriverKey, pName);
            if (ReadMachineValue(pDriverKey, L"Driver", REG_SZ, pDriver, sizeof(pDriver)) != ERROR_SUCCESS)
                continue;
            LPCWSTR pDriverName = pDriver;
            for (LPCWSTR pChar = pDriver; *pChar != L'\0'; pChar++)
            {
                if (*pChar == L'\\' || *pChar == L'/')
                    pDriverName = pChar + 1;
            }
            if (lstrcmpiW(pDriverName, pModuleName) == 0)
            {
                Matches++;
                lstrcpyW(pFound, pName);
            }
        }
    }

    if (Matches == 0)
    {
        ErrorCode = ERROR_FILE_NOT_FOUND;
        goto CleanUp;
    }
    if (Matches > 1)
    {
        OutputDebugStringW(L"InitializePrintMonitor2(): more than one monitor names vardletmon.dll as its driver.\n");
        ErrorCode = ERROR_DUP_NAME;
        goto CleanUp;
    }
    if ((DWORD)(lstrlenW(MonitorsKey) + 1 + lstrlenW(pFound)) >= cchKeyPath)
    {
        ErrorCode = ERROR_FILENAME_EXCED_RANGE;
        goto CleanUp;
    }
    lstrcpyW(pKeyPath, MonitorsKey);
    lstrcatW(pKeyPath, L"\\");
    lstrcatW(pKeyPath, pFound);

CleanUp:
    if (hMonitors != NULL)
        RegCloseKey(hMonitors);
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL FindMonitorKey(HANDLE hckRegistryRoot, LPWSTR pKeyPath, DWORD cchKeyPath, LPWSTR pMonitorName,
                    DWORD cchMonitorName)
{
    DWORD ErrorCode = 0;

    if (!KeyPathFromHandle(hckRegistryRoot, pKeyPath, cchKeyPath) &&
        !KeyPathFromDriver(pKeyPath, cchKeyPath))
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }
    if (!TakeMonitorName(pKeyPath, pMonitorName, cchMonitorName))
        ErrorCode = ERROR_INVALID_NAME;

CleanUp:
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}
