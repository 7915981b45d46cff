// lockorder.h: an optional check of the lock order, for test builds
// (CMake option VARDLET_CHECK_LOCK_ORDER). The rule: a thread takes the
// monitor mutex before a port's mutex, never while it holds one, and never
// holds the mutexes of two ports at once. Each violation is written to the
// debugger output before the lock is taken, so a would-be deadlock is named
// even when it then happens. Without the option the hooks are empty.
#pragma once

#include <windows.h>

#ifdef VARDLET_CHECK_LOCK_ORDER
void LockOrderEnterMonitor();
void LockOrderLeaveMonitor();
void LockOrderEnterPort(const void* pPort);
void LockOrderLeavePort();
#else
inline void LockOrderEnterMonitor() {}
inline void LockOrderLeaveMonitor() {}
inline void LockOrderEnterPort(const void*) {}
inline void LockOrderLeavePort() {}
#endif
