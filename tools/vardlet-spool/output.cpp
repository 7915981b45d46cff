// output.cpp: the host's text output. File, printer and document names can
// hold any character, and the C runtime's wide output converts through the
// "C" locale, which garbles everything outside Latin-1 and drops the rest of
// the line at the first character it cannot convert. So text is formatted
// wide and written as UTF-16 to a console and as UTF-8 anywhere else.
#include "host.h"

#include <io.h>
#include <stdarg.h>

void VPrint(FILE* pStream, const wchar_t* pFormat, va_list Args)
{
    std::vector<wchar_t> Text(256);
    int Length;
    for (;;)
    {
        va_list Copy;
        va_copy(Copy, Args);
        Length = _vsnwprintf(Text.data(), Text.size(), pFormat, Copy);
        va_end(Copy);
        if (Length >= 0 && (size_t)Length < Text.size())
            break;
        if (Text.size() >= 1024 * 1024)
            return;  // a format error, not a long text
        Text.resize(Text.size() * 2);
    }

    // Whatever the stream already holds goes first.
    fflush(pStream);
    HANDLE hOutput = (HANDLE)_get_osfhandle(_fileno(pStream));
    DWORD Mode = 0, Written = 0;
    if (hOutput != INVALID_HANDLE_VALUE && GetConsoleMode(hOutput, &Mode))
    {
        WriteConsoleW(hOutput, Text.data(), (DWORD)Length, &Written, NULL);
        return;
    }
    int cbUtf8 = WideCharToMultiByte(CP_UTF8, 0, Text.data(), Length, NULL, 0, NULL, NULL);
    std::string Utf8((size_t)cbUtf8, '\0');
    WideCharToMultiByte(CP_UTF8, 0, Text.data(), Length, &Utf8[0], cbUtf8, NULL, NULL);
    fwrite(Utf8.data(), 1, Utf8.size(), pStream);
    fflush(pStream);
}

void Print(FILE* pStream, const wchar_t* pFormat, ...)
{
    va_list Args;
    va_start(Args, pFormat);
    VPrint(pStream, pFormat, Args);
    va_end(Args);
}
