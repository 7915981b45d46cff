// Every export handed what no spooler should hand it: port handles that are
// no port, names, records and buffers that cannot be read, count pointers
// that cannot be written, sizes near 2^32, levels nobody uses, names the
// registry cannot store, unknown, busy and duplicate ports. One table: each
// row fails with its code and writes none of the caller's outputs; a crash
// ends the program. Afterwards nothing has changed, and a job whose refused
// writes came between its good ones records only the good ones.

#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

#include "memory_pages.h"
#include "monitor_fixture.h"

namespace vt {
namespace {

const DWORD kUntouched = 0x5a5a5a5a;
const HANDLE kUntouchedHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(kUntouched));
const wchar_t kDocument[] = L"vt-refusals document";

struct Row {
  std::string What;
  std::function<BOOL()> Call;
  DWORD Error;
  bool WritesCounts = false;  // EnumPortsW reports sizes even when it refuses
};

using Refusals = MonitorTest;

TEST_F(Refusals, EveryExportRefusesWhatItCannotUse) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPassThroughKey(L"PT:", kPassTargetPrinter.Name));
  Initialize({L"VT1:", L"VT2:", L"CS:", L"GONE:"});
  // A port handle of a deleted port.
  HANDLE deleted = Open(L"GONE:");
  ASSERT_TRUE(Module->ClosePort(deleted));
  ASSERT_TRUE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"GONE:")));
  HANDLE plain = Open(L"VT1:"), pass = Open(L"PT:"), job = Open(L"CS:");
  ForgetRecord(kJobPrinter.Name, kDocument);
  RealJob realJob(kJobPrinter.Name, kDocument);
  ASSERT_TRUE(realJob.Started()) << realJob.Error();
  ASSERT_TRUE(Module->StartDocPort(job, realJob.PrinterName(), realJob.Id(), 1, realJob.DocInfo()));
  ASSERT_TRUE(Module->WritePort(job, Bytes("a"), 1, nullptr)) << "a null count pointer is allowed";
  const Names ports = PortNames();
  const Names keys = Subkeys(Root.Path());

  ProtectedPage noAccessPage(PAGE_NOACCESS), readOnlyPage(PAGE_READONLY);
  EdgePage edge;
  ASSERT_TRUE(noAccessPage.Ok() && readOnlyPage.Ok() && edge.Ok());
  const VardletExports& dll = Module.Get();
  LPWSTR noAccess = noAccessPage.As<wchar_t>(), unterminated = edge.Unterminated();
  std::wstring long300(300, L'n'), long32767(32767, L'n');
  LPDWORD readOnlyCount = readOnlyPage.As<DWORD>(), noAccessCount = noAccessPage.As<DWORD>();
  // A count whose last two bytes lie in reserved memory.
  LPDWORD straddling = reinterpret_cast<LPDWORD>(edge.End() - 2);
  // Outputs every row must leave as they are.
  HANDLE handleOut = kUntouchedHandle;
  DWORD count = kUntouched, needed = kUntouched, returned = kUntouched;
  BYTE small[64];

  auto add = [&](DWORD level, const wchar_t* name, const void* printer = nullptr) {
    PortRecordFF record = {const_cast<LPWSTR>(name), printer ? 64u : 0u,
                           static_cast<LPBYTE>(const_cast<void*>(printer))};
    return dll.AddPortExW(nullptr, level, reinterpret_cast<LPBYTE>(&record), nullptr);
  };
  auto startWith = [&](HANDLE port, LPWSTR printer, DWORD level, LPBYTE record) {
    return dll.StartDocPort(port, printer, realJob.Id(), level, record);
  };
  auto enumerate = [&](DWORD level, LPBYTE buffer, DWORD size, LPDWORD n, LPDWORD r) {
    return dll.EnumPortsW(nullptr, level, buffer, size, n, r);
  };

  // clang-format off
  std::vector<Row> rows = {
    {"InitializeMonitor, null root", [&] { return dll.InitializeMonitor(nullptr); }, ERROR_INVALID_PARAMETER},
    {"InitializeMonitor, empty root", [&] { return dll.InitializeMonitor(const_cast<LPWSTR>(L"")); }, ERROR_INVALID_PARAMETER},
    {"OpenPort, null handle pointer", [&] { return dll.OpenPort(const_cast<LPWSTR>(L"VT2:"), nullptr); }, ERROR_INVALID_PARAMETER},
    {"OpenPort, read-only handle pointer", [&] { return dll.OpenPort(const_cast<LPWSTR>(L"VT2:"), readOnlyPage.As<HANDLE>()); }, ERROR_INVALID_PARAMETER},
    {"OpenPort, port in use", [&] { return dll.OpenPort(const_cast<LPWSTR>(L"vt1:"), &handleOut); }, ERROR_BUSY},
    {"DeletePortW, port in use", [&] { return dll.DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"vt1:")); }, ERROR_BUSY},
    {"AddPortW, a server name", [&] { return dll.AddPortW(const_cast<LPWSTR>(L"\\\\server"), nullptr, nullptr); }, ERROR_INVALID_PARAMETER},
    {"AddPortExW, record in uncommitted memory", [&] { return dll.AddPortExW(nullptr, 1, edge.End(), nullptr); }, ERROR_INVALID_PARAMETER},
    {"AddPortExW, 300 characters", [&] { return add(1, long300.c_str()); }, ERROR_INVALID_PARAMETER},
    {"AddPortExW, unterminated printer name", [&] { return add(kLevelFF, L"NEW:", unterminated); }, ERROR_INVALID_PARAMETER},
    {"EnumPortsW, size query", [&] { return enumerate(1, nullptr, 0, &needed, &returned); }, ERROR_INSUFFICIENT_BUFFER, true},
    {"EnumPortsW, null buffer with room claimed", [&] { return enumerate(1, nullptr, 4096, &needed, &returned); }, ERROR_INVALID_PARAMETER, true},
    {"EnumPortsW, read-only buffer", [&] { return enumerate(1, readOnlyPage.Bytes(), 4096, &needed, &returned); }, ERROR_INVALID_PARAMETER, true},
    {"EnumPortsW, unreadable returned count", [&] { return enumerate(1, small, sizeof small, &needed, noAccessCount); }, ERROR_INVALID_PARAMETER},
    {"StartDocPort, null printer name, no printer on the port", [&] { return startWith(plain, nullptr, 1, realJob.DocInfo()); }, ERROR_INVALID_PRINTER_NAME},
    {"StartDocPort, missing printer", [&] { return startWith(plain, const_cast<LPWSTR>(kMissingPrinter), 1, nullptr); }, ERROR_INVALID_PRINTER_NAME},
    {"StartDocPort passing through, null record", [&] { return startWith(pass, realJob.PrinterName(), 1, nullptr); }, ERROR_INVALID_PARAMETER},
    {"StartDocPort passing through, unreadable record", [&] { return startWith(pass, realJob.PrinterName(), 1, noAccessPage.Bytes()); }, ERROR_INVALID_PARAMETER},
    {"StartDocPort passing through, level 4", [&] { return startWith(pass, realJob.PrinterName(), 4, noAccessPage.Bytes()); }, ERROR_INVALID_LEVEL},
    {"WritePort, null buffer", [&] { return dll.WritePort(job, nullptr, 3, &count); }, ERROR_INVALID_PARAMETER},
    {"WritePort, buffer running into reserved memory", [&] { return dll.WritePort(job, edge.End() - 3, 6, &count); }, ERROR_INVALID_PARAMETER},
    {"WritePort, 0xFFFFFFF0 bytes of 64", [&] { return dll.WritePort(job, small, 0xfffffff0, &count); }, ERROR_INVALID_PARAMETER},
    {"ReadPort, null count", [&] { return dll.ReadPort(plain, small, sizeof small, nullptr); }, ERROR_INVALID_PARAMETER},
  };
  // Texts that cannot be read, that never end, or that run into memory that
  // was never committed.
  for (LPWSTR text : {noAccess, unterminated, reinterpret_cast<LPWSTR>(edge.End())}) {
    std::string at = " at " + std::to_string(reinterpret_cast<ULONG_PTR>(text));
    rows.push_back({"InitializeMonitor, root" + at, [&, text] { return dll.InitializeMonitor(text); }, ERROR_INVALID_PARAMETER});
    rows.push_back({"OpenPort, name" + at, [&, text] { return dll.OpenPort(text, &handleOut); }, ERROR_INVALID_PARAMETER});
    rows.push_back({"DeletePortW, name" + at, [&, text] { return dll.DeletePortW(nullptr, nullptr, text); }, ERROR_INVALID_PARAMETER});
    rows.push_back({"ConfigurePortW, name" + at, [&, text] { return dll.ConfigurePortW(nullptr, nullptr, text); }, ERROR_INVALID_PARAMETER});
    rows.push_back({"StartDocPort, printer name" + at, [&, text] { return startWith(plain, text, 1, realJob.DocInfo()); }, ERROR_INVALID_PARAMETER});
  }
  for (DWORD level : {0u, 2u, 3u, 0xfffffffeu})
    rows.push_back({"AddPortExW and EnumPortsW, level " + std::to_string(level), [&, level] { return add(level, L"NEW:") || enumerate(level, small, sizeof small, &needed, &returned); }, ERROR_INVALID_LEVEL});
  for (DWORD level : {DWORD{1}, kLevelFF}) {
    std::string at = ", level " + std::to_string(static_cast<int>(level));
    rows.push_back({"AddPortExW, null record" + at, [&, level] { return dll.AddPortExW(nullptr, level, nullptr, nullptr); }, ERROR_INVALID_PARAMETER});
    rows.push_back({"AddPortExW, unterminated name" + at, [&, level] { return add(level, unterminated); }, ERROR_INVALID_PARAMETER});
    // Empty and missing names would address the root key itself; commas
    // cannot be stored (they stand for backslashes), even when that key exists.
    for (const wchar_t* name : {L"", static_cast<const wchar_t*>(nullptr), L"a,b", L"trailing,", L"VT1,"})
      rows.push_back({"AddPortExW, invalid name" + at, [&, level, name] { return add(level, name, level == 1 ? nullptr : kPassTargetPrinter.Name); }, ERROR_INVALID_NAME});
    for (const wchar_t* name : {L"vt1:", L"Vt2:", L"pt:"})
      rows.push_back({"AddPortExW, a name that differs only in case" + at, [&, level, name] { return add(level, name, level == 1 ? nullptr : kPassTargetPrinter.Name); }, ERROR_ALREADY_EXISTS});
  }
  for (const wchar_t* name : {L"No Such Port", L"VT2: ", L"VT", L"", static_cast<const wchar_t*>(nullptr), long300.c_str(), long32767.c_str()}) {
    LPWSTR text = const_cast<LPWSTR>(name);
    rows.push_back({"OpenPort, unknown name", [&, text] { return dll.OpenPort(text, &handleOut); }, ERROR_UNKNOWN_PORT});
    rows.push_back({"DeletePortW, unknown name", [&, text] { return dll.DeletePortW(nullptr, nullptr, text); }, ERROR_UNKNOWN_PORT});
    rows.push_back({"ConfigurePortW, unknown name", [&, text] { return dll.ConfigurePortW(nullptr, nullptr, text); }, ERROR_UNKNOWN_PORT});
  }
  for (LPDWORD bad : {noAccessCount, readOnlyCount, straddling}) {
    rows.push_back({"WritePort, count that cannot be written", [&, bad] { return dll.WritePort(job, Bytes("abcd"), 4, bad); }, ERROR_INVALID_PARAMETER});
    rows.push_back({"ReadPort, count that cannot be written", [&, bad] { return dll.ReadPort(plain, small, sizeof small, bad); }, ERROR_INVALID_PARAMETER});
  }
  // Port handles that are no live port: nothing there, a page that cannot be
  // read, readable garbage, a kernel handle, a deleted port.
  std::vector<BYTE> zeros(256, 0), pattern(256, 0xcc);
  const std::vector<HANDLE> badHandles = {
      nullptr, reinterpret_cast<HANDLE>(1), reinterpret_cast<HANDLE>(0xfffc), noAccessPage.Bytes(),
      noAccessPage.Bytes() + 100, ReleasedAddress(), reinterpret_cast<HANDLE>(~static_cast<ULONG_PTR>(7)),
      zeros.data(), pattern.data(), GetCurrentProcess(), deleted};
  for (HANDLE bad : badHandles) {
    std::string at = " of handle " + std::to_string(reinterpret_cast<ULONG_PTR>(bad));
    rows.push_back({"WritePort" + at, [&, bad] { return dll.WritePort(bad, small, sizeof small, &count); }, ERROR_INVALID_HANDLE});
    rows.push_back({"ReadPort" + at, [&, bad] { return dll.ReadPort(bad, small, sizeof small, &count); }, ERROR_INVALID_HANDLE});
    rows.push_back({"StartDocPort" + at, [&, bad] { return dll.StartDocPort(bad, realJob.PrinterName(), realJob.Id(), 1, realJob.DocInfo()); }, ERROR_INVALID_HANDLE});
    rows.push_back({"EndDocPort" + at, [&, bad] { return dll.EndDocPort(bad); }, ERROR_INVALID_HANDLE});
    rows.push_back({"ClosePort" + at, [&, bad] { return dll.ClosePort(bad); }, ERROR_INVALID_HANDLE});
  }
  // clang-format on

  for (const Row& row : rows) {
    SCOPED_TRACE(row.What);
    handleOut = kUntouchedHandle;
    count = needed = returned = kUntouched;
    std::memset(small, 0xa5, sizeof small);
    SetLastError(kSentinel);
    EXPECT_FALSE(row.Call());
    EXPECT_EQ(std::make_tuple(row.Error, kUntouchedHandle, kUntouched),
              std::make_tuple(GetLastError(), handleOut, count));
    EXPECT_EQ(std::vector<BYTE>(sizeof small, 0xa5), std::vector<BYTE>(small, small + sizeof small));
    EXPECT_TRUE(row.WritesCounts || (needed == kUntouched && returned == kUntouched));
  }
  EXPECT_EQ(L'x', *reinterpret_cast<wchar_t*>(edge.End() - 2)) << "half a count stored";

  // Nothing changed: the same ports and keys, none of them left open, and the
  // job sees only its good writes.
  EXPECT_EQ(ports, PortNames());
  EXPECT_EQ(keys, Subkeys(Root.Path()));
  EXPECT_TRUE(Module->ClosePort(Open(L"VT2:")));
  // On another thread: the refused writes left the port's lock free.
  auto done = std::make_shared<std::atomic<DWORD>>(0);
  std::thread([done, write = dll.WritePort, job] {
    DWORD count = 0;
    *done = write(job, Bytes("bc"), 2, &count) ? count : 1;
  }).detach();
  for (int i = 0; i < 1000 && !*done; ++i) Sleep(10);
  ASSERT_EQ(2u, done->load()) << "a write on another thread still waits for the port, or failed";
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->EndDocPort(job)) << GetLastError();
  EXPECT_EQ(std::optional<DWORD>(ExpectedChecksum({"abc"})), ReadRecord(kJobPrinter.Name, kDocument));
  for (HANDLE port : {plain, pass, job}) EXPECT_TRUE(Module->ClosePort(port));
}

}  // namespace
}  // namespace vt
