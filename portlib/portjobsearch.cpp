// portjobsearch.cpp: finding the job's printer and job id when the spooler
// does not name them.
//
// Windows' spooler passes StartDocPort the job's printer and id. Wine's
// passes a null printer name and job id 0 (its print processor opens the
// port, then the job, and never hands either on). The port then finds the
// printers that print to it (EnumPrintersW level 2: pPortName is a
// comma-separated list of ports), and on them the job being printed. Wine
// lists no jobs at that point (EnumJobsW is empty) but answers GetJobW by id,
// and numbers each process's jobs from 1 upwards, so ids are tried from 1 up
// to MAX_SEARCHED_JOB_ID and the first job whose document name equals the
// one in the spooler's document record is taken. Two jobs of one document
// on one printer at the same moment are told apart by nothing the spooler
// gives; either one yields the same record.
#include "port.h"

#include <wchar.h>

#include "platformcall.h"
#include "portlist.h"

// Ids tried on each printer of the port. A process that printed more jobs
// than this no longer finds its job: StartDocPort then fails visibly.
#define MAX_SEARCHED_JOB_ID 10000

// TRUE if the printer's port list pPortList names the port pPortName.
static BOOL IsPortInList(const WCHAR* pPortList, const WCHAR* pPortName)
{
    SIZE_T cchPortName = lstrlenW(pPortName);
    const WCHAR* pEntry;
    SIZE_T cchEntry;
    while (NextPortInList(&pPortList, &pEntry, &cchEntry))
    {
        if (IsSameNameIgnoringCase(pEntry, cchEntry, pPortName, cchPortName))
            return TRUE;
    }
    return FALSE;
}

// TRUE if job JobId is on hPrinter and, when CheckDocument is set, its
// document name is exactly pDocName (a null one matches only a null one).
static BOOL IsJobOfDocument(HANDLE hPrinter, DWORD JobId, BOOL CheckDocument, const WCHAR* pDocName)
{
    DWORD cbJobInfo = 0;
    // A missing job may leave the last error as it was: start from none.
    SetLastError(0);
    if (GetJobW(hPrinter, JobId, 1, NULL, 0, &cbJobInfo) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return FALSE;
    if (!CheckDocument)
        return TRUE;

    BOOL Matches = FALSE;
    JOB_INFO_1W* pJobInfo = (JOB_INFO_1W*)GlobalAlloc(GMEM_FIXED, cbJobInfo);
    if (pJobInfo != NULL && GetJobW(hPrinter, JobId, 1, (LPBYTE)pJobInfo, cbJobInfo, &cbJobInfo))
    {
        const WCHAR* pDocument = pJobInfo->pDocument;
        Matches = (pDocument == NULL || pDocName == NULL) ? pDocument == pDocName
                                                          : wcscmp(pDocument, pDocName) == 0;
    }
    if (pJobInfo != NULL)
        GlobalFree(pJobInfo);
    return Matches;
}

// Opens pPrinterName and looks for the job there: NewJobID itself if the
// spooler gave one, otherwise the job of pDocName. On success the printer
// stays open in *phJobPrinter, *pFoundJobID holds the job's id and the result
// is 0; otherwise the result is OpenPrinterW's code, or ERROR_INVALID_PARAMETER
// (the code of GetJob for a job a printer does not have) when no job matches.
static DWORD FindJobOnPrinter(LPWSTR pPrinterName, DWORD NewJobID, const WCHAR* pDocName,
                              HANDLE* phJobPrinter, DWORD* pFoundJobID)
{
    HANDLE hJobPrinter = NULL;
    if (!OpenPrinterW(pPrinterName, &hJobPrinter, NULL))
        return FailedCallError(L"CPort::StartDocPort(): OpenPrinter failed.\n");
    DWORD FirstId = NewJobID != 0 ? NewJobID : 1;
    DWORD LastId = NewJobID != 0 ? NewJobID : MAX_SEARCHED_JOB_ID;
    for (DWORD JobId = FirstId; JobId <= LastId; JobId++)
    {
        if (IsJobOfDocument(hJobPrinter, JobId, NewJobID == 0, pDocName))
        {
            *phJobPrinter = hJobPrinter;
            *pFoundJobID = JobId;
            return 0;
        }
    }
    ClosePrinter(hJobPrinter);
    return ERROR_INVALID_PARAMETER;
}

BOOL CPort::FindJobOfPort(LPWSTR pPrinterName, DWORD NewJobID, DWORD Level, LPBYTE pDocInfo)
{
    DWORD ErrorCode = 0;
    PRINTER_INFO_2W* pPrinters = NULL;
    DWORD cbPrinters = 0;
    DWORD NumPrinters = 0;
    BOOL PortHasPrinter = FALSE;
    const WCHAR* pDocName = NULL;

    // The three document records (levels 1 to 3) begin with the document's name.
    if (Level >= 1 && Level <= 3)
    {
        if (!IsReadableRange(pDocInfo, sizeof(DOC_INFO_1W)) ||
            !IsNullOrReadableString(((DOC_INFO_1W*)pDocInfo)->pDocName))
        {
            ErrorCode = ERROR_INVALID_PARAMETER;
            goto CleanUp;
        }
        pDocName = ((DOC_INFO_1W*)pDocInfo)->pDocName;
    }

    if (pPrinterName != NULL)
    {
        // The printer is named, only the job id is missing.
        ErrorCode = FindJobOnPrinter(pPrinterName, NewJobID, pDocName, &hPrinter, &JobID);
        if (ErrorCode == ERROR_INVALID_PARAMETER)
            OutputDebugStringW(L"CPort::StartDocPort(): the job was not found on its printer.\n");
        goto CleanUp;
    }

    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &cbPrinters, &NumPrinters) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    {
        ErrorCode = FailedCallError(L"CPort::StartDocPort(): EnumPrinters failed.\n");
        goto CleanUp;
    }
    if (cbPrinters != 0)
    {
        pPrinters = (PRINTER_INFO_2W*)GlobalAlloc(GMEM_FIXED, cbPrinters);
        if (pPrinters == NULL)
        {
            ErrorCode = ERROR_NOT_ENOUGH_MEMORY;
            goto CleanUp;
        }
        if (!EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, (LPBYTE)pPrinters, cbPrinters, &cbPrinters,
                           &NumPrinters))
        {
            ErrorCode = FailedCallError(L"CPort::StartDocPort(): EnumPrinters failed.\n");
            goto CleanUp;
        }
    }

    for (DWORD Index = 0; Index < NumPrinters; Index++)
    {
        if (!IsPortInList(pPrinters[Index].pPortName, pName))
            continue;
        PortHasPrinter = TRUE;
        // A printer that cannot be opened (deleted meanwhile) has no job of ours.
        if (FindJobOnPrinter(pPrinters[Index].pPrinterName, NewJobID, pDocName, &hPrinter, &JobID) == 0)
            goto CleanUp;
    }

    if (!PortHasPrinter)
    {
        OutputDebugStringW(L"CPort::StartDocPort(): no printer prints to this port.\n");
        ErrorCode = ERROR_INVALID_PRINTER_NAME;
    }
    else
    {
        OutputDebugStringW(L"CPort::StartDocPort(): the job was not found on the port's printers.\n");
        ErrorCode = ERROR_INVALID_PARAMETER;
    }

CleanUp:
    if (pPrinters != NULL)
        GlobalFree(pPrinters);
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}
