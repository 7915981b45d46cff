// The installed monitor administered through Wine's spooler: AddMonitorW,
// AddPortExW, XcvDataW, EnumPortsW, and vardlet-spool install / uninstall.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include "memory_pages.h"

#include "printers.h"
#include "registry.h"
#include "spooler.h"
#include "xcvcommands.h"


namespace {

const std::wstring kPortsKey = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet\\Ports";

class SpoolerAdminTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(vt::InstallSpoolerMonitor(), ""); }
  void SetUp() override {
    vt::Xcv monitor(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER);
    for (const wchar_t* port : {L"ADM1:", L"ADM2:", L"ADM3:"}) monitor.Name(VARDLET_XCV_DELETE_PORT, port);
  }
};

bool Listed(DWORD level, const std::wstring& port) {
  std::vector<std::wstring> ports = vt::SpoolerPorts(level);
  return std::find(ports.begin(), ports.end(), port) != ports.end();
}

TEST_F(SpoolerAdminTest, PortsAddedByBothWaysAreListedAtBothLevelsAndDeleted) {
  PORT_INFO_1W info = {const_cast<LPWSTR>(L"ADM1:")};
  SetLastError(0xdeadbeef);
  ASSERT_TRUE(AddPortExW(nullptr, 1, reinterpret_cast<BYTE*>(&info), const_cast<LPWSTR>(VARDLET_MONITOR_NAME)))
      << GetLastError();
  vt::Xcv monitor(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER);
  ASSERT_TRUE(monitor.IsOpen()) << monitor.OpenError();
  EXPECT_EQ(monitor.Name(VARDLET_XCV_ADD_PORT, L"ADM2:"), 0u);

  for (const wchar_t* port : {L"ADM1:", L"ADM2:"}) {
    EXPECT_TRUE(Listed(1, port)) << port;
    EXPECT_TRUE(Listed(2, port)) << port;
    DWORD exists = 7;
    EXPECT_EQ(monitor.Data(VARDLET_XCV_PORT_EXISTS, port, 12, &exists, sizeof exists), 0u);
    EXPECT_EQ(exists, 1u) << port;
    EXPECT_EQ(monitor.Name(VARDLET_XCV_DELETE_PORT, port), 0u);
    EXPECT_FALSE(Listed(1, port)) << port;
    EXPECT_EQ(monitor.Data(VARDLET_XCV_PORT_EXISTS, port, 12, &exists, sizeof exists), 0u);
    EXPECT_EQ(exists, 0u) << port;
  }

  wchar_t ui[64] = {};
  DWORD needed = 0;
  EXPECT_EQ(monitor.Data(VARDLET_XCV_MONITOR_UI, nullptr, 0, ui, sizeof ui, &needed), 0u);
  EXPECT_STREQ(ui, VARDLET_MONITOR_UI_DLL);
  EXPECT_EQ(needed, sizeof VARDLET_MONITOR_UI_DLL);
}

TEST_F(SpoolerAdminTest, SettingsSetWithoutDialogReadBack) {
  vt::Xcv monitor(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER);
  ASSERT_EQ(monitor.Name(VARDLET_XCV_ADD_PORT, L"ADM3:"), 0u);
  vt::Xcv port(L"XcvPort ADM3:", SERVER_ACCESS_ADMINISTER);
  struct Case {
    DWORD print;
    std::wstring printTo;
  } cases[] = {{1, L"Pass Target"}, {0, L"Kept While Off"}, {0, L""}, {1, L"Laser 2"}};
  for (const Case& c : cases) {
    EXPECT_EQ(port.SetSettings(c.print, c.printTo), 0u) << c.print;
    DWORD print = 9;
    std::wstring printTo;
    EXPECT_EQ(port.GetSettings(&print, &printTo), 0u);
    EXPECT_EQ(print, c.print);
    EXPECT_EQ(printTo, c.printTo);
  }
}

