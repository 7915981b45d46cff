// The installed monitor administered through Wine's spooler: AddMonitorW,
// AddPortExW, XcvDataW, EnumPortsW, and vardlet-spool install / uninstall.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "memory_pages.h"
#include "printers.h"
#include "registry.h"
#include "spooler.h"
#include "xcvcommands.h"

namespace vt {
namespace {

class SpoolerAdminTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(InstallSpoolerMonitor(), ""); }
  void SetUp() override {
    Xcv monitor(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER);
    for (const wchar_t* port : {L"ADM1:", L"ADM2:"}) monitor.Name(VARDLET_XCV_DELETE_PORT, port);
  }
};

long Listed(const wchar_t* port) {
  const std::vector<std::wstring> ports = SpoolerPorts();
  return static_cast<long>(std::count(ports.begin(), ports.end(), port));
}

// Each way in reaches the monitor: AddPortExW and the Xcv commands, and the
// ports are listed under the monitor's name. (MonitorUI is asked by the
// spooler for every dialog of monitor_ui_test.)
TEST_F(SpoolerAdminTest, EveryCommandReachesTheMonitor) {
  Xcv monitor(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER);
  ASSERT_TRUE(monitor.IsOpen()) << monitor.OpenError();
  PORT_INFO_1W info = {const_cast<LPWSTR>(L"ADM1:")};
  SetLastError(0xdeadbeef);
  ASSERT_TRUE(AddPortExW(nullptr, 1, reinterpret_cast<BYTE*>(&info), const_cast<LPWSTR>(VARDLET_MONITOR_NAME)))
      << GetLastError();
  EXPECT_EQ(monitor.Name(VARDLET_XCV_ADD_PORT, L"ADM2:"), 0u);
  for (const wchar_t* port : {L"ADM1:", L"ADM2:"}) {
    SCOPED_TRACE(testing::Message() << port);
    DWORD exists = 7;
    EXPECT_EQ(1L, Listed(port));
    EXPECT_EQ(monitor.Data(VARDLET_XCV_PORT_EXISTS, port, 12, &exists, sizeof exists), 0u);
    EXPECT_EQ(exists, 1u);
    EXPECT_EQ(monitor.Name(VARDLET_XCV_DELETE_PORT, port), 0u);
    EXPECT_EQ(monitor.Data(VARDLET_XCV_PORT_EXISTS, port, 12, &exists, sizeof exists), 0u);
    EXPECT_EQ(exists, 0u);
    EXPECT_EQ(0L, Listed(port));
  }

  // Settings set and read back without a dialog; "Print To" is kept while off.
  ASSERT_EQ(monitor.Name(VARDLET_XCV_ADD_PORT, L"ADM1:"), 0u);
  Xcv port(L"XcvPort ADM1:", SERVER_ACCESS_ADMINISTER);
  const std::pair<DWORD, std::wstring> settings[] = {
      {1, L"Pass Target"}, {0, L"Kept While Off"}, {0, L""}, {1, L"Laser 2"}};
  for (const auto& [print, printTo] : settings) {
    std::pair<DWORD, std::wstring> readBack = {9, L""};
    EXPECT_EQ(port.SetSettings(print, printTo), 0u);
    EXPECT_EQ(port.GetSettings(&readBack.first, &readBack.second), 0u);
    EXPECT_EQ(std::make_pair(print, printTo), readBack);
  }
}

