// Helpers of the reliability tests (stress, platform faults, hostile input,
// leaks): a whole job through a port with the checksum it must record, the
// checksum records, printers made for one test, and the process-wide
// resources whose counts must come back.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vardlet_module.h"

namespace vt {

// The writes of one job, in order.
using Writes = std::vector<std::string>;

// The checksum a port records for these writes, computed alone with the
// same engine the library uses.
uint32_t ExpectedChecksum(const Writes& writes);

inline LPBYTE Bytes(const std::string& data) {
  return reinterpret_cast<LPBYTE>(const_cast<char*>(data.data()));
}

// Key of the checksum record of a printer and document (relative to HKLM).
std::wstring RecordKey(const std::wstring& printer, const std::wstring& document);
std::optional<DWORD> ReadRecord(const std::wstring& printer, const std::wstring& document);
void DeleteRecord(const std::wstring& printer, const std::wstring& document);

// One job as the spooler runs it on an open port: a real job on `printer`
// (document `document`), StartDocPort, the writes, EndDocPort. Whatever
// goes wrong is described in the result; nothing here is a test assertion,
// so worker threads can use it.
struct JobRun {
  bool Ok = false;          // every call succeeded and wrote every byte
  std::string Problem;      // the first thing that went wrong
};
JobRun RunJob(const VardletExports& dll, HANDLE port, const wchar_t* printer,
              const wchar_t* document, const Writes& writes);

// Same, and then the record must equal the expected checksum.
JobRun RunCheckedJob(const VardletExports& dll, HANDLE port, const wchar_t* printer,
                     const wchar_t* document, const Writes& writes);

// Pseudo-random job data of a given seed: alternately PostScript with
// comments, strings and escapes, and binary data full of the characters the
// scanner reacts to; cut into writes of 0 to maxWrite bytes.
Writes MakeJob(uint32_t seed, size_t totalBytes, size_t maxWrite);

// AddPortExW level (DWORD)-1 record: a port name and its pass-through
// printer (null: none).
struct PortRecordFF {
  LPWSTR pName;
  DWORD cbMonitorData;
  LPBYTE pMonitorData;
};
constexpr DWORD kLevelFF = static_cast<DWORD>(-1);

// Unix path of a file in the fixture's output folder, where the test
// printers' file ports write.
std::wstring OutputFile(const wchar_t* fileName);

// A printer of this test's own on the test driver and the given port (a
// Unix file, or "|command"). Deleted (if still there) on destruction.
class ScratchPrinter {
 public:
  ScratchPrinter(const wchar_t* name, const std::wstring& port);
  ~ScratchPrinter();
  ScratchPrinter(const ScratchPrinter&) = delete;
  ScratchPrinter& operator=(const ScratchPrinter&) = delete;

  bool Ok() const { return Added; }
  DWORD Error() const { return AddError; }
  LPWSTR Name() { return PrinterName.data(); }
  // DeletePrinter through a handle with full access.
  bool Delete();

 private:
  std::wstring PrinterName;
  bool Added = false;
  DWORD AddError = 0;
};

// Printer handles this process holds open. Wine numbers them from 1 and
// hands out the lowest free number, so opening `probes` handles and looking
// at the highest number given shows how many were taken before.
size_t OpenPrinterHandles(size_t probes = 32);

// Kernel handles (registry keys, events, files, ...) this process holds,
// counted the same way: Wine gives out the lowest free slot, and a handle's
// value is four times its slot number plus four. (Wine's
// GetProcessHandleCount answers 0.)
size_t OpenKernelHandles(size_t probes = 256);

// Busy blocks and their bytes on one heap (HeapWalk under HeapLock).
struct HeapUse {
  size_t Blocks = 0;
  size_t Bytes = 0;
  bool operator==(const HeapUse& other) const {
    return Blocks == other.Blocks && Bytes == other.Bytes;
  }
};
HeapUse MeasureHeap(HANDLE heap);
std::vector<HANDLE> ProcessHeaps();

}  // namespace vt