// One row per refusal: the command, on which handle, with what, and the code.
TEST_F(SpoolerAdminTest, RefusalsComeBackAsTheMonitorsOwnCodes) {
  vt::Xcv admin(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER);
  vt::Xcv reader(L"XcvMonitor Vardlet", SERVER_READ);
  ASSERT_EQ(admin.Name(VARDLET_XCV_ADD_PORT, L"ADM1:"), 0u);
  vt::Xcv adminPort(L"XcvPort ADM1:", SERVER_ACCESS_ADMINISTER);
  vt::Xcv readerPort(L"XcvPort ADM1:", SERVER_READ);
  // Wine opens ",XcvPort" only on a port some monitor lists: one deleted since.
  ASSERT_EQ(admin.Name(VARDLET_XCV_ADD_PORT, L"ADM2:"), 0u);
  vt::Xcv deletedPort(L"XcvPort ADM2:", SERVER_ACCESS_ADMINISTER);
  ASSERT_EQ(admin.Name(VARDLET_XCV_DELETE_PORT, L"ADM2:"), 0u);
  // An open port (a printer handle on it keeps it open) cannot be deleted.
  HANDLE open = nullptr;
  ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(L"ADM1:, Port"), &open, nullptr)) << GetLastError();

  const wchar_t unterminated[2] = {L'A', L'B'};
  const BYTE badPrint[] = {2, 0, 0, 0, 0, 0};
  DWORD out = 0;
  struct Row {
    const char* what;
    vt::Xcv* handle;
    const wchar_t* command;
    const void* input;
    DWORD cbInput;
    DWORD cbOutput;
    DWORD expected;
  } rows[] = {
      {"comma in a new port's name", &admin, VARDLET_XCV_ADD_PORT, L"A,B:", 10, 0, ERROR_INVALID_NAME},
      {"duplicate port", &admin, VARDLET_XCV_ADD_PORT, L"adm1:", 12, 0, ERROR_ALREADY_EXISTS},
      {"deleting a port in use", &admin, VARDLET_XCV_DELETE_PORT, L"ADM1:", 12, 0, ERROR_BUSY},
      {"deleting an unknown port", &admin, VARDLET_XCV_DELETE_PORT, L"ADM9:", 12, 0, ERROR_UNKNOWN_PORT},
      {"settings of a deleted port", &deletedPort, VARDLET_XCV_GET_PORT_SETTINGS, nullptr, 0, 64,
       ERROR_UNKNOWN_PORT},
      {"settings of a port in use", &adminPort, VARDLET_XCV_SET_PORT_SETTINGS, L"\0\0", 6, 0, ERROR_BUSY},
      {"name without its terminator", &admin, VARDLET_XCV_ADD_PORT, unterminated, 4, 0, ERROR_INVALID_PARAMETER},
      {"no name at all", &admin, VARDLET_XCV_DELETE_PORT, nullptr, 0, 0, ERROR_INVALID_PARAMETER},
      {"Print neither 0 nor 1", &adminPort, VARDLET_XCV_SET_PORT_SETTINGS, badPrint, 6, 0, ERROR_INVALID_PARAMETER},
      {"port command on the monitor", &admin, VARDLET_XCV_GET_PORT_SETTINGS, nullptr, 0, 64, ERROR_INVALID_PARAMETER},
      {"unknown command", &admin, L"Frobnicate", nullptr, 0, 0, ERROR_INVALID_PARAMETER},
      {"PortExists into 3 bytes", &admin, VARDLET_XCV_PORT_EXISTS, L"ADM1:", 12, 3, ERROR_INSUFFICIENT_BUFFER},
      {"settings into 5 bytes", &adminPort, VARDLET_XCV_GET_PORT_SETTINGS, nullptr, 0, 5, ERROR_INSUFFICIENT_BUFFER},
      {"read-only AddPort", &reader, VARDLET_XCV_ADD_PORT, L"ADM2:", 12, 0, ERROR_ACCESS_DENIED},
      {"read-only DeletePort", &reader, VARDLET_XCV_DELETE_PORT, L"ADM1:", 12, 0, ERROR_ACCESS_DENIED},
      {"read-only SetPortSettings", &readerPort, VARDLET_XCV_SET_PORT_SETTINGS, L"\0\0", 6, 0, ERROR_ACCESS_DENIED},
  };
  for (const Row& row : rows) {
    std::vector<BYTE> output(row.cbOutput + 1);
    DWORD needed = 0xdeadbeef;
    EXPECT_EQ(row.handle->Data(row.command, row.input, row.cbInput, row.cbOutput ? output.data() : nullptr,
                               row.cbOutput, &needed),
              row.expected)
        << row.what;
    if (row.expected == ERROR_INSUFFICIENT_BUFFER) {
      EXPECT_GT(needed, row.cbOutput) << row.what;
    }
  }
  // What a read-only caller may do.
  EXPECT_EQ(reader.Data(VARDLET_XCV_PORT_EXISTS, L"ADM1:", 12, &out, sizeof out), 0u);
  EXPECT_EQ(out, 1u);
  DWORD print = 9;
  std::wstring printTo;
  EXPECT_EQ(readerPort.GetSettings(&print, &printTo), 0u);

  // AddPortExW passes the monitor's refusals on as the last error.
  PORT_INFO_1W dup = {const_cast<LPWSTR>(L"ADM1:")};
  for (auto [level, code] : {std::pair<DWORD, DWORD>{1, ERROR_ALREADY_EXISTS}, {3, ERROR_INVALID_LEVEL}}) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(AddPortExW(nullptr, level, reinterpret_cast<BYTE*>(&dup), const_cast<LPWSTR>(VARDLET_MONITOR_NAME)));
    EXPECT_EQ(GetLastError(), code) << "AddPortExW level " << level;
  }
  ClosePrinter(open);
}

