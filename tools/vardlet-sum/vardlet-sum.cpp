// vardlet-sum: the checksum a vardlet port would record for a file, computed
// with the same engine as the monitor, without printing it.
//
// Output, one line per file, in the shape of cksum: checksum, byte count,
// name. --check verifies such lines, as sha256sum -c does.
#include "csumstream.h"
#include "vardletversion.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace {

// The write size of vardlet-spool's print command, so that both agree by
// default. It matters only for PostScript whose header "%!PS-Adobe" is not
// within the first write; a job that is not PostScript gives the same
// checksum for every write size.
const unsigned long DefaultWriteSize = 4096;

const char* const Usage =
    "usage: vardlet-sum [OPTIONS] [FILE...]\n"
    "       vardlet-sum --check LIST [OPTIONS]\n"
    "\n"
    "Prints the checksum that a vardlet checksum port records for each FILE (standard\n"
    "input when there is none, or for -): checksum, byte count and name.\n"
    "\n"
    "  --write-size N  feed the data in writes of N bytes, as the spooler would\n"
    "                  (default 4096, vardlet-spool's default). Only PostScript can\n"
    "                  depend on it: comments are left out from the write in which\n"
    "                  the header \"%!PS-Adobe\" is completed, not before.\n"
    "  --hex           show checksums as 8 hexadecimal digits\n"
    "  --report        after each line, whether the job was recognised as PostScript\n"
    "                  and how many bytes were counted and left out\n"
    "  --counted       write the bytes that entered the checksum (PostScript comments\n"
    "                  left out) to standard output instead of the checksum line, so\n"
    "                  that two jobs can be compared with diff; one FILE only\n"
    "  --version       show the version and exit\n"
    "  --check LIST    read lines \"CHECKSUM BYTES NAME\" (decimal or 0x hex) from LIST\n"
    "                  and check each file; exit status 1 if any does not match\n"
    "\n"
    "Exit status: 0 all well, 1 a checksum did not match, 2 a file could not be read\n"
    "or the command line was wrong.\n";

struct COptions
{
    unsigned long WriteSize = DefaultWriteSize;
    bool Hex = false;
    bool Report = false;
    bool Counted = false;
    const char* pCheckList = NULL;
    std::vector<std::string> Files;
};

struct CResult
{
    uint32_t Checksum = 0;
    unsigned long long Bytes = 0;
    unsigned long long CountedBytes = 0;
    unsigned long long RecognisedInWrite = 0;  // 0: not PostScript
};

void Complain(const char* pFormat, ...)
{
    va_list Args;
    va_start(Args, pFormat);
    fputs("vardlet-sum: ", stderr);
    vfprintf(stderr, pFormat, Args);
    fputc('\n', stderr);
    va_end(Args);
}

void CountBytes(void* pContext, const uint8_t*, size_t cbBytes)
{
    ((CResult*)pContext)->CountedBytes += cbBytes;
}

void CountAndWrite(void* pContext, const uint8_t* pBytes, size_t cbBytes)
{
    CountBytes(pContext, pBytes, cbBytes);
    fwrite(pBytes, 1, cbBytes, stdout);
}

#if defined(_WIN32)
// File names are UTF-8 inside the program (wmain converts the command line).
// fopen would take them in the ANSI code page, which cannot name every file.
std::wstring Widen(const char* pText)
{
    int cchText = MultiByteToWideChar(CP_UTF8, 0, pText, -1, NULL, 0);
    std::wstring Text(cchText > 0 ? cchText : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, pText, -1, &Text[0], cchText);
    Text.resize(Text.size() - 1);
    return Text;
}

FILE* OpenFile(const char* pName, const char* pMode)
{
    return _wfopen(Widen(pName).c_str(), Widen(pMode).c_str());
}
#else
FILE* OpenFile(const char* pName, const char* pMode)
{
    return fopen(pName, pMode);
}
#endif

bool IsStandardInput(const std::string& Name)
{
    return Name == "-";
}

