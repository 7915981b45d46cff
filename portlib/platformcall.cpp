// platformcall.cpp: the code of a platform call that failed.
#include "platformcall.h"

DWORD FailedCallError(const WCHAR* pMessage)
{
    DWORD ErrorCode = GetLastError();
    OutputDebugStringW(pMessage);
    return ErrorCode != 0 ? ErrorCode : ERROR_GEN_FAILURE;
}
