// records.cpp: the checksum records: one key level per printer, one per
// document below it, each with its "LastChecksum". They are listed as a
// table, given as JSON, saved to a file, and checked against such a file the
// way sha256sum -c checks files: a driver tester saves the records of a suite
// of jobs, changes the driver, prints the suite again and checks.
//
// The saved file is UTF-8 text, one record a line, sorted, so that two saves
// compare with diff:
//
//   # vardlet checksum records ...        (lines starting with # are comments)
//   PRINTER<TAB>DOCUMENT<TAB>CHECKSUM     (CHECKSUM in decimal)
//
// Names keep every character: a backslash, tab, line feed and carriage return
// are written \\ \t \n \r, other control characters and halves of a surrogate
// pair that stand alone \uXXXX, and a # that starts a line \u0023. Anything
// else, commas, quotes and every non-ASCII character among it, is written as
// it is. A file saved on Windows with CR LF line ends or a byte order mark
// reads the same.
#include "host.h"

#include <stdio.h>
#include <wchar.h>

#include <algorithm>
#include <tuple>

struct CRecord
{
    std::wstring Printer;   // the printer's key name (backslashes as slashes)
    std::wstring Document;  // the document's key name (backslashes as slashes)
    DWORD Checksum;         // "LastChecksum"
};

static const wchar_t* const RecordsKeyText = L"HKEY_LOCAL_MACHINE\\" CHECKSUM_RECORDS_KEY;

// A name as the monitor stores it: a key name has no backslash.
static std::wstring KeyName(std::wstring Name)
{
    std::replace(Name.begin(), Name.end(), L'\\', L'/');
    return Name;
}

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

// Key names compare without regard to case, as the registry compares them;
// names equal but for case are then kept in a fixed order.
static bool RecordBefore(const CRecord& Left, const CRecord& Right)
{
    int Order = CompareStringOrdinal(Left.Printer.c_str(), -1, Right.Printer.c_str(), -1, TRUE);
    if (Order == CSTR_EQUAL)
        Order = CompareStringOrdinal(Left.Document.c_str(), -1, Right.Document.c_str(), -1, TRUE);
    if (Order != CSTR_EQUAL)
        return Order == CSTR_LESS_THAN;
    return std::tie(Left.Printer, Left.Document) < std::tie(Right.Printer, Right.Document);
}

// The records of one printer (Wanted, as given or with slashes), or of all
// printers when Wanted is empty, sorted. No records key yet means no records.
static LONG ReadRecords(const std::wstring& Wanted, std::vector<CRecord>* pRecords)
{
    HKEY hRecords = NULL;
    LONG Result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, CHECKSUM_RECORDS_KEY, 0, KEY_READ, &hRecords);
    if (Result == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (Result != ERROR_SUCCESS)
        return Result;
    std::wstring WantedKey = KeyName(Wanted);
    for (const std::wstring& Printer : SubkeyNames(hRecords))
    {
        if (!WantedKey.empty() && _wcsicmp(Printer.c_str(), WantedKey.c_str()) != 0)
            continue;
        HKEY hPrinter = NULL;
        if (RegOpenKeyExW(hRecords, Printer.c_str(), 0, KEY_READ, &hPrinter) != ERROR_SUCCESS)
            continue;
        for (const std::wstring& Document : SubkeyNames(hPrinter))
        {
            DWORD Value = 0, cbValue = sizeof(Value);
            if (RegGetValueW(hPrinter, Document.c_str(), L"LastChecksum", RRF_RT_REG_DWORD, NULL, &Value,
                             &cbValue) == ERROR_SUCCESS)
                pRecords->push_back({Printer, Document, Value});
        }
        RegCloseKey(hPrinter);
    }
    RegCloseKey(hRecords);
    std::sort(pRecords->begin(), pRecords->end(), RecordBefore);
    return ERROR_SUCCESS;
}

static bool IsSurrogate(wchar_t Char, wchar_t First, wchar_t Last)
{
    return Char >= First && Char <= Last;
}

// \uXXXX for a character, in the given digits' case.
static std::wstring UnicodeEscape(wchar_t Char, const wchar_t* pDigits)
{
    std::wstring Text = L"\\u";
    for (int Shift = 12; Shift >= 0; Shift -= 4)
        Text += pDigits[(Char >> Shift) & 0xF];
    return Text;
}

