// csumport.cpp: the checksum port's object, write path and job bracket.
#include "csumport.h"

#include "monitor.h"
#include "platformcall.h"

CChecksumPort::CChecksumPort(CMonitor* pInitMonitor, const WCHAR* pPortName)
    : CPort(pInitMonitor, pPortName), PassThroughName(L"")
{
    Signature = CHECKSUM_PORT_SIGNATURE;
    PassThrough = FALSE;
    hPassThroughPrinter = NULL;
}

CChecksumPort::~CChecksumPort()
{
    // Only a failed EndDocPrinter leaves the pass-through printer open; a
    // deleted port must not leak its handle.
    if (hPassThroughPrinter != NULL)
        ClosePrinter(hPassThroughPrinter);
    PassThroughName.FreeString();
}

DWORD CChecksumPort::GetSignature()
{
    return CHECKSUM_PORT_SIGNATURE;
}

// Opening and closing take no port mutex (see CPort::Open): a job call may
// hold it across slow spooler calls.
BOOL CChecksumPort::Open()
{
    return CPort::Open();
}

BOOL CChecksumPort::Close()
{
    return CPort::Close();
}

// The whole buffer goes to the pass-through printer before any of it is
// checksummed. A printer that reports success while accepting nothing would
// make this loop forever; that is treated as a write fault.
BOOL CChecksumPort::CopyToPassThroughPrinter(LPBYTE pBuffer, DWORD cbBufferSize)
{
    DWORD TotalBytesWritten = 0;
    while (TotalBytesWritten < cbBufferSize)
    {
        DWORD BytesWritten = 0;
        if (!WritePrinter(hPassThroughPrinter, pBuffer + TotalBytesWritten,
                          cbBufferSize - TotalBytesWritten, &BytesWritten))
        {
            SetLastError(FailedCallError(L"CChecksumPort::WritePort(): WritePrinter failed.\n"));
            return FALSE;
        }
        if (BytesWritten == 0)
        {
            OutputDebugStringW(L"CChecksumPort::WritePort(): pass-through printer accepted no data.\n");
            SetLastError(ERROR_WRITE_FAULT);
            return FALSE;
        }
        TotalBytesWritten += BytesWritten;
    }
    return TRUE;
}

BOOL CChecksumPort::WritePort(LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwWritten)
{
    DWORD ErrorCode = 0;
    BOOL InMutex = FALSE;

    if (pBuffer == NULL)
    {
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }

    EnterMutex();
    InMutex = TRUE;

    // Caller memory is checked before it is touched (see faultguard.h).
    if (!IsReadableRange(pBuffer, cbBufferSize) ||
        (pdwWritten != NULL && !IsWritableRange(pdwWritten, sizeof(DWORD))))
    {
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }

    if (pdwWritten != NULL)
        *pdwWritten = 0;

    // When the copy fails, nothing of this buffer is checksummed.
    if (hPassThroughPrinter != NULL && !CopyToPassThroughPrinter(pBuffer, cbBufferSize))
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }

    Stream.Write(pBuffer, cbBufferSize);

    if (pdwWritten != NULL)
        *pdwWritten = cbBufferSize;

CleanUp:
    if (InMutex)
        LeaveMutex();
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

// StartDocPrinterW reads the document record of levels 1 to 3 and the names
// in it without a guard (and faults on a null record). The three begin with
// the same three names; at level 1 the output file is not handed on.
static BOOL IsReadableDocInfo(DWORD Level, LPBYTE pDocInfo)
{
    SIZE_T cbRecord;
    switch (Level)
    {
    case 1: cbRecord = sizeof(DOC_INFO_1W); break;
    case 2: cbRecord = sizeof(DOC_INFO_2W); break;
    case 3: cbRecord = sizeof(DOC_INFO_3W); break;
    default: return TRUE;  // refused by StartDocPrinterW before it reads anything
    }
    if (!IsReadableRange(pDocInfo, cbRecord))
        return FALSE;
    DOC_INFO_1W* pRecord = (DOC_INFO_1W*)pDocInfo;
    return IsNullOrReadableString(pRecord->pDocName) && IsNullOrReadableString(pRecord->pDatatype) &&
           (Level == 1 || IsNullOrReadableString(pRecord->pOutputFile));
}

BOOL CChecksumPort::StartDocPort(LPWSTR pPrinterName, DWORD NewJobID, DWORD Level, LPBYTE pDocInfo)
{
    DWORD ErrorCode = 0;
    DOC_INFO_1W DocInfo1;

    EnterMutex();

    if (!CPort::StartDocPort(pPrinterName, NewJobID, Level, pDocInfo))
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }

    Stream.Reset();

    // Left open by an earlier job whose EndDocPrinter failed.
    if (hPassThroughPrinter != NULL)
    {
        ClosePrinter(hPassThroughPrinter);
        hPassThroughPrinter = NULL;
    }

    if (PassThrough)
    {
        if (!IsReadableDocInfo(Level, pDocInfo))
        {
            ErrorCode = ERROR_INVALID_PARAMETER;
            goto CleanUp;
        }
        // A spooler that delivers the pass-through job to the port would
        // deadlock on this port's lock, one that queues it would print it
        // around the loop for ever.
        if (pMonitor->PassThroughLeadsBack(pName, PassThroughName))
        {
            OutputDebugStringW(
                L"CChecksumPort::StartDocPort(): the pass-through printer prints back to this port.\n");
            ErrorCode = ERROR_CIRCULAR_DEPENDENCY;
            goto CleanUp;
        }
        if (!OpenPrinterW(PassThroughName, &hPassThroughPrinter, NULL))
        {
            hPassThroughPrinter = NULL;
            ErrorCode = FailedCallError(
                L"CChecksumPort::StartDocPort(): OpenPrinter of the pass-through printer failed.\n");
            goto CleanUp;
        }
    }

    if (hPassThroughPrinter != NULL)
    {
        // The pass-through document goes to the printer, never to the
        // spooler's output file. It is started from a copy of the record, so
        // the spooler's own record is never written (it may be read-only, or
        // read by another thread meanwhile).
        if (Level == 1)
        {
            DocInfo1 = *(DOC_INFO_1W*)pDocInfo;
            DocInfo1.pOutputFile = NULL;
            pDocInfo = (LPBYTE)&DocInfo1;
        }
        if (!StartDocPrinterW(hPassThroughPrinter, Level, pDocInfo))
            ErrorCode = FailedCallError(L"CChecksumPort::StartDocPort(): StartDocPrinter failed.\n");
    }

