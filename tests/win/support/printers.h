// Real spooler jobs on the prefix's test printers (support/test_printers.h).
//
// Wine 8.0 keeps its job queues inside each process (winspool and localspl run
// in-process). A job that the test starts with StartDocPrinterW is visible to
// every printer handle that the same process opens on that printer, which is
// exactly what the monitor does in StartDocPort; job ids start at 1 in every
// process. GetJobW level 1 then reports pPrinterName = the printer's name and
// pDocument = DOC_INFO_1W.pDocName (NULL if that was NULL; AddJobW jobs say
// "Local Downlevel Document"). SetJobW accepts any command for an existing
// job (returns TRUE, Status stays 0) and fails for a missing job without
// setting the last error.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <optional>
#include <string>
#include <vector>

namespace vt {

// A job on a real printer, started as the spooler starts one: OpenPrinterW on
// the printer, then StartDocPrinterW with a DOC_INFO_1W (RAW, no output
// file). The destructor ends the document (Wine then sends the job's data, if
// any, to the printer's port) and closes the printer.
class RealJob {
 public:
  RealJob(const wchar_t* printerName, const wchar_t* documentName);
  ~RealJob();
  RealJob(const RealJob&) = delete;
  RealJob& operator=(const RealJob&) = delete;

  bool Started() const { return JobId != 0; }
  DWORD Error() const { return StartError; }
  DWORD Id() const { return JobId; }
  HANDLE Printer() const { return PrinterHandle; }
  LPWSTR PrinterName() { return PrinterText.data(); }
  // The document record as the spooler hands it to StartDocPort (level 1).
  LPBYTE DocInfo() { return reinterpret_cast<LPBYTE>(&Doc); }
  DOC_INFO_1W& Record() { return Doc; }

  // Data of the job itself (goes to the printer's port at the end).
  bool Write(const std::string& data);
  // Ends the document now; the destructor then only closes the printer.
  bool End();

 private:
  std::wstring PrinterText;
  std::wstring Document;
  std::wstring Datatype = L"RAW";
  DOC_INFO_1W Doc = {};
  HANDLE PrinterHandle = nullptr;
  DWORD JobId = 0;
  DWORD StartError = 0;
  bool Ended = false;
};

struct JobInfo {
  std::optional<std::wstring> PrinterName;  // nullopt: the field was NULL
  std::optional<std::wstring> Document;
  DWORD Status = 0;
};

// GetJobW level 1 through a printer handle of its own; nullopt if it fails.
std::optional<JobInfo> GetJobInfo(const wchar_t* printerName, DWORD jobId);

// The DOS path of the file a test printer's port writes to (its port is a
// Unix path in the fixture's output folder), empty if the port is no file.
std::wstring PrinterOutputFile(const wchar_t* printerName);

// Whole contents of a file; nullopt if it cannot be read.
std::optional<std::string> ReadFileBytes(const std::wstring& path);

// Handle value that the next OpenPrinterW in this process returns. Wine hands
// out printer handles as small numbers, always the lowest free one, so two
// probes around some code return the same value exactly when that code closed
// every printer it opened.
HANDLE NextPrinterHandle();

}  // namespace vt