// A name in the file's escaped form (see the top of this file).
static std::wstring EscapeName(const std::wstring& Name, bool StartsLine)
{
    std::wstring Text;
    for (size_t Index = 0; Index < Name.size(); Index++)
    {
        wchar_t Char = Name[Index];
        bool PairedHigh = IsSurrogate(Char, 0xD800, 0xDBFF) && Index + 1 < Name.size() &&
                          IsSurrogate(Name[Index + 1], 0xDC00, 0xDFFF);
        bool PairedLow = IsSurrogate(Char, 0xDC00, 0xDFFF) && Index > 0 &&
                         IsSurrogate(Name[Index - 1], 0xD800, 0xDBFF);
        if (Char == L'\\')
            Text += L"\\\\";
        else if (Char == L'\t')
            Text += L"\\t";
        else if (Char == L'\n')
            Text += L"\\n";
        else if (Char == L'\r')
            Text += L"\\r";
        else if (Char < 0x20 || Char == 0x7F || (Char == L'#' && Index == 0 && StartsLine) ||
                 (IsSurrogate(Char, 0xD800, 0xDFFF) && !PairedHigh && !PairedLow))
            Text += UnicodeEscape(Char, L"0123456789ABCDEF");
        else
            Text += Char;
    }
    return Text;
}

