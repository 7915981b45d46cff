// Base fixture of the tests that drive vardlet.dll through its exports (each
// test gets a freshly loaded library, so a fresh monitor, a registry root of
// its own and a capture of the debugger output), and the job and record
// helpers they share. The tests rely on it for GoogleTest, <windows.h> and
// <winspool.h>, the standard types of its interface and the rest of the
// support library's registry, printer and debugger-output helpers.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "debug_output.h"
#include "printers.h"
#include "registry.h"
#include "test_printers.h"
#include "vardlet_module.h"

namespace vt {

// Sentinel for the thread's last error before each call under test.
inline constexpr DWORD kSentinel = 0xdeadbeef;

using Names = std::vector<std::wstring>;
using Messages = std::vector<std::string>;
using Writes = std::vector<std::string>;  // the writes of one job, in order

inline LPBYTE Bytes(const std::string& data) {
  return reinterpret_cast<LPBYTE>(const_cast<char*>(data.data()));
}

// AddPortExW's record at level (DWORD)-1: a checksum port's monitor data is
// the name of its pass-through printer.
struct PortRecordFF {
  LPWSTR pName;
  DWORD cbMonitorData;
  LPBYTE pMonitorData;
};
constexpr DWORD kLevelFF = static_cast<DWORD>(-1);

// The checksum of these writes, computed alone by the engine the library uses.
uint32_t ExpectedChecksum(const Writes& writes);
// The debugger message that ends every job: "Checksum: N\n".
std::string ChecksumMessage(uint32_t checksum);
// Pseudo-random job data of a seed: alternately PostScript with comments,
// strings and escapes, and binary data full of the bytes the scanner reacts
// to; cut into writes of 0 to maxWrite bytes.
Writes MakeJob(uint32_t seed, size_t totalBytes, size_t maxWrite);

// Under HKEY_LOCAL_MACHINE: one key per printer, below it one per document.
inline const std::wstring kRecordRoot = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Checksums";
// The checksum record of a printer and a document, named as the job names
// them (backslashes become slashes in the key).
std::wstring RecordKey(std::wstring printer, std::wstring document);
std::optional<DWORD> ReadRecord(const std::wstring& printer, const std::wstring& document);
void DeleteRecord(const std::wstring& printer, const std::wstring& document);

// One job as the spooler runs it on an open port: a real job on `printer`,
// StartDocPort, the writes, EndDocPort, and then the record must hold the
// checksum of the writes. Not a test assertion, so worker threads can use it;
// `doing`, if given, names the export being called (for a watchdog).
struct JobRun {
  bool Ok = false;
  std::string Problem;  // the first thing that went wrong
};
JobRun RunJob(const VardletExports& dll, HANDLE port, const wchar_t* printer, const wchar_t* document,
              const Writes& writes, std::atomic<const char*>* doing = nullptr);

class MonitorTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // InitializeMonitor on this test's root, after creating one subkey per
  // name (in that order). Expects success.
  void Initialize(const Names& portKeys = {});
  // Port names as EnumPortsW level 1 reports them, in the monitor's order.
  Names PortNames();
  // OpenPort that must succeed.
  HANDLE Open(const wchar_t* portName);
  // AddPortExW at `level` (1 or kLevelFF, with `printer` as the monitor
  // data), the sentinel set first; result and last error are the caller's.
  BOOL AddPort(const wchar_t* name, DWORD level = 1, const wchar_t* printer = nullptr);
  // A record this test writes: deleted now and at the end of the test.
  void ForgetRecord(const std::wstring& printer, const std::wstring& document);
  // A whole job on Laser 1 through the port (opened and closed here) that
  // must succeed and be recorded.
  void PrintJob(const wchar_t* portName, const wchar_t* document, const Writes& writes);

  // Declared first: destroyed last, so the messages of the library's unload
  // in TearDown are still captured.
  DebugOutput Debug;
  MonitorRoot Root;
  VardletModule Module;
  std::vector<std::pair<std::wstring, std::wstring>> Records;
};

}  // namespace vt
