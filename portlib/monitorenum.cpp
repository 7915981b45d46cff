// monitorenum.cpp: EnumPortsW at level 1. Records go to the front of the
// caller's buffer, the names are packed at its end, first port's name lowest.
#include "monitor.h"

DWORD CMonitor::GetPortInfoSize(DWORD Level)
{
    return Level == 1 ? sizeof(PORT_INFO_1W) : 0;
}

BOOL CMonitor::MoEnumPorts(LPWSTR, DWORD Level, LPBYTE pBuffer, DWORD cBufferSize,
                           LPDWORD pdwNeeded, LPDWORD pdwReturned)
{
    DWORD SizeNeeded = 0;
    DWORD NumPorts = 0;

    if (Level != 1)
    {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    // Unwritable count pointers are refused before anything is written.
    if ((pdwNeeded != NULL && !IsWritableRange(pdwNeeded, sizeof(DWORD))) ||
        (pdwReturned != NULL && !IsWritableRange(pdwReturned, sizeof(DWORD))))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // Held across both passes, so the sizes of the first stay true in the second.
    EnterMutex();

    for (CPort* pCurrPort = Ports; pCurrPort != NULL; pCurrPort = pCurrPort->Next)
    {
        SizeNeeded += pCurrPort->GetSize(Level);
        NumPorts++;
    }

    if (SizeNeeded > cBufferSize)
    {
        if (pdwNeeded != NULL)
            *pdwNeeded = SizeNeeded;
        if (pdwReturned != NULL)
            *pdwReturned = 0;
        LeaveMutex();
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }

    if (NumPorts > 0)
    {
        // A buffer we could not write is treated like a missing one.
        if (pBuffer == NULL || !IsWritableRange(pBuffer, cBufferSize))
        {
            if (pdwReturned != NULL)
                *pdwReturned = 0;
            LeaveMutex();
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }

        DWORD RecordSize = GetPortInfoSize(Level);
        LPBYTE pCurrStructPos = pBuffer;
        LPBYTE pCurrStringPos = pBuffer + cBufferSize - (SizeNeeded - RecordSize * NumPorts);
        for (CPort* pCurrPort = Ports; pCurrPort != NULL; pCurrPort = pCurrPort->Next)
        {
            pCurrPort->WriteInfo(Level, pCurrStructPos, (LPWSTR)pCurrStringPos);
            pCurrStringPos += pCurrPort->GetSize(Level) - RecordSize;
            pCurrStructPos += RecordSize;
        }
    }

    if (pdwReturned != NULL)
        *pdwReturned = NumPorts;
    if (pdwNeeded != NULL)
        *pdwNeeded = SizeNeeded;
    LeaveMutex();
    return TRUE;
}
