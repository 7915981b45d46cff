// Every export handed what no spooler should hand it: names, records and
// buffers that cannot be read, count pointers that cannot be written, sizes
// near 2^32, names far longer than the registry allows, levels nobody uses.
// Each call fails with its code and changes nothing; a crash here ends the
// whole program. (Port handles, count pointers of WritePort and ReadPort, and
// the refused levels and records of AddPortExW and EnumPortsW have their own
// tests: handle_guard_test, checksum_port_test, admin_test, enum_test.)
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "memory_pages.h"
#include "monitor_fixture.h"
#include "printers.h"
#include "registry.h"
#include "reliability_support.h"
#include "test_printers.h"

namespace vt {
namespace {

using Names = std::vector<std::wstring>;

const wchar_t kDocument[] = L"vt-hostile document";

// Wide text that never ends: the last characters of a readable page, with
// nothing mapped after it.
class UnterminatedText {
 public:
  UnterminatedText() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    Page = system.dwPageSize;
    Base = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * Page, MEM_RESERVE, PAGE_NOACCESS));
    if (Base && VirtualAlloc(Base, Page, MEM_COMMIT, PAGE_READWRITE)) {
      auto* text = reinterpret_cast<wchar_t*>(Base);
      for (size_t i = 0; i < Page / sizeof(wchar_t); ++i) text[i] = L'x';
    }
  }
  ~UnterminatedText() {
    if (Base) VirtualFree(Base, 0, MEM_RELEASE);
  }
  LPWSTR Text() const { return reinterpret_cast<LPWSTR>(Base + Page - 16); }
  // The page after it: reserved, never committed.
  LPWSTR Reserved() const { return reinterpret_cast<LPWSTR>(Base + Page); }

 private:
  BYTE* Base = nullptr;
  SIZE_T Page = 0;
};

struct Row {
  std::string What;
  std::function<BOOL()> Call;
  DWORD Error;  // every row fails, with this code
};

class HostileInput : public MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    ASSERT_TRUE(NoAccess.Ok() && ReadOnly.Ok());
    Reserved = Unterminated.Reserved();
  }
  void TearDown() override {
    DeleteRecord(kJobPrinter.Name, kDocument);
    MonitorTest::TearDown();
  }

  // Runs every row with the sentinel as the last error; each must fail with
  // its own code.
  size_t Run(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.What);
      SetLastError(kSentinel);
      EXPECT_FALSE(row.Call());
      EXPECT_EQ(row.Error, GetLastError());
    }
    return rows.size();
  }

  ProtectedPage NoAccess{PAGE_NOACCESS};
  ProtectedPage ReadOnly{PAGE_READONLY};
  UnterminatedText Unterminated;
  LPWSTR Reserved = nullptr;  // address space without memory behind it
  std::wstring Long300 = std::wstring(300, L'n');
  std::wstring Long32767 = std::wstring(32767, L'n');
};

// A root that is missing, empty or unreadable would make HKEY_LOCAL_MACHINE
// itself the monitor's root, or fault in the registry: refused with 87
// before anything is read, and a proper initialisation still works after.
TEST_F(HostileInput, InitializeMonitorRefusesRootsItCannotUse) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({L"VT1:"}));
  LPWSTR noAccess = NoAccess.As<wchar_t>();
  const std::vector<Row> rows = {
      {"null root", [&] { return Module->InitializeMonitor(nullptr); }, ERROR_INVALID_PARAMETER},
      {"empty root", [&] { return Module->InitializeMonitor(const_cast<LPWSTR>(L"")); },
       ERROR_INVALID_PARAMETER},
      {"unreadable root", [&] { return Module->InitializeMonitor(noAccess); }, ERROR_INVALID_PARAMETER},
      {"unterminated root", [&] { return Module->InitializeMonitor(Unterminated.Text()); },
       ERROR_INVALID_PARAMETER},
      {"uncommitted root", [&] { return Module->InitializeMonitor(Reserved); }, ERROR_INVALID_PARAMETER},
  };
  size_t tried = Run(rows);
  EXPECT_EQ(Names{}, PortNames());
  Initialize();
  EXPECT_EQ(Names{L"VT1:"}, PortNames());
  std::printf("hostile: InitializeMonitor: %zu bad roots refused\n", tried);
}