// The modern entry's own checks, on calls the spooler itself would never
// make with such arguments (through winspool the spooler's checks come
// first): one row per refusal, and nothing is stored.
TEST_F(SpoolerAdminTest, ModernEntryRefusesBadInputWithAClearCode) {
  vt::Xcv monitor(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER);
  ASSERT_EQ(monitor.Name(VARDLET_XCV_ADD_PORT, L"ADM1:"), 0u);
  const std::vector<std::wstring> before = vt::Subkeys(kPortsKey);
  vt::LoadedEntry entry;
  ASSERT_NE(nullptr, entry.Table);
  const MONITOR2& m = *entry.Table;
  HANDLE admin = entry.OpenXcv(VARDLET_MONITOR_NAME, SERVER_ACCESS_ADMINISTER);
  HANDLE port = entry.OpenXcv(L"ADM1:", SERVER_ACCESS_ADMINISTER);
  vt::ProtectedPage noAccess(PAGE_NOACCESS), readOnly(PAGE_READONLY);
  const std::wstring overlong(70000, L'x');
  BYTE out[64];
  DWORD needed = 0;
  BYTE settings[10] = {1, 0, 0, 0, 'P', 0, 0, 0};
  auto xcv = [&](HANDLE handle, const wchar_t* command, const void* in, DWORD cbIn, void* output = nullptr,
                 DWORD cbOut = 0) {
    return m.pfnXcvDataPort(handle, command, (PBYTE)in, cbIn, (PBYTE)output, cbOut, &needed);
  };
  auto failed = [](BOOL ok) { return ok ? 0u : GetLastError(); };
  PORT_INFO_1W noName = {nullptr};
  HANDLE bogus = reinterpret_cast<HANDLE>(0x1234), h = nullptr;
  DWORD n = 0, c = 0;
  const struct {
    const char* name;
    std::function<DWORD()> call;
    DWORD code;
  } rows[] = {
      {"null command", [&] { return xcv(admin, nullptr, nullptr, 0); }, ERROR_INVALID_PARAMETER},
      {"command in no-access memory", [&] { return xcv(admin, noAccess.As<wchar_t>(), nullptr, 0); }, ERROR_INVALID_PARAMETER},
      {"not an Xcv handle", [&] { return xcv(bogus, VARDLET_XCV_MONITOR_UI, nullptr, 0, out, sizeof out); }, ERROR_INVALID_HANDLE},
      {"AddPort, null name", [&] { return xcv(admin, VARDLET_XCV_ADD_PORT, nullptr, 0); }, ERROR_INVALID_PARAMETER},
      {"AddPort, no bytes", [&] { return xcv(admin, VARDLET_XCV_ADD_PORT, L"B2:", 0); }, ERROR_INVALID_PARAMETER},
      {"AddPort, unreadable", [&] { return xcv(admin, VARDLET_XCV_ADD_PORT, noAccess.Bytes(), 8); }, ERROR_INVALID_PARAMETER},
      {"AddPort, overlong name", [&] { return xcv(admin, VARDLET_XCV_ADD_PORT, overlong.c_str(), 140002); }, ERROR_INVALID_PARAMETER},
      {"PortExists, read-only output", [&] { return xcv(admin, VARDLET_XCV_PORT_EXISTS, L"ADM1:", 12, readOnly.Bytes(), 4); }, ERROR_INVALID_PARAMETER},
      {"SetPortSettings, 3 bytes", [&] { return xcv(port, VARDLET_XCV_SET_PORT_SETTINGS, settings, 3); }, ERROR_INVALID_PARAMETER},
      {"SetPortSettings, unterminated", [&] { return xcv(port, VARDLET_XCV_SET_PORT_SETTINGS, settings, 6); }, ERROR_INVALID_PARAMETER},
      {"XcvOpenPort, unreadable object", [&] { return failed(m.pfnXcvOpenPort(entry.Monitor, noAccess.As<wchar_t>(), 0, &h)); }, ERROR_INVALID_PARAMETER},
      {"XcvClosePort, not a handle", [&] { return failed(m.pfnXcvClosePort(bogus)); }, ERROR_INVALID_HANDLE},
      {"EnumPorts, level 3", [&] { return failed(m.pfnEnumPorts(entry.Monitor, nullptr, 3, out, sizeof out, &n, &c)); }, ERROR_INVALID_LEVEL},
      {"EnumPorts, unwritable buffer", [&] { return failed(m.pfnEnumPorts(entry.Monitor, nullptr, 1, readOnly.Bytes(), 4096, &n, &c)); }, ERROR_INVALID_PARAMETER},
      {"OpenPort, bad monitor", [&] { return failed(m.pfnOpenPort(bogus, const_cast<LPWSTR>(L"ADM1:"), &h)); }, ERROR_INVALID_HANDLE},
      {"AddPortEx, level 2", [&] { return failed(m.pfnAddPortEx(entry.Monitor, nullptr, 2, (LPBYTE)&noName, nullptr)); }, ERROR_INVALID_LEVEL},
      {"AddPortEx, no name", [&] { return failed(m.pfnAddPortEx(entry.Monitor, nullptr, 1, (LPBYTE)&noName, nullptr)); }, ERROR_INVALID_NAME},
      {"AddPortEx, unreadable record", [&] { return failed(m.pfnAddPortEx(entry.Monitor, nullptr, 1, noAccess.Bytes(), nullptr)); }, ERROR_INVALID_PARAMETER},
      {"StartDocPort, not a port", [&] { return failed(m.pfnStartDocPort(bogus, nullptr, 0, 1, nullptr)); }, ERROR_INVALID_HANDLE},
      {"WritePort, not a port", [&] { return failed(m.pfnWritePort(bogus, out, 4, &n)); }, ERROR_INVALID_HANDLE},
      {"EndDocPort, not a port", [&] { return failed(m.pfnEndDocPort(bogus)); }, ERROR_INVALID_HANDLE},
      {"ClosePort, not a port", [&] { return failed(m.pfnClosePort(bogus)); }, ERROR_INVALID_HANDLE},
  };
  for (const auto& row : rows) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(row.code, row.call()) << row.name;
  }
  EXPECT_EQ(before, vt::Subkeys(kPortsKey));
  EXPECT_EQ(std::optional<DWORD>(0), vt::ReadDword(kPortsKey + L"\\ADM1:", L"Print"));
  for (HANDLE handle : {admin, port}) EXPECT_TRUE(m.pfnXcvClosePort(handle));
}

