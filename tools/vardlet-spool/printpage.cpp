// printpage.cpp: print-page, one page of text rendered by the printer's own
// driver through GDI (CreateDCW, StartDocW, StartPage, TextOutW, EndPage,
// EndDoc), the path every ordinary application takes. With Wine's
// PostScript driver the page reaches the port as a PostScript job.
#include "host.h"

#include <stdio.h>

int CmdPrintPage(const CHostOptions&, const std::vector<std::wstring>& Args)
{
    std::wstring Text, Printer, Document = L"vardlet-spool page";
    for (size_t Index = 0; Index < Args.size(); Index++)
    {
        bool HasValue = Index + 1 < Args.size();
        if (Args[Index] == L"--printer" && HasValue)
            Printer = Args[++Index];
        else if (Args[Index] == L"--document" && HasValue)
            Document = Args[++Index];
        else if (Args[Index][0] != L'-' && Text.empty())
            Text = Args[Index];
        else
            return UsageError(L"print-page: unexpected argument %ls", Args[Index].c_str());
    }
    if (Text.empty() || Printer.empty())
        return UsageError(L"print-page takes TEXT --printer NAME [--document NAME]");

    HDC hDC = CreateDCW(L"WINSPOOL", Printer.c_str(), NULL, NULL);
    if (hDC == NULL)
    {
        std::wstring Step = L"CreateDCW(\"" + Printer + L"\")";
        return Fail(Step.c_str(), GetLastError());
    }
    int Status = 1;
    DOCINFOW DocInfo = {sizeof(DocInfo), Document.c_str(), NULL, NULL, 0};
    if (StartDocW(hDC, &DocInfo) <= 0)
    {
        Fail(L"StartDocW", GetLastError());
        goto CleanUp;
    }
    if (StartPage(hDC) <= 0 || !TextOutW(hDC, 300, 300, Text.c_str(), (int)Text.size()) || EndPage(hDC) <= 0)
    {
        Fail(L"drawing the page", GetLastError());
        AbortDoc(hDC);
        goto CleanUp;
    }
    // Wine sends the job to the port here.
    if (EndDoc(hDC) <= 0)
    {
        Fail(L"EndDoc", GetLastError());
        goto CleanUp;
    }
    Status = 0;

CleanUp:
    DeleteDC(hDC);
    if (Status == 0)
    {
        std::string Message = WaitForChecksumMessage();
        Print(stdout, L"one page printed on %ls by its driver\n", Printer.c_str());
        Print(stdout, L"  monitor said: %hs\n",
              Message.empty() ? "(nothing in this process: see the spooler's debugger output)" : Message.c_str());
        ShowRecord(Printer, Document);
    }
    return Status;
}
