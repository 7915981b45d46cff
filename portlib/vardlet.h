// vardlet.h: CChecksumMonitor, the monitor of which the library makes its one
// object. Its only work of its own is to build checksum ports.
#pragma once

#include "monitor.h"

// Final: the one object is deleted through this class (CMonitor's destructor
// is not virtual).
class CChecksumMonitor final : public CMonitor
{
public:
    CChecksumMonitor(HINSTANCE hDLLInstance) : CMonitor(hDLLInstance) {}

    // A port without a name yet (the "Port Name" dialog names it); neither
    // argument is used.
    virtual CPort* CreatePort(LPWSTR pServerName, HWND hParentWindow);
    virtual CPort* CreatePort(LPWSTR pPortName);
};