TEST_F(HostileInput, EveryExportRefusesWhatItCannotUse) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({L"PT:"}));
  ASSERT_EQ(ERROR_SUCCESS, WriteDword(HKEY_LOCAL_MACHINE, Root.Child(L"PT:"), L"Print", 1));
  ASSERT_EQ(ERROR_SUCCESS, WriteString(HKEY_LOCAL_MACHINE, Root.Child(L"PT:"), L"Print To",
                                       kPassTargetPrinter.Name));
  Initialize({L"VT1:", L"VT2:"});
  const Names ports = PortNames();
  const Names keys = Subkeys(HKEY_LOCAL_MACHINE, Root.Path());
  HANDLE plain = Open(L"VT1:");
  HANDLE pass = Open(L"PT:");
  RealJob job(kJobPrinter.Name, kDocument);
  ASSERT_TRUE(job.Started()) << "error " << job.Error();

  const VardletExports& dll = Module.Get();
  LPWSTR noAccess = NoAccess.As<wchar_t>();
  LPWSTR unterminated = Unterminated.Text();
  LPWSTR long300 = Long300.data();
  LPWSTR long32767 = Long32767.data();
  LPWSTR closedPort = const_cast<LPWSTR>(L"VT2:");

  // Records for AddPortExW and StartDocPort, each with one bad part.
  auto addName = [&](LPWSTR name) {
    PORT_INFO_1W record = {name};
    return dll.AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&record), nullptr);
  };
  auto addWithData = [&](LPWSTR data) {
    PortRecordFF record = {const_cast<LPWSTR>(L"NEW:"), 64, reinterpret_cast<LPBYTE>(data)};
    return dll.AddPortExW(nullptr, kLevelFF, reinterpret_cast<LPBYTE>(&record), nullptr);
  };
  auto startWith = [&](HANDLE port, LPWSTR printer, DWORD level, LPBYTE record) {
    return dll.StartDocPort(port, printer, job.Id(), level, record);
  };
  auto startWithDocument = [&](LPWSTR name, LPWSTR datatype) {
    DOC_INFO_1W record = {name, nullptr, datatype};
    return startWith(pass, job.PrinterName(), 1, reinterpret_cast<LPBYTE>(&record));
  };
  auto enumerate = [&](LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned) {
    return dll.EnumPortsW(nullptr, 1, buffer, size, needed, returned);
  };
  BYTE small[64];
  DWORD needed = 0, returned = 0;
  LPDWORD readOnlyCount = ReadOnly.As<DWORD>();
  LPDWORD noAccessCount = NoAccess.As<DWORD>();
  PHANDLE readOnlyHandle = ReadOnly.As<HANDLE>();
  PHANDLE noAccessHandle = NoAccess.As<HANDLE>();

  const std::vector<Row> rows = {
      // Names that cannot be read, or name nothing.
      {"OpenPort, unreadable name", [&] { HANDLE h; return dll.OpenPort(noAccess, &h); }, ERROR_INVALID_PARAMETER},
      {"OpenPort, unterminated name", [&] { HANDLE h; return dll.OpenPort(unterminated, &h); }, ERROR_INVALID_PARAMETER},
      {"OpenPort, uncommitted name", [&] { HANDLE h; return dll.OpenPort(Reserved, &h); }, ERROR_INVALID_PARAMETER},
      {"OpenPort, 300 characters", [&] { HANDLE h; return dll.OpenPort(long300, &h); }, ERROR_UNKNOWN_PORT},
      {"OpenPort, 32767 characters", [&] { HANDLE h; return dll.OpenPort(long32767, &h); }, ERROR_UNKNOWN_PORT},
      {"OpenPort, null name", [&] { HANDLE h; return dll.OpenPort(nullptr, &h); }, ERROR_UNKNOWN_PORT},
      {"OpenPort, read-only handle pointer", [&] { return dll.OpenPort(closedPort, readOnlyHandle); }, ERROR_INVALID_PARAMETER},
      {"OpenPort, unreadable handle pointer", [&] { return dll.OpenPort(closedPort, noAccessHandle); }, ERROR_INVALID_PARAMETER},
      {"DeletePortW, unreadable name", [&] { return dll.DeletePortW(nullptr, nullptr, noAccess); }, ERROR_INVALID_PARAMETER},
      {"DeletePortW, unterminated name", [&] { return dll.DeletePortW(nullptr, nullptr, unterminated); }, ERROR_INVALID_PARAMETER},
      {"DeletePortW, uncommitted name", [&] { return dll.DeletePortW(nullptr, nullptr, Reserved); }, ERROR_INVALID_PARAMETER},
      {"DeletePortW, 32767 characters", [&] { return dll.DeletePortW(nullptr, nullptr, long32767); }, ERROR_UNKNOWN_PORT},
      {"DeletePortW, null name", [&] { return dll.DeletePortW(nullptr, nullptr, nullptr); }, ERROR_UNKNOWN_PORT},
      {"ConfigurePortW, unreadable name", [&] { return dll.ConfigurePortW(nullptr, nullptr, noAccess); }, ERROR_INVALID_PARAMETER},
      {"ConfigurePortW, unterminated name", [&] { return dll.ConfigurePortW(nullptr, nullptr, unterminated); }, ERROR_INVALID_PARAMETER},
      {"ConfigurePortW, 32767 characters", [&] { return dll.ConfigurePortW(nullptr, nullptr, long32767); }, ERROR_UNKNOWN_PORT},
      {"ConfigurePortW, null name", [&] { return dll.ConfigurePortW(nullptr, nullptr, nullptr); }, ERROR_UNKNOWN_PORT},
      // Records of AddPortExW with one part that cannot be used.
      {"AddPortExW, level 0xFFFFFFFE", [&] { return dll.AddPortExW(nullptr, 0xfffffffe, small, nullptr); }, ERROR_INVALID_LEVEL},
      {"AddPortExW, record in uncommitted memory", [&] { return dll.AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(Reserved), nullptr); }, ERROR_INVALID_PARAMETER},
      {"AddPortExW, unreadable name", [&] { return addName(noAccess); }, ERROR_INVALID_PARAMETER},
      {"AddPortExW, unterminated name", [&] { return addName(unterminated); }, ERROR_INVALID_PARAMETER},
      {"AddPortExW, 300 characters (registry refuses)", [&] { return addName(long300); }, ERROR_INVALID_PARAMETER},
      {"AddPortExW, 32767 characters (registry refuses)", [&] { return addName(long32767); }, ERROR_INVALID_PARAMETER},
      {"AddPortExW, unreadable printer name", [&] { return addWithData(noAccess); }, ERROR_INVALID_PARAMETER},
      {"AddPortExW, unterminated printer name", [&] { return addWithData(unterminated); }, ERROR_INVALID_PARAMETER},
      // Buffers and counts of EnumPortsW.
      {"EnumPortsW, read-only buffer", [&] { return enumerate(ReadOnly.Bytes(), 4096, &needed, &returned); }, ERROR_INVALID_PARAMETER},
      {"EnumPortsW, size 0xFFFFFFF0 for 64 bytes", [&] { return enumerate(small, 0xfffffff0, &needed, &returned); }, ERROR_INVALID_PARAMETER},
      {"EnumPortsW, size 0x80000000 for 64 bytes", [&] { return enumerate(small, 0x80000000, &needed, &returned); }, ERROR_INVALID_PARAMETER},
      {"EnumPortsW, read-only needed count", [&] { return enumerate(small, sizeof small, readOnlyCount, &returned); }, ERROR_INVALID_PARAMETER},
      {"EnumPortsW, unreadable returned count", [&] { return enumerate(small, sizeof small, &needed, noAccessCount); }, ERROR_INVALID_PARAMETER},
      // The job's printer name and document record of StartDocPort.
      {"StartDocPort, unreadable printer name", [&] { return startWith(plain, noAccess, 1, job.DocInfo()); }, ERROR_INVALID_PARAMETER},
      {"StartDocPort, unterminated printer name", [&] { return startWith(plain, unterminated, 1, job.DocInfo()); }, ERROR_INVALID_PARAMETER},
      {"StartDocPort, null printer name, no printer on the port", [&] { return startWith(plain, nullptr, 1, job.DocInfo()); }, ERROR_INVALID_PRINTER_NAME},
      {"StartDocPort, 32767-character printer name", [&] { return startWith(plain, long32767, 1, job.DocInfo()); }, ERROR_INVALID_PRINTER_NAME},
      {"StartDocPort passing through, null record", [&] { return startWith(pass, job.PrinterName(), 1, nullptr); }, ERROR_INVALID_PARAMETER},
      {"StartDocPort passing through, unreadable record", [&] { return startWith(pass, job.PrinterName(), 1, NoAccess.Bytes()); }, ERROR_INVALID_PARAMETER},
      {"StartDocPort passing through, unreadable level-2 record", [&] { return startWith(pass, job.PrinterName(), 2, NoAccess.Bytes()); }, ERROR_INVALID_PARAMETER},
      {"StartDocPort passing through, unreadable document name", [&] { return startWithDocument(noAccess, nullptr); }, ERROR_INVALID_PARAMETER},
      {"StartDocPort passing through, unterminated data type", [&] { return startWithDocument(nullptr, unterminated); }, ERROR_INVALID_PARAMETER},
      {"StartDocPort passing through, level 4", [&] { return startWith(pass, job.PrinterName(), 4, NoAccess.Bytes()); }, ERROR_INVALID_LEVEL},
  };
  size_t tried = Run(rows);

  // Nothing changed: the same ports and keys, none of them open.
  EXPECT_EQ(ports, PortNames());
  EXPECT_EQ(keys, Subkeys(HKEY_LOCAL_MACHINE, Root.Path()));
  HANDLE port = Open(closedPort);
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));

  // Sizes near 2^32 in a job: refused, and none of it counted.
  SetLastError(kSentinel);
  ASSERT_TRUE(Module->StartDocPort(plain, job.PrinterName(), job.Id(), 1, job.DocInfo()))
      << "error " << GetLastError();
  const std::string good = "counted";
  DWORD written = 0;
  const std::vector<Row> writes = {
      {"WritePort, 0xFFFFFFF0 bytes of 64", [&] { return dll.WritePort(plain, small, 0xfffffff0, &written); }, ERROR_INVALID_PARAMETER},
      {"WritePort, 0x80000000 bytes of 64", [&] { return dll.WritePort(plain, small, 0x80000000, &written); }, ERROR_INVALID_PARAMETER},
      {"WritePort, uncommitted buffer", [&] { return dll.WritePort(plain, reinterpret_cast<LPBYTE>(Reserved), 4, &written); }, ERROR_INVALID_PARAMETER},
  };
  tried += Run(writes);
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->WritePort(plain, Bytes(good), static_cast<DWORD>(good.size()), &written));
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->EndDocPort(plain)) << "error " << GetLastError();
  EXPECT_EQ(std::optional<DWORD>(ExpectedChecksum({good})), ReadRecord(kJobPrinter.Name, kDocument));

  for (HANDLE open : {plain, pass}) {
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->ClosePort(open));
  }
  std::printf("hostile: %zu bad inputs to OpenPort, DeletePortW, ConfigurePortW, AddPortExW, "
              "EnumPortsW, StartDocPort and WritePort refused with their codes\n", tried);
}

