// The installed monitor administered through Wine's spooler: AddMonitorW,
// AddPortExW, XcvDataW, EnumPortsW, and vardlet-spool install / uninstall.
#include <gtest/gtest.h>

#include "registry.h"
#include "spooler.h"
#include "xcvcommands.h"


namespace {

class SpoolerAdminTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(vt::InstallSpoolerMonitor(), ""); }
  void SetUp() override {
    vt::Xcv monitor(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER);
    for (const wchar_t* port : {L"ADM1:", L"ADM2:", L"ADM3:"}) monitor.Name(VARDLET_XCV_DELETE_PORT, port);
  }
};

// Port names the monitor lists at `level`, with (level 2) their monitor.
std::vector<std::pair<std::wstring, std::wstring>> ListPorts(DWORD level) {
  DWORD needed = 0, returned = 0;
  EnumPortsW(nullptr, level, nullptr, 0, &needed, &returned);
  std::vector<BYTE> buffer(needed);
  std::vector<std::pair<std::wstring, std::wstring>> ports;
  if (!EnumPortsW(nullptr, level, buffer.data(), needed, &needed, &returned)) return ports;
  for (DWORD i = 0; i < returned; i++) {
    if (level == 1) {
      ports.emplace_back(reinterpret_cast<PORT_INFO_1W*>(buffer.data())[i].pName, L"");
    } else {
      const PORT_INFO_2W& info = reinterpret_cast<PORT_INFO_2W*>(buffer.data())[i];
      ports.emplace_back(info.pPortName, info.pMonitorName ? info.pMonitorName : L"(null)");
    }
  }
  return ports;
}

bool Listed(DWORD level, const std::wstring& port, const std::wstring& monitor = L"") {
  for (const auto& [name, owner] : ListPorts(level))
    if (name == port && owner == monitor) return true;
  return false;
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
    EXPECT_TRUE(Listed(2, port, VARDLET_MONITOR_NAME)) << port;
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

// vardlet-spool install / uninstall, as a user runs them.
TEST_F(SpoolerAdminTest, InstallAndUninstallWithTheHost) {
  std::string output;
  ASSERT_EQ(vt::RunTool(L"vardlet-spool.exe --quiet install", &output), 0) << output;
  ASSERT_EQ(vt::Xcv(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER).Name(VARDLET_XCV_ADD_PORT, L"ADM1:"), 0u);
  {
    vt::SpoolerPrinter printer(L"Vardlet Uninstall Test", L"ADM1:");
    ASSERT_TRUE(printer.Added());
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
  EXPECT_FALSE(vt::KeyExists(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet"));
  EXPECT_EQ(vt::InstallSpoolerMonitor(), "");
}

}  // namespace
