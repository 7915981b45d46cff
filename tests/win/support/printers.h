// Real spooler jobs and printers in the test prefix (test_printers.h).
//
// Wine 8.0 keeps its job queues inside each process (winspool and localspl
// run in-process): a job this process starts with StartDocPrinterW is found
// by id through any other handle this process opens on that printer, which
// is what the monitor does in StartDocPort. SetJobW fails for a missing job
// without setting the last error.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <optional>
#include <string>

namespace vt {

// A job on a real printer, started as the spooler starts one: OpenPrinterW,
// then StartDocPrinterW with a RAW DOC_INFO_1W. The destructor ends the
// document (Wine then sends the job's data, if any, to the printer's port)
// and closes the printer.
class RealJob {
 public:
  RealJob(const wchar_t* printerName, const wchar_t* documentName);
  ~RealJob();
  RealJob(const RealJob&) = delete;
  RealJob& operator=(const RealJob&) = delete;

  bool Started() const { return JobId != 0; }
  DWORD Error() const { return StartError; }
  DWORD Id() const { return JobId; }
  LPWSTR PrinterName() { return PrinterText.data(); }
  // The document record as the spooler hands it to StartDocPort (level 1).
  LPBYTE DocInfo() { return reinterpret_cast<LPBYTE>(&Doc); }
  DOC_INFO_1W& Record() { return Doc; }
  // Ends the document now; the destructor then only closes the printer.
  bool End();

 private:
  std::wstring PrinterText, Document, Datatype = L"RAW";
  DOC_INFO_1W Doc = {};
  HANDLE PrinterHandle = nullptr;
  DWORD JobId = 0, StartError = 0;
  bool Ended = false;
};

// A printer of one test's own on the test driver and the given port (a Unix
// file, or "|command"). Deleted (if still there) on destruction.
class ScratchPrinter {
 public:
  ScratchPrinter(const wchar_t* name, const std::wstring& port);
  ~ScratchPrinter() { Delete(); }
  bool Ok() const { return Added; }
  DWORD Error() const { return AddError; }
  LPWSTR Name() { return PrinterName.data(); }
  bool Delete();

 private:
  std::wstring PrinterName;
  bool Added = false;
  DWORD AddError = 0;
};

// The DOS path of the file a test printer's port writes to (its port is a
// Unix path in the fixture's output folder), empty if the port is no file.
std::wstring PrinterOutputFile(const wchar_t* printerName);
// Whole contents of a file; nullopt if it cannot be read.
std::optional<std::string> ReadFileBytes(const std::wstring& path);

// Printer handles this process holds open. Wine numbers them from 1 and hands
// out the lowest free number, so opening `probes` handles and looking at the
// highest number given shows how many were taken before.
size_t OpenPrinterHandles(size_t probes = 32);

}  // namespace vt
