// main.cpp: vardlet-spool's command line.
#include "host.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static const wchar_t* const Usage =
    L"usage: vardlet-spool [--dll PATH] [--root KEY] [--quiet] COMMAND [ARGS]\n"
    L"\n"
    L"Plays the print spooler's part for vardlet.dll.\n"
    L"\n"
    L"commands:\n"
    L"  ports                                 list the monitor's ports\n"
    L"  add-port NAME [--pass-through PRINTER] add a checksum port\n"
    L"  add-port --dialog                     add a port named in the \"Port Name\" dialog\n"
    L"  configure PORT                        edit a port's settings in its dialog\n"
    L"  delete-port NAME                      delete a port\n"
    L"  print FILE... --port NAME --printer NAME [--document NAME] [--write-size N]\n"
    L"                                        send each file as a job through the port\n"
    L"  records [PRINTER]                     list the checksum records\n"
    L"  add-printer NAME --output PATH [--ppd PATH]\n"
    L"                                        add a printer whose jobs go to a file (for Wine)\n"
    L"  install                               copy the monitor to the system folder and register it\n"
    L"  uninstall                             unregister it (refused while a printer uses its ports)\n"
    L"  print-job FILE --printer NAME [--document NAME]\n"
    L"                                        print a file as a RAW job through the spooler\n"
    L"  print-page TEXT --printer NAME [--document NAME]\n"
    L"                                        print a page of text through the printer's driver\n"
    L"\n"
    L"options:\n"
    L"  --dll PATH   the monitor to load (default: vardlet.dll beside this program)\n"
    L"  --root KEY   the monitor's registry root under HKEY_LOCAL_MACHINE\n"
    L"               (default: " DEFAULT_MONITOR_ROOT L")\n"
    L"  --quiet      do not show the monitor's debugger output\n";

struct CCommand
{
    const wchar_t* pName;
    int (*Run)(const CHostOptions& Options, const std::vector<std::wstring>& Args);
};

static const CCommand Commands[] = {
    {L"ports", CmdPorts},
    {L"add-port", CmdAddPort},
    {L"configure", CmdConfigure},
    {L"delete-port", CmdDeletePort},
    {L"print", CmdPrint},
    {L"records", CmdRecords},
    {L"add-printer", CmdAddPrinter},
    {L"install", CmdInstall},
    {L"uninstall", CmdUninstall},
    {L"print-job", CmdPrintJob},
    {L"print-page", CmdPrintPage},
};

std::wstring SystemErrorText(DWORD ErrorCode)
{
    WCHAR* pText = NULL;
    DWORD Length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  NULL, ErrorCode, 0, (LPWSTR)&pText, 0, NULL);
    std::wstring Text;
    if (Length != 0 && pText != NULL)
    {
        Text.assign(pText, Length);
        while (!Text.empty() && (Text.back() == L'\n' || Text.back() == L'\r' || Text.back() == L' '))
            Text.pop_back();
    }
    if (pText != NULL)
        LocalFree(pText);
    if (Text.empty())
        Text = L"unknown error";
    return Text;
}

int Fail(const wchar_t* pStep, DWORD ErrorCode)
{
    Print(stderr, L"vardlet-spool: %ls failed: error %lu: %ls\n", pStep, (unsigned long)ErrorCode,
          SystemErrorText(ErrorCode).c_str());
    return 1;
}

int UsageError(const wchar_t* pFormat, ...)
{
    va_list Args;
    va_start(Args, pFormat);
    Print(stderr, L"vardlet-spool: ");
    VPrint(stderr, pFormat, Args);
    Print(stderr, L"\n(see vardlet-spool --help)\n");
    va_end(Args);
    return 2;
}

static std::wstring DefaultDllPath()
{
    WCHAR pPath[MAX_PATH];
    DWORD Length = GetModuleFileNameW(NULL, pPath, MAX_PATH);
    std::wstring Path(pPath, Length);
    size_t Slash = Path.find_last_of(L"\\/");
    return (Slash == std::wstring::npos ? std::wstring() : Path.substr(0, Slash + 1)) + L"vardlet.dll";
}

int wmain(int argc, wchar_t** argv)
{
    CHostOptions Options;
    Options.DllPath = DefaultDllPath();
    Options.RegistryRoot = DEFAULT_MONITOR_ROOT;

    int Arg = 1;
    for (; Arg < argc && argv[Arg][0] == L'-'; Arg++)
    {
        std::wstring Option = argv[Arg];
        if (Option == L"--help" || Option == L"-h")
        {
            Print(stdout, L"%ls", Usage);
            return 0;
        }
        if (Option == L"--quiet")
            Options.Quiet = true;
        else if ((Option == L"--dll" || Option == L"--root") && Arg + 1 < argc)
            (Option == L"--dll" ? Options.DllPath : Options.RegistryRoot) = argv[++Arg];
        else
            return UsageError(L"unknown option %ls", Option.c_str());
    }
    if (Arg >= argc)
    {
        Print(stderr, L"%ls", Usage);
        return 2;
    }

    std::wstring Name = argv[Arg];
    std::vector<std::wstring> Args(argv + Arg + 1, argv + argc);
    for (const CCommand& Command : Commands)
    {
        if (Name == Command.pName)
        {
            StartDebugOutputViewer(!Options.Quiet);
            int Status = Command.Run(Options, Args);
            StopDebugOutputViewer();
            fflush(stdout);
            return Status;
        }
    }
    return UsageError(L"unknown command %ls", Name.c_str());
}
