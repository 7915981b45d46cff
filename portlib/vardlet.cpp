// vardlet.cpp: CChecksumMonitor's port factories.
#include "vardlet.h"

#include "csumport.h"

CPort* CChecksumMonitor::CreatePort(LPWSTR, HWND)
{
    return new CChecksumPort(this, NULL);
}

CPort* CChecksumMonitor::CreatePort(LPWSTR pPortName)
{
    return new CChecksumPort(this, pPortName);
}