// vardlet-spool install / uninstall, as a user runs them.
TEST_F(SpoolerAdminTest, InstallAndUninstallWithTheHost) {
  std::string output;
  ASSERT_EQ(vt::RunTool(L"vardlet-spool.exe --quiet install", &output), 0) << output;
  ASSERT_EQ(vt::Xcv(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER).Name(VARDLET_XCV_ADD_PORT, L"ADM1:"), 0u);
  {
    vt::ScratchPrinter printer(L"Vardlet Uninstall Test", L"ADM1:");
    ASSERT_TRUE(printer.Ok());
    output.clear();
    EXPECT_EQ(vt::RunTool(L"vardlet-spool.exe --quiet uninstall", &output), 1);
    EXPECT_NE(output.find("printer \"Vardlet Uninstall Test\" prints to the vardlet port ADM1:"),
              std::string::npos) << output;
    EXPECT_NE(output.find("uninstall refused"), std::string::npos) << output;
  }
  output.clear();
  EXPECT_EQ(vt::RunTool(L"vardlet-spool.exe --quiet uninstall", &output), 0) << output;
  // Wine keeps a monitor that one of its handles still uses loaded in the
  // process, so ask the registry whether it is gone.
  EXPECT_FALSE(vt::KeyExists(L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet"));
  EXPECT_EQ(vt::InstallSpoolerMonitor(), "");
}

}  // namespace
