// platformcall.h: the code of a platform call that failed.
//
// Some spooler calls fail without setting the thread's last error (Wine's
// SetJobW and GetJobW for a job they do not know, for one). Taken as it is,
// that 0 would turn the failure into success: the job notification or the
// pass-through output would be lost without a word.
#pragma once

#include <windows.h>

// Call right after a platform call returned failure: writes pMessage (which
// names the call) to the debugger output and returns the call's last error,
// or ERROR_GEN_FAILURE where the call left none.
DWORD FailedCallError(const WCHAR* pMessage);