// Limits that are not faults: the longest name the registry stores, and a
// document record the port can read but not write.
TEST_F(HostileInput, LongestStorableNameAndReadOnlyRecordWork) {
  Initialize();
  std::wstring longest(255, L'L');
  PORT_INFO_1W record = {longest.data()};
  SetLastError(kSentinel);
  ASSERT_TRUE(Module->AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&record), nullptr))
      << "error " << GetLastError();
  EXPECT_EQ(Names{longest}, PortNames());
  HANDLE port = Open(longest.c_str());
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->DeletePortW(nullptr, nullptr, longest.data())) << "error " << GetLastError();

  std::wstring target = kPassTargetPrinter.Name;
  PortRecordFF passRecord = {const_cast<LPWSTR>(L"PT:"), static_cast<DWORD>((target.size() + 1) * 2),
                             reinterpret_cast<LPBYTE>(target.data())};
  ASSERT_TRUE(Module->AddPortExW(nullptr, kLevelFF, reinterpret_cast<LPBYTE>(&passRecord), nullptr));
  std::wstring output = PrinterOutputFile(kPassTargetPrinter.Name);
  DeleteFileW(output.c_str());
  port = Open(L"PT:");
  {
    RealJob job(kJobPrinter.Name, kDocument);
    ASSERT_TRUE(job.Started()) << "error " << job.Error();
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(ReadOnly.Bytes(), 4096, PAGE_READWRITE, &old));
    std::memcpy(ReadOnly.Bytes(), job.DocInfo(), sizeof(DOC_INFO_1W));
    ASSERT_TRUE(VirtualProtect(ReadOnly.Bytes(), 4096, PAGE_READONLY, &old));
    SetLastError(kSentinel);
    ASSERT_TRUE(Module->StartDocPort(port, job.PrinterName(), job.Id(), 1, ReadOnly.Bytes()))
        << "error " << GetLastError();
    const std::string data = "through a read-only record\n";
    DWORD written = 0;
    EXPECT_TRUE(Module->WritePort(port, Bytes(data), static_cast<DWORD>(data.size()), &written));
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->EndDocPort(port)) << "error " << GetLastError();
    EXPECT_EQ(std::optional<std::string>(data), ReadFileBytes(output));
  }
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
}

}  // namespace
}  // namespace vt
