// Shared by the checksum port's job tests (checksum_job_test.cpp and
// pass_through_test.cpp): the checksum records in the prefix's registry,
// pass-through ports, printer-handle probes and a job driven through a port
// the way the spooler drives it.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "monitor_fixture.h"
#include "printers.h"
#include "registry.h"
#include "test_printers.h"

namespace vt {

// Under HKEY_LOCAL_MACHINE: one key per printer name, below it one per document name.
inline constexpr wchar_t kRecordRoot[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Checksums";

using Messages = std::vector<std::string>;

// The debugger message that ends every job.
inline std::string ChecksumMessage(DWORD checksum) {
  char text[32];
  std::snprintf(text, sizeof text, "Checksum: %lu\n", static_cast<unsigned long>(checksum));
  return text;
}

struct RecordValue {
  DWORD Type = REG_NONE;
  DWORD Size = 0;
  DWORD Value = 0;
};

// The checksum record of one printer and one document, named as the key levels
// hold them (backslashes already written as slashes). The key is deleted when
// the object is made and when it is destroyed.
class ScopedRecord {
 public:
  ScopedRecord(const std::wstring& printerKey, const std::wstring& documentKey)
      : Path(std::wstring(kRecordRoot) + L"\\" + printerKey + L"\\" + documentKey) {
    DeleteKeyTree(HKEY_LOCAL_MACHINE, Path);
  }
  ~ScopedRecord() { DeleteKeyTree(HKEY_LOCAL_MACHINE, Path); }
  ScopedRecord(const ScopedRecord&) = delete;
  ScopedRecord& operator=(const ScopedRecord&) = delete;

  const std::wstring& Key() const { return Path; }

  // "LastChecksum" with its type; nullopt if the value is not there. Up to 4 bytes are read.
  std::optional<RecordValue> Read() const {
    RecordValue record;
    record.Size = sizeof record.Value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, Path.c_str(), L"LastChecksum",
                     RRF_RT_ANY | RRF_NOEXPAND, &record.Type, &record.Value,
                     &record.Size) != ERROR_SUCCESS)
      return std::nullopt;
    return record;
  }

 private:
  std::wstring Path;
};

// The add record of level (DWORD)-1; a checksum port's monitor data is the
// pass-through printer's name.
struct PortInfoFF {
  LPWSTR pName;
  DWORD cbMonitorData;
  LPBYTE pMonitorData;
};

// The `count` lowest printer handle values that are free now. Wine hands out
// printer handles as small numbers, always the lowest free one, so these are
// the handles the next `count` OpenPrinterW calls of this process receive.
inline std::vector<HANDLE> FreePrinterHandles(size_t count) {
  std::vector<HANDLE> handles;
  for (size_t i = 0; i < count; ++i) {
    HANDLE printer = nullptr;
    if (!OpenPrinterW(const_cast<LPWSTR>(kJobPrinter.Name), &printer, nullptr)) break;
    handles.push_back(printer);
  }
  for (HANDLE printer : handles) ClosePrinter(printer);
  return handles;
}

class ChecksumPortTest : public MonitorTest {
 protected:
  // AddPortExW at level (DWORD)-1 with `printerName` as the monitor data
  // (pass-through on), or with no monitor data (off). Expects success.
  void AddPort(const wchar_t* portName, const wchar_t* printerName) {
    std::wstring name = portName;
    std::wstring printer = printerName ? printerName : L"";
    PortInfoFF record = {name.data(),
                         printerName ? static_cast<DWORD>((printer.size() + 1) * sizeof(wchar_t)) : 0,
                         printerName ? reinterpret_cast<LPBYTE>(printer.data()) : nullptr};
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->AddPortExW(nullptr, static_cast<DWORD>(-1),
                                   reinterpret_cast<LPBYTE>(&record), nullptr))
        << "AddPortExW failed with " << GetLastError();
  }

  // StartDocPort for a real job, as the spooler calls it. Expects success.
  bool Start(HANDLE port, RealJob& job) {
    EXPECT_TRUE(job.Started()) << "job error " << job.Error();
    SetLastError(kSentinel);
    BOOL started = Module->StartDocPort(port, job.PrinterName(), job.Id(), 1, job.DocInfo());
    EXPECT_TRUE(started) << "StartDocPort failed with " << GetLastError();
    return started;
  }

  // One WritePort per piece; each must be taken whole.
  bool Write(HANDLE port, const std::vector<std::string>& pieces) {
    bool ok = true;
    for (const std::string& piece : pieces) {
      DWORD written = 0x5a5a5a5a;
      SetLastError(kSentinel);
      BOOL accepted = Module->WritePort(port, reinterpret_cast<LPBYTE>(const_cast<char*>(piece.data())),
                                        static_cast<DWORD>(piece.size()), &written);
      EXPECT_TRUE(accepted) << "WritePort of " << piece.size() << " bytes failed with " << GetLastError();
      EXPECT_EQ(piece.size(), written);
      ok = ok && accepted && written == piece.size();
    }
    return ok;
  }

  // EndDocPort with the sentinel set first; its last error stays in place.
  BOOL End(HANDLE port) {
    SetLastError(kSentinel);
    return Module->EndDocPort(port);
  }

  // A whole job that must succeed: open, start, the writes, end, close.
  void PrintJob(const wchar_t* portName, const wchar_t* document,
                const std::vector<std::string>& pieces) {
    RealJob job(kJobPrinter.Name, document);
    HANDLE port = Open(portName);
    if (Start(port, job) && Write(port, pieces)) {
      EXPECT_TRUE(End(port)) << "EndDocPort failed with " << GetLastError();
    }
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->ClosePort(port));
  }
};

}  // namespace vt