// The name an escaped field stands for; false for an escape that is not one.
static bool UnescapeName(const std::wstring& Text, std::wstring* pName)
{
    pName->clear();
    for (size_t Index = 0; Index < Text.size(); Index++)
    {
        if (Text[Index] != L'\\')
        {
            *pName += Text[Index];
            continue;
        }
        if (++Index == Text.size())
            return false;
        switch (Text[Index])
        {
        case L'\\': *pName += L'\\'; break;
        case L't': *pName += L'\t'; break;
        case L'n': *pName += L'\n'; break;
        case L'r': *pName += L'\r'; break;
        case L'u':
        {
            std::wstring Digits = Text.substr(Index + 1, 4);
            if (Digits.size() != 4 || Digits.find_first_not_of(L"0123456789abcdefABCDEF") != std::wstring::npos)
                return false;
            *pName += (wchar_t)wcstoul(Digits.c_str(), NULL, 16);
            Index += 4;
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

// A name as a JSON string: quotes, backslashes and control characters
// escaped, a surrogate standing alone as \uXXXX, everything else as it is.
static std::wstring JsonString(const std::wstring& Name)
{
    std::wstring Text = L"\"";
    for (size_t Index = 0; Index < Name.size(); Index++)
    {
        wchar_t Char = Name[Index];
        if (Char == L'"' || Char == L'\\')
            (Text += L'\\') += Char;
        else if (Char < 0x20 || IsSurrogate(Char, 0xD800, 0xDFFF))
        {
            bool Paired = Index + 1 < Name.size() && IsSurrogate(Char, 0xD800, 0xDBFF) &&
                          IsSurrogate(Name[Index + 1], 0xDC00, 0xDFFF);
            if (Paired)
            {
                (Text += Char) += Name[++Index];
                continue;
            }
            Text += UnicodeEscape(Char, L"0123456789abcdef");
        }
        else
            Text += Char;
    }
    return Text + L"\"";
}

static std::string Utf8(const std::wstring& Text)
{
    int cbText = WideCharToMultiByte(CP_UTF8, 0, Text.data(), (int)Text.size(), NULL, 0, NULL, NULL);
    std::string Bytes((size_t)cbText, '\0');
    WideCharToMultiByte(CP_UTF8, 0, Text.data(), (int)Text.size(), &Bytes[0], cbText, NULL, NULL);
    return Bytes;
}

// Writes the records to a file beside FILE first and then puts it in FILE's
// place, so that a failed save never leaves a baseline half written.
static int SaveRecords(const std::wstring& File, const std::vector<CRecord>& Records)
{
    std::wstring Text = L"# vardlet checksum records, checked by: vardlet-spool records --check FILE\n"
                        L"# printer<TAB>document<TAB>checksum; in names \\\\ \\t \\n \\r \\uXXXX are escapes\n";
    for (const CRecord& Record : Records)
        Text += EscapeName(Record.Printer, true) + L'\t' + EscapeName(Record.Document, false) + L'\t' +
                std::to_wstring(Record.Checksum) + L'\n';
    std::string Bytes = Utf8(Text);

    std::wstring Temporary = File + L".saving";
    HANDLE hFile =
        CreateFileW(Temporary.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return Fail((L"creating " + Temporary).c_str(), GetLastError());
    DWORD cbWritten = 0;
    BOOL Written =
        WriteFile(hFile, Bytes.data(), (DWORD)Bytes.size(), &cbWritten, NULL) && cbWritten == Bytes.size();
    DWORD ErrorCode = Written ? ERROR_SUCCESS : GetLastError();
    if (!CloseHandle(hFile) && Written)
        ErrorCode = GetLastError();
    if (ErrorCode == ERROR_SUCCESS &&
        !MoveFileExW(Temporary.c_str(), File.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        ErrorCode = GetLastError();
    if (ErrorCode != ERROR_SUCCESS)
    {
        DeleteFileW(Temporary.c_str());
        return Fail((L"writing " + File).c_str(), ErrorCode);
    }
    Print(stdout, L"%lu records saved to %ls\n", (unsigned long)Records.size(), File.c_str());
    return 0;
}

// The records a file holds. Status 2 when it cannot be read or a line is not
// a record: the file is not what the user meant to check.
static int LoadRecords(const std::wstring& File, std::vector<CRecord>* pRecords)
{
    HANDLE hFile =
        CreateFileW(File.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        Fail((L"opening " + File).c_str(), GetLastError());
        return 2;
    }
    std::string Bytes;
    char pChunk[65536];
    DWORD cbRead = 0;
    BOOL Read;
    while ((Read = ReadFile(hFile, pChunk, sizeof(pChunk), &cbRead, NULL)) && cbRead > 0)
        Bytes.append(pChunk, cbRead);
    DWORD ErrorCode = Read ? ERROR_SUCCESS : GetLastError();
    CloseHandle(hFile);
    if (ErrorCode != ERROR_SUCCESS)
    {
        Fail((L"reading " + File).c_str(), ErrorCode);
        return 2;
    }
    if (Bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        Bytes.erase(0, 3);

    std::wstring Text(Bytes.size(), L'\0');
    int cchText = Bytes.empty() ? 0
                                : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, Bytes.data(), (int)Bytes.size(),
                                                      &Text[0], (int)Text.size());
    if (cchText == 0 && !Bytes.empty())
    {
        Print(stderr, L"vardlet-spool: %ls is not UTF-8 text\n", File.c_str());
        return 2;
    }
    Text.resize((size_t)cchText);

    size_t LineNumber = 0;
    for (size_t Start = 0; Start < Text.size();)
    {
        size_t End = Text.find(L'\n', Start);
        if (End == std::wstring::npos)
            End = Text.size();
        std::wstring Line = Text.substr(Start, End - Start);
        Start = End + 1;
        LineNumber++;
        if (!Line.empty() && Line.back() == L'\r')
            Line.pop_back();
        if (Line.empty() || Line[0] == L'#')
            continue;
        size_t Tab1 = Line.find(L'\t'), Tab2 = Tab1 == std::wstring::npos ? Tab1 : Line.find(L'\t', Tab1 + 1);
        CRecord Record;
        wchar_t* pEnd = NULL;
        bool IsRecord = Tab2 != std::wstring::npos && Line.find(L'\t', Tab2 + 1) == std::wstring::npos &&
                        UnescapeName(Line.substr(0, Tab1), &Record.Printer) &&
                        UnescapeName(Line.substr(Tab1 + 1, Tab2 - Tab1 - 1), &Record.Document) &&
                        Tab2 + 1 < Line.size() && iswdigit(Line[Tab2 + 1]);
        unsigned long long Value = IsRecord ? wcstoull(Line.c_str() + Tab2 + 1, &pEnd, 10) : 0;
        if (!IsRecord || *pEnd != L'\0' || Value > 0xFFFFFFFFull)
        {
            Print(stderr, L"vardlet-spool: %ls, line %lu: not PRINTER<TAB>DOCUMENT<TAB>CHECKSUM\n", File.c_str(),
                  (unsigned long)LineNumber);
            return 2;
        }
        Record.Checksum = (DWORD)Value;
        pRecords->push_back(Record);
    }
    return 0;
}

// Checks each record of the file against the registry: OK, CHANGED (saved and
// current value) or MISSING, a line each, then a summary. Records that are in
// the registry but not in the file are not looked at, as sha256sum -c does.
static int CheckRecords(const std::wstring& File)
{
    std::vector<CRecord> Saved;
    int Status = LoadRecords(File, &Saved);
    if (Status != 0)
        return Status;
    if (Saved.empty())
    {
        Print(stderr, L"vardlet-spool: %ls holds no records\n", File.c_str());
        return 1;
    }
    HKEY hRecords = NULL;
    LONG Result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, CHECKSUM_RECORDS_KEY, 0, KEY_READ, &hRecords);
    if (Result != ERROR_SUCCESS && Result != ERROR_FILE_NOT_FOUND)
        return Fail((std::wstring(L"opening ") + RecordsKeyText).c_str(), Result);

    size_t Matching = 0, Changed = 0, Missing = 0;
    for (const CRecord& Record : Saved)
    {
        std::wstring Names = EscapeName(Record.Printer, false) + L'\t' + EscapeName(Record.Document, false);
        std::wstring Key = KeyName(Record.Printer) + L'\\' + KeyName(Record.Document);
        DWORD Value = 0, cbValue = sizeof(Value);
        Result = hRecords == NULL ? ERROR_FILE_NOT_FOUND
                                  : RegGetValueW(hRecords, Key.c_str(), L"LastChecksum", RRF_RT_REG_DWORD, NULL,
                                                 &Value, &cbValue);
        if (Result != ERROR_SUCCESS)
        {
            if (Result != ERROR_FILE_NOT_FOUND)
                Fail((L"reading the record " + Names).c_str(), Result);
            Print(stdout, L"MISSING\t%ls\n", Names.c_str());
            Missing++;
        }
        else if (Value != Record.Checksum)
        {
            Print(stdout, L"CHANGED\t%ls\twas %lu, now %lu\n", Names.c_str(), (unsigned long)Record.Checksum,
                  (unsigned long)Value);
            Changed++;
        }
        else
        {
            Print(stdout, L"OK\t%ls\n", Names.c_str());
            Matching++;
        }
    }
    if (hRecords != NULL)
        RegCloseKey(hRecords);
    Print(stdout, L"%lu records checked: %lu OK, %lu CHANGED, %lu MISSING\n", (unsigned long)Saved.size(),
          (unsigned long)Matching, (unsigned long)Changed, (unsigned long)Missing);
    return Matching == Saved.size() ? 0 : 1;
}

static void ShowJson(const std::vector<CRecord>& Records)
{
    Print(stdout, L"[");
    for (size_t Index = 0; Index < Records.size(); Index++)
        Print(stdout, L"%ls\n  {\"printer\": %ls, \"document\": %ls, \"checksum\": %lu}", Index == 0 ? L"" : L",",
              JsonString(Records[Index].Printer).c_str(), JsonString(Records[Index].Document).c_str(),
              (unsigned long)Records[Index].Checksum);
    Print(stdout, L"%ls]\n", Records.empty() ? L"" : L"\n");
}

static void ShowTable(const std::vector<CRecord>& Records)
{
    Print(stdout, L"%-24ls %-40ls %12ls\n", L"PRINTER", L"DOCUMENT", L"CHECKSUM");
    for (const CRecord& Record : Records)
        Print(stdout, L"%-24ls %-40ls %12lu\n", Record.Printer.c_str(), Record.Document.c_str(),
              (unsigned long)Record.Checksum);
}

int CmdRecords(const CHostOptions&, const std::vector<std::wstring>& Args)
{
    std::wstring Mode = !Args.empty() && Args[0].compare(0, 2, L"--") == 0 ? Args[0] : L"";
    size_t First = Mode.empty() ? 0 : 1;
    bool TakesFile = Mode == L"--save" || Mode == L"--check";
    if (!Mode.empty() && !TakesFile && Mode != L"--json")
        return UsageError(L"records: unknown option %ls", Mode.c_str());
    if (TakesFile && Args.size() < 2)
        return UsageError(L"records %ls takes a FILE", Mode.c_str());
    size_t Rest = Args.size() - First - (TakesFile ? 1 : 0);
    if (Rest > (Mode == L"--check" ? 0u : 1u))
        return UsageError(L"records takes %ls", Mode == L"--check" ? L"no PRINTER with --check"
                                                                    : L"at most one PRINTER");
    if (Mode == L"--check")
        return CheckRecords(Args[1]);

    std::wstring Wanted = Rest == 1 ? Args.back() : std::wstring();
    std::vector<CRecord> Records;
    LONG Result = ReadRecords(Wanted, &Records);
    if (Result != ERROR_SUCCESS)
        return Fail((std::wstring(L"opening ") + RecordsKeyText).c_str(), Result);
    if (Records.empty() && Mode != L"--json")
    {
        Print(stderr, L"vardlet-spool: no checksum records%ls%ls%ls\n", Wanted.empty() ? L"" : L" for ",
              Wanted.c_str(), TakesFile ? L"; nothing saved" : L"");
        return TakesFile ? 1 : 0;
    }
    if (Mode == L"--save")
        return SaveRecords(Args[1], Records);
    if (Mode == L"--json")
        ShowJson(Records);
    else
        ShowTable(Records);
    return 0;
}