// Feeds one file through a fresh stream in writes of the write size. False,
// with a message, when the file cannot be opened or read.
bool SumFile(const std::string& Name, const COptions& Options, CResult* pResult)
{
    FILE* pFile = IsStandardInput(Name) ? stdin : OpenFile(Name.c_str(), "rb");
    if (pFile == NULL)
    {
        Complain("%s: %s", Name.c_str(), strerror(errno));
        return false;
    }

    CChecksumStream Stream;
    Stream.pfnCounted = Options.Counted ? CountAndWrite : CountBytes;
    Stream.pCountedContext = pResult;

    std::vector<uint8_t> Buffer(Options.WriteSize);
    unsigned long long NumWrites = 0;
    bool Ok = true;
    for (;;)
    {
        // A short read from a pipe is topped up, so every write but the last
        // has exactly the write size.
        size_t cbFilled = 0;
        while (cbFilled < Buffer.size())
        {
            size_t cbRead = fread(Buffer.data() + cbFilled, 1, Buffer.size() - cbFilled, pFile);
            if (cbRead == 0)
                break;
            cbFilled += cbRead;
        }
        if (ferror(pFile))
        {
            Complain("%s: read error: %s", Name.c_str(), strerror(errno));
            Ok = false;
            break;
        }
        if (cbFilled == 0)
            break;
        Stream.Write(Buffer.data(), (uint32_t)cbFilled);
        NumWrites++;
        pResult->Bytes += cbFilled;
        if (Stream.IsPostscript && pResult->RecognisedInWrite == 0)
            pResult->RecognisedInWrite = NumWrites;
        if (cbFilled < Buffer.size())
            break;
    }
    if (pFile != stdin)
        fclose(pFile);
    pResult->Checksum = Stream.Finish();
    return Ok;
}

std::string FormatChecksum(uint32_t Checksum, bool Hex)
{
    char pText[16];
    snprintf(pText, sizeof(pText), Hex ? "%08x" : "%u", (unsigned)Checksum);
    return pText;
}

void PrintReport(const CResult& Result, FILE* pOut)
{
    if (Result.RecognisedInWrite != 0)
        fprintf(pOut, "  PostScript: yes, from write %llu\n", Result.RecognisedInWrite);
    else
        fprintf(pOut, "  PostScript: no\n");
    fprintf(pOut, "  bytes counted: %llu, left out: %llu\n", Result.CountedBytes,
            Result.Bytes - Result.CountedBytes);
}

int SumFiles(const COptions& Options)
{
    std::vector<std::string> Files = Options.Files;
    if (Files.empty())
        Files.push_back("-");
    if (Options.Counted && Files.size() != 1)
    {
        Complain("--counted takes one file");
        return 2;
    }

    int Status = 0;
    for (const std::string& Name : Files)
    {
        CResult Result;
        if (!SumFile(Name, Options, &Result))
        {
            Status = 2;
            continue;
        }
        // With --counted, standard output carries the bytes; the line and
        // the report go to standard error.
        FILE* pOut = Options.Counted ? stderr : stdout;
        fprintf(pOut, "%s %llu", FormatChecksum(Result.Checksum, Options.Hex).c_str(), Result.Bytes);
        if (!IsStandardInput(Name))
            fprintf(pOut, " %s", Name.c_str());
        fputc('\n', pOut);
        if (Options.Report || Options.Counted)
            PrintReport(Result, pOut);
    }
    return Status;
}

// One line of a check list: "CHECKSUM BYTES NAME" or "CHECKSUM NAME". The
// name is the rest of the line, spaces included.
bool ParseCheckLine(const std::string& Line, uint32_t* pChecksum, std::string* pName,
                    bool* pHasBytes, unsigned long long* pBytes)
{
    const char* pText = Line.c_str();
    char* pEnd = NULL;
    errno = 0;
    unsigned long long Value = strtoull(pText, &pEnd, 0);
    if (pEnd == pText || *pEnd != ' ' || errno != 0 || Value > 0xFFFFFFFFull)
        return false;
    *pChecksum = (uint32_t)Value;
    const char* pRest = pEnd + 1;
    unsigned long long Bytes = strtoull(pRest, &pEnd, 10);
    *pHasBytes = pEnd != pRest && *pEnd == ' ' && pEnd[1] != '\0';
    if (*pHasBytes)
    {
        *pBytes = Bytes;
        pRest = pEnd + 1;
    }
    *pName = pRest;
    return !pName->empty();
}

