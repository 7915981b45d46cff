// The monitor's user interface as programs reach it: AddPortW, ConfigurePortW
// and DeletePortW through winspool, which asks the installed monitor for its
// UI DLL (vardletui.dll), loads it and runs its dialogs in this process; the
// robot plays the user under the fixture's X server. What counts is what the
// spooler lists and the registry holds afterwards.

#include <tuple>

#include "dialog_cases.h"
#include "monitor_fixture.h"
#include "spooler.h"
#include "xcvcommands.h"

namespace vt {
namespace {

class MonitorUi : public testing::Test {
 protected:
  // The ports of earlier tests go, through the monitor (which may stay
  // loaded in this process, with its list of ports).
  void SetUp() override {
    ASSERT_EQ("", InstallSpoolerMonitor());
    for (const std::wstring& port : SpoolerPorts()) ASSERT_EQ(0u, Admin(VARDLET_XCV_DELETE_PORT, port));
  }
  static DWORD Admin(const wchar_t* command, const std::wstring& port) {
    return Xcv(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER).Name(command, port);
  }
  UiCall Delete(const wchar_t* port) {
    return PlayDialog(kSettingsCaption, PressCancel,
                      [&] { return DeletePortW(nullptr, Owner.Window, const_cast<LPWSTR>(port)); });
  }
  OwnerWindow Owner;
};

// The same dialogs, the same answers and the same stored settings as
// vardlet.dll's own (and, under dialog_screenshots.sh, their pictures); then
// deletion.
TEST_F(MonitorUi, AddPortAndConfigurePortPlayTheDialogs) {
  ASSERT_EQ(0u, Admin(VARDLET_XCV_ADD_PORT, L"LPT9:"));
  ExpectPortNameCases(
      [&] { return AddPortW(nullptr, Owner.Window, const_cast<LPWSTR>(VARDLET_MONITOR_NAME)); }, L"UI1:",
      "ui-");
  EXPECT_EQ((Names{L"UI1:", L"LPT9:"}), SpoolerPorts());
  EXPECT_EQ((Names{L"LPT9:", L"UI1:"}), Subkeys(kSpoolerPortsKey));
  ASSERT_EQ(0u, Xcv(L"XcvPort UI1:", SERVER_ACCESS_ADMINISTER).SetSettings(1, L"Laser 2"));
  ExpectSettingsCases(
      [&](const wchar_t* port) { return ConfigurePortW(nullptr, Owner.Window, const_cast<LPWSTR>(port)); },
      L"UI1:", kSpoolerPortsKey + L"\\UI1:", kPassTargetPrinter.Name, "ui-");

  // DeletePortW: no dialog; a port in use stays.
  HANDLE port = nullptr;
  ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(L"LPT9:, Port"), &port, nullptr)) << GetLastError();
  UiCall busy = Delete(L"LPT9:");
  ClosePrinter(port);
  EXPECT_EQ(std::make_tuple(FALSE, static_cast<DWORD>(ERROR_BUSY)), std::make_tuple(busy.Result, busy.Error));
  UiCall deleted = Delete(L"ui1:");
  EXPECT_EQ(std::make_tuple(TRUE, false), std::make_tuple(deleted.Result, deleted.Played)) << deleted.Error;
  EXPECT_EQ(Names{L"LPT9:"}, SpoolerPorts());
  EXPECT_EQ(Names{L"LPT9:"}, Subkeys(kSpoolerPortsKey));
}

// What the UI refuses itself (Wine's spooler answers an unknown port with 50
// before it loads the UI), and the new port's name handed back.
TEST_F(MonitorUi, UiRefusesServersAndUnknownPortsAndReturnsTheNewName) {
  HMODULE dll = LoadLibraryW(L"vardletui.dll");
  ASSERT_NE(nullptr, dll);
  auto initialize = reinterpret_cast<PMONITORUI(WINAPI*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "InitializePrintMonitorUI")));
  const MONITORUI* ui = initialize();
  ASSERT_EQ(sizeof(MONITORUI), ui->dwMonitorUISize);
  UiCall server = PlayDialog(kPortNameCaption, PressCancel, [&] {
    return ui->pfnAddPortUI(L"\\\\box", Owner.Window, VARDLET_MONITOR_NAME, nullptr);
  });
  UiCall unknown = PlayDialog(kSettingsCaption, PressCancel,
                              [&] { return ui->pfnConfigurePortUI(nullptr, Owner.Window, L"NOPE:"); });
  EXPECT_EQ(std::make_tuple(FALSE, static_cast<DWORD>(ERROR_INVALID_PARAMETER), false, FALSE,
                            static_cast<DWORD>(ERROR_UNKNOWN_PORT), false),
            std::make_tuple(server.Result, server.Error, server.Played, unknown.Result, unknown.Error,
                            unknown.Played));
  PWSTR name = nullptr;
  UiCall added = PlayDialog(
      kPortNameCaption, [](HWND dialog) { Type(dialog, kPortNameEdit, L"UI3:"), PressOk(dialog); },
      [&] { return ui->pfnAddPortUI(nullptr, Owner.Window, VARDLET_MONITOR_NAME, &name); });
  EXPECT_TRUE(added.Result) << "error " << added.Error;
  EXPECT_EQ(std::wstring(L"UI3:"), name ? name : L"(none)");
  LocalFree(name);
  FreeLibrary(dll);
}

}  // namespace
}  // namespace vt