CleanUp:
    if (ErrorCode != 0 && hPassThroughPrinter != NULL)
    {
        ClosePrinter(hPassThroughPrinter);
        hPassThroughPrinter = NULL;
    }
    LeaveMutex();
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL CChecksumPort::EndDocPort()
{
    DWORD ErrorCode = 0;

    EnterMutex();

    Stream.Finish();

    // A checksum that cannot be recorded does not fail the end of the job.
    WriteChecksum();

    // The pass-through document ends before the base job. If it cannot, the
    // printer stays open (the next StartDocPort closes it) and the base job
    // is not ended.
    if (hPassThroughPrinter != NULL)
    {
        if (!EndDocPrinter(hPassThroughPrinter))
        {
            ErrorCode = FailedCallError(L"CChecksumPort::EndDocPort(): EndDocPrinter failed.\n");
            goto CleanUp;
        }
        ClosePrinter(hPassThroughPrinter);
        hPassThroughPrinter = NULL;
    }

    if (!CPort::EndDocPort())
        ErrorCode = GetLastError();

CleanUp:
    LeaveMutex();
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

// Every backslash of a name becomes a slash, so each name is one key level.
static void BackslashesToSlashes(LPWSTR pText)
{
    if (pText == NULL)
        return;
    for (WCHAR* pCurrChar = pText; *pCurrChar != L'\0'; pCurrChar++)
    {
        if (*pCurrChar == L'\\')
            *pCurrChar = L'/';
    }
}

BOOL CChecksumPort::WriteChecksum()
{
    DWORD ErrorCode = 0;
    DWORD ChecksumValue = Stream.Checksum;
    JOB_INFO_1W* pJobInfo = NULL;
    DWORD SizeJobInfo = 0;
    CStringW pChecksumKeyName;
    HKEY hKeyChecksum = NULL;
    WCHAR pMessage[100];

    // First, so every finished job's checksum reaches the debugger output
    // even when the record cannot be written.
    wsprintfW(pMessage, L"Checksum: %u\n", ChecksumValue);
    OutputDebugStringW(pMessage);

    if (!GetJobW(hPrinter, JobID, 1, NULL, 0, &SizeJobInfo) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    {
        ErrorCode = GetLastError();
        OutputDebugStringW(L"CChecksumPort::WriteChecksum(): GetJob failed.\n");
        goto CleanUp;
    }

    pJobInfo = (JOB_INFO_1W*)GlobalAlloc(GMEM_FIXED, SizeJobInfo);
    if (pJobInfo == NULL)
    {
        ErrorCode = GetLastError();
        OutputDebugStringW(L"CChecksumPort::WriteChecksum(): Not enough memory.\n");
        goto CleanUp;
    }

    if (!GetJobW(hPrinter, JobID, 1, (LPBYTE)pJobInfo, SizeJobInfo, &SizeJobInfo))
    {
        ErrorCode = GetLastError();
        OutputDebugStringW(L"CChecksumPort::WriteChecksum(): GetJob failed.\n");
        goto CleanUp;
    }

    BackslashesToSlashes(pJobInfo->pPrinterName);
    BackslashesToSlashes(pJobInfo->pDocument);

    // A missing name contributes no text; its separator stays.
    pChecksumKeyName = CStringW(CHECKSUM_RECORD_ROOT) + L"\\" + pJobInfo->pPrinterName + L"\\" +
                       pJobInfo->pDocument;
    if (pChecksumKeyName.IsNull())
    {
        ErrorCode = ERROR_NOT_ENOUGH_MEMORY;
        goto CleanUp;
    }

    ErrorCode = RegCreateKeyExW(HKEY_LOCAL_MACHINE, pChecksumKeyName, 0, NULL,
                                REG_OPTION_NON_VOLATILE, KEY_WRITE, NULL, &hKeyChecksum, NULL);
    if (ErrorCode != ERROR_SUCCESS)
    {
        hKeyChecksum = NULL;
        goto CleanUp;
    }
    ErrorCode = RegSetValueExW(hKeyChecksum, L"LastChecksum", 0, REG_DWORD, (const BYTE*)&ChecksumValue,
                               sizeof(ChecksumValue));

CleanUp:
    if (hKeyChecksum != NULL)
        RegCloseKey(hKeyChecksum);
    if (pJobInfo != NULL)
        GlobalFree(pJobInfo);
    pChecksumKeyName.FreeString();
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}
