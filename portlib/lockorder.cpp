// lockorder.cpp: the per-thread record of the locks held, for the optional
// lock-order check (see lockorder.h).
#include "lockorder.h"

#ifdef VARDLET_CHECK_LOCK_ORDER

// Recursion depths of the mutexes this thread holds, and whose port mutex.
static thread_local LONG MonitorDepth = 0;
static thread_local LONG PortDepth = 0;
static thread_local const void* pHeldPort = NULL;

void LockOrderEnterMonitor()
{
    if (MonitorDepth == 0 && PortDepth > 0)
        OutputDebugStringW(L"Lock order violated: monitor mutex taken while a port mutex is held.\n");
    MonitorDepth++;
}

void LockOrderLeaveMonitor()
{
    MonitorDepth--;
}

void LockOrderEnterPort(const void* pPort)
{
    if (PortDepth > 0 && pHeldPort != pPort)
        OutputDebugStringW(L"Lock order violated: a second port's mutex taken.\n");
    if (PortDepth++ == 0)
        pHeldPort = pPort;
}

void LockOrderLeavePort()
{
    if (--PortDepth == 0)
        pHeldPort = NULL;
}

#endif