// One row per refusal, through winspool and (for what the spooler itself
// would never pass on) straight to the modern entry: each comes back as the
// monitor's own code, and nothing is stored. (vardlet.dll's own refusals,
// which the entry passes on, are refusals_test's.)
TEST_F(SpoolerAdminTest, RefusalsComeBackAsTheMonitorsOwnCodes) {
  Xcv monitor(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER);
  ASSERT_EQ(monitor.Name(VARDLET_XCV_ADD_PORT, L"ADM1:"), 0u);
  Xcv reader(L"XcvMonitor Vardlet", SERVER_READ), adminPort(L"XcvPort ADM1:", SERVER_ACCESS_ADMINISTER),
      readerPort(L"XcvPort ADM1:", SERVER_READ);
  // Wine opens ",XcvPort" only on a port some monitor lists: one deleted since.
  ASSERT_EQ(monitor.Name(VARDLET_XCV_ADD_PORT, L"ADM2:"), 0u);
  Xcv deletedPort(L"XcvPort ADM2:", SERVER_ACCESS_ADMINISTER);
  ASSERT_EQ(monitor.Name(VARDLET_XCV_DELETE_PORT, L"ADM2:"), 0u);
  // An open port (a printer handle on it keeps it open) cannot be changed.
  HANDLE open = nullptr;
  ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(L"ADM1:, Port"), &open, nullptr)) << GetLastError();
  const std::vector<std::wstring> keys = Subkeys(kSpoolerPortsKey);

  LoadedEntry entry;
  ASSERT_NE(nullptr, entry.Table);
  const MONITOR2& m = *entry.Table;
  HANDLE admin = entry.OpenXcv(VARDLET_MONITOR_NAME, SERVER_ACCESS_ADMINISTER);
  HANDLE port = entry.OpenXcv(L"ADM1:", SERVER_ACCESS_ADMINISTER);
  ProtectedPage noAccess(PAGE_NOACCESS), readOnly(PAGE_READONLY);
  const wchar_t unterminated[2] = {L'A', L'B'};
  const BYTE badPrint[] = {2, 0, 0, 0, 0, 0}, settings[10] = {1, 0, 0, 0, 'P', 0, 0, 0};
  PORT_INFO_1W dup = {const_cast<LPWSTR>(L"ADM1:")};
  HANDLE bogus = reinterpret_cast<HANDLE>(0x1234), h = nullptr;
  BYTE out[64];
  DWORD needed = 0, n = 0, c = 0;
  // Through winspool; an answer too big for the room given must say so.
  auto data = [&](Xcv& on, const wchar_t* command, const void* in, DWORD cbIn, DWORD cbOut = 0) {
    needed = 0xdeadbeef;
    DWORD code = on.Data(command, in, cbIn, cbOut ? out : nullptr, cbOut, &needed);
    return code == ERROR_INSUFFICIENT_BUFFER && needed <= cbOut ? 0xBADu : code;
  };
  auto xcv = [&](HANDLE handle, const wchar_t* command, const void* in, DWORD cbIn, void* output = nullptr,
                 DWORD cbOut = 0) {
    return m.pfnXcvDataPort(handle, command, (PBYTE)in, cbIn, (PBYTE)output, cbOut, &needed);
  };
  auto failed = [](BOOL ok) { return ok ? 0u : GetLastError(); };
  // clang-format off
  std::vector<std::tuple<std::string, std::function<DWORD()>, DWORD>> rows = {
    {"AddPortExW, a duplicate", [&] { return failed(AddPortExW(nullptr, 1, (LPBYTE)&dup, const_cast<LPWSTR>(VARDLET_MONITOR_NAME))); }, ERROR_ALREADY_EXISTS},
    {"settings of a deleted port", [&] { return data(deletedPort, VARDLET_XCV_GET_PORT_SETTINGS, nullptr, 0, 64); }, ERROR_UNKNOWN_PORT},
    {"settings of a port in use", [&] { return data(adminPort, VARDLET_XCV_SET_PORT_SETTINGS, L"\0\0", 6); }, ERROR_BUSY},
    {"name without its terminator", [&] { return data(monitor, VARDLET_XCV_ADD_PORT, unterminated, 4); }, ERROR_INVALID_PARAMETER},
    {"Print neither 0 nor 1", [&] { return data(adminPort, VARDLET_XCV_SET_PORT_SETTINGS, badPrint, 6); }, ERROR_INVALID_PARAMETER},
    {"port command on the monitor", [&] { return data(monitor, VARDLET_XCV_GET_PORT_SETTINGS, nullptr, 0, 64); }, ERROR_INVALID_PARAMETER},
    {"unknown command", [&] { return data(monitor, L"Frobnicate", nullptr, 0); }, ERROR_INVALID_PARAMETER},
    {"settings into 5 bytes", [&] { return data(adminPort, VARDLET_XCV_GET_PORT_SETTINGS, nullptr, 0, 5); }, ERROR_INSUFFICIENT_BUFFER},
    {"read-only AddPort", [&] { return data(reader, VARDLET_XCV_ADD_PORT, L"ADM2:", 12); }, ERROR_ACCESS_DENIED},
    {"read-only DeletePort", [&] { return data(reader, VARDLET_XCV_DELETE_PORT, L"ADM1:", 12); }, ERROR_ACCESS_DENIED},
    {"read-only SetPortSettings", [&] { return data(readerPort, VARDLET_XCV_SET_PORT_SETTINGS, L"\0\0", 6); }, ERROR_ACCESS_DENIED},
    {"read-only PortExists is allowed", [&] { return data(reader, VARDLET_XCV_PORT_EXISTS, L"ADM1:", 12, 4); }, 0},
    {"read-only GetPortSettings is allowed", [&] { return data(readerPort, VARDLET_XCV_GET_PORT_SETTINGS, nullptr, 0, 64); }, 0},
    {"entry: null command", [&] { return xcv(admin, nullptr, nullptr, 0); }, ERROR_INVALID_PARAMETER},
    {"entry: command in no-access memory", [&] { return xcv(admin, noAccess.As<wchar_t>(), nullptr, 0); }, ERROR_INVALID_PARAMETER},
    {"entry: not an Xcv handle", [&] { return xcv(bogus, VARDLET_XCV_MONITOR_UI, nullptr, 0, out, sizeof out); }, ERROR_INVALID_HANDLE},
    {"entry: AddPort, unreadable", [&] { return xcv(admin, VARDLET_XCV_ADD_PORT, noAccess.Bytes(), 8); }, ERROR_INVALID_PARAMETER},
    {"entry: PortExists, read-only output", [&] { return xcv(admin, VARDLET_XCV_PORT_EXISTS, L"ADM1:", 12, readOnly.Bytes(), 4); }, ERROR_INVALID_PARAMETER},
    {"entry: SetPortSettings, 3 bytes", [&] { return xcv(port, VARDLET_XCV_SET_PORT_SETTINGS, settings, 3); }, ERROR_INVALID_PARAMETER},
    {"entry: SetPortSettings, unterminated", [&] { return xcv(port, VARDLET_XCV_SET_PORT_SETTINGS, settings, 6); }, ERROR_INVALID_PARAMETER},
    {"entry: XcvOpenPort, unreadable object", [&] { return failed(m.pfnXcvOpenPort(entry.Monitor, noAccess.As<wchar_t>(), 0, &h)); }, ERROR_INVALID_PARAMETER},
    {"entry: XcvClosePort, not a handle", [&] { return failed(m.pfnXcvClosePort(bogus)); }, ERROR_INVALID_HANDLE},
    {"entry: OpenPort, bad monitor", [&] { return failed(m.pfnOpenPort(bogus, const_cast<LPWSTR>(L"ADM1:"), &h)); }, ERROR_INVALID_HANDLE},
    {"entry: EnumPorts level 2 into read-only memory", [&] { return failed(m.pfnEnumPorts(entry.Monitor, nullptr, 2, readOnly.Bytes(), 4096, &n, &c)); }, ERROR_INVALID_PARAMETER},
    {"entry: WritePort, not a port", [&] { return failed(m.pfnWritePort(bogus, out, 4, &n)); }, ERROR_INVALID_HANDLE},
  };
  // clang-format on
  for (const auto& [name, call, code] : rows) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(code, call()) << name;
  }
  EXPECT_EQ(keys, Subkeys(kSpoolerPortsKey));
  EXPECT_EQ(std::optional<DWORD>(0), ReadDword(kSpoolerPortsKey + L"\\ADM1:", L"Print"));
  for (HANDLE handle : {admin, port}) EXPECT_TRUE(m.pfnXcvClosePort(handle));
  ClosePrinter(open);
}

// vardlet-spool install / uninstall, as a user runs them.
TEST_F(SpoolerAdminTest, InstallAndUninstallWithTheHost) {
  std::string output;
  ASSERT_EQ(RunTool(L"vardlet-spool.exe --quiet install", &output), 0) << output;
  ASSERT_EQ(Xcv(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER).Name(VARDLET_XCV_ADD_PORT, L"ADM1:"), 0u);
  {
    ScratchPrinter printer(L"Vardlet Uninstall Test", L"ADM1:");
    ASSERT_TRUE(printer.Ok());
    output.clear();
    EXPECT_EQ(RunTool(L"vardlet-spool.exe --quiet uninstall", &output), 1);
    EXPECT_NE(output.find("printer \"Vardlet Uninstall Test\" prints to the vardlet port ADM1:"),
              std::string::npos) << output;
  }
  output.clear();
  EXPECT_EQ(RunTool(L"vardlet-spool.exe --quiet uninstall", &output), 0) << output;
  // Wine keeps a monitor that one of its handles still uses loaded in the
  // process, so ask the registry whether it is gone.
  EXPECT_FALSE(KeyExists(L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet"));
  EXPECT_EQ(InstallSpoolerMonitor(), "");
}

}  // namespace
}  // namespace vt