int CheckList(const COptions& Options)
{
    FILE* pList = strcmp(Options.pCheckList, "-") == 0 ? stdin : OpenFile(Options.pCheckList, "r");
    if (pList == NULL)
    {
        Complain("%s: %s", Options.pCheckList, strerror(errno));
        return 2;
    }
    int Mismatches = 0, Unreadable = 0, Malformed = 0, Checked = 0;
    char pLine[4096];
    for (unsigned LineNumber = 1; fgets(pLine, sizeof(pLine), pList) != NULL; LineNumber++)
    {
        std::string Line = pLine;
        while (!Line.empty() && (Line.back() == '\n' || Line.back() == '\r'))
            Line.pop_back();
        if (Line.empty() || Line[0] == '#')
            continue;
        uint32_t Expected;
        std::string Name;
        bool HasBytes = false;
        unsigned long long ExpectedBytes = 0;
        if (!ParseCheckLine(Line, &Expected, &Name, &HasBytes, &ExpectedBytes))
        {
            Complain("%s:%u: not a \"CHECKSUM BYTES NAME\" line", Options.pCheckList, LineNumber);
            Malformed++;
            continue;
        }
        CResult Result;
        Checked++;
        if (!SumFile(Name, Options, &Result))
        {
            printf("%s: FAILED open or read\n", Name.c_str());
            Unreadable++;
            continue;
        }
        bool Matches = Result.Checksum == Expected && (!HasBytes || Result.Bytes == ExpectedBytes);
        printf("%s: %s\n", Name.c_str(), Matches ? "OK" : "FAILED");
        if (!Matches)
            Mismatches++;
    }
    if (pList != stdin)
        fclose(pList);
    if (Mismatches > 0)
        Complain("WARNING: %d computed checksum%s did NOT match", Mismatches, Mismatches == 1 ? "" : "s");
    if (Unreadable > 0)
        Complain("WARNING: %d listed file%s could not be read", Unreadable, Unreadable == 1 ? "" : "s");
    if (Checked == 0)
        Complain("%s: no properly formatted checksum lines found", Options.pCheckList);
    if (Unreadable > 0 || Checked == 0)
        return 2;
    return Mismatches > 0 ? 1 : 0;
}

}  // namespace

static int Main(int argc, char** argv)
{
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    COptions Options;
    for (int Arg = 1; Arg < argc; Arg++)
    {
        std::string Option = argv[Arg];
        bool HasValue = Arg + 1 < argc;
        if (Option == "--help" || Option == "-h")
        {
            fputs(Usage, stdout);
            return 0;
        }
        else if (Option == "--version")
        {
            fputs("vardlet-sum " VARDLET_VERSION "\n", stdout);
            return 0;
        }
        else if (Option == "--hex")
            Options.Hex = true;
        else if (Option == "--report")
            Options.Report = true;
        else if (Option == "--counted")
            Options.Counted = true;
        else if (Option == "--check" && HasValue)
            Options.pCheckList = argv[++Arg];
        else if (Option == "--write-size" && HasValue)
        {
            char* pEnd = NULL;
            Options.WriteSize = strtoul(argv[++Arg], &pEnd, 10);
            if (*pEnd != '\0' || Options.WriteSize == 0 || Options.WriteSize > 64ul * 1024 * 1024)
            {
                Complain("--write-size takes a number of bytes from 1 to 67108864");
                return 2;
            }
        }
        else if (Option == "--")
        {
            Options.Files.insert(Options.Files.end(), argv + Arg + 1, argv + argc);
            break;
        }
        else if (Option.size() > 1 && Option[0] == '-')
        {
            Complain("unknown option %s (see --help)", Option.c_str());
            return 2;
        }
        else
            Options.Files.push_back(Option);
    }
    if (Options.pCheckList != NULL)
    {
        if (!Options.Files.empty() || Options.Counted)
        {
            Complain("--check takes no FILE and no --counted");
            return 2;
        }
        return CheckList(Options);
    }
    return SumFiles(Options);
}

#if defined(_WIN32)
// The command line in UTF-16, so that every file name survives; the program
// works on its UTF-8 form, and shows names in UTF-8.
int wmain(int argc, wchar_t** pArgs)
{
    std::vector<std::string> Args;
    for (int Arg = 0; Arg < argc; Arg++)
    {
        int cbArg = WideCharToMultiByte(CP_UTF8, 0, pArgs[Arg], -1, NULL, 0, NULL, NULL);
        std::string Text(cbArg > 0 ? cbArg : 1, '\0');
        WideCharToMultiByte(CP_UTF8, 0, pArgs[Arg], -1, &Text[0], cbArg, NULL, NULL);
        Text.resize(Text.size() - 1);
        Args.push_back(Text);
    }
    std::vector<char*> Argv;
    for (std::string& Arg : Args)
        Argv.push_back(&Arg[0]);
    Argv.push_back(NULL);
    return Main(argc, Argv.data());
}
#else
int main(int argc, char** argv)
{
    return Main(argc, argv);
}
#endif
