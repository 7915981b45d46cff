// The monitor's user interface as programs reach it: AddPortW, ConfigurePortW
// and DeletePortW through winspool, which asks the installed monitor for its
// UI DLL (vardletui.dll), loads it and runs its dialogs in this process; the
// robot plays the user under the fixture's X server. What counts is what the
// spooler lists and the registry holds afterwards.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "dialog_robot.h"
#include "monitor_fixture.h"
#include "spooler.h"
#include "xcvcommands.h"

namespace vt {
namespace {

const std::wstring kPortsKey = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet\\Ports";

struct UiCall {
  BOOL Result;
  DWORD Error;
  bool Played;  // the dialog came and the robot's action ended it
  bool Checked;
  std::wstring Text;  // what the dialog showed
};

class MonitorUi : public testing::Test {
 protected:
  // The ports of earlier tests go, through the monitor (which may stay
  // loaded in this process, with its list of ports).
  void SetUp() override {
    ASSERT_EQ("", InstallSpoolerMonitor());
    Xcv monitor(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER);
    for (const std::wstring& port : SpoolerPorts(2)) ASSERT_EQ(0u, monitor.Name(VARDLET_XCV_DELETE_PORT, port));
  }
  // `call` while the robot plays the dialog of `caption` with `act`.
  UiCall WithDialog(const wchar_t* caption, Robot::Action act, const std::function<BOOL()>& call) {
    Robot robot(caption, std::move(act));
    SetLastError(kSentinel);
    BOOL result = call();
    DWORD error = GetLastError();
    robot.Finish();
    return {result, error, robot.Found && !robot.Cancelled, robot.Checked, robot.Text};
  }
  UiCall Add(const std::wstring& typed, Robot::Action press = PressOk) {
    return WithDialog(
        kPortNameCaption, [=](HWND dialog) { Type(dialog, kPortNameEdit, typed), press(dialog); },
        [&] { return AddPortW(nullptr, Owner.Window, const_cast<LPWSTR>(VARDLET_MONITOR_NAME)); });
  }
  UiCall Configure(const wchar_t* port, Robot::Action act) {
    return WithDialog(kSettingsCaption, std::move(act),
                      [&] { return ConfigurePortW(nullptr, Owner.Window, const_cast<LPWSTR>(port)); });
  }
  UiCall Delete(const wchar_t* port) {
    return WithDialog(kSettingsCaption, PressCancel,
                      [&] { return DeletePortW(nullptr, Owner.Window, const_cast<LPWSTR>(port)); });
  }
  void ExpectStored(const wchar_t* port, DWORD print, const std::wstring& printTo) {
    EXPECT_EQ(std::optional<DWORD>(print), ReadDword(kPortsKey + L"\\" + port, L"Print"));
    EXPECT_EQ(std::optional<std::wstring>(printTo), ReadString(kPortsKey + L"\\" + port, L"Print To"));
  }
  OwnerWindow Owner;
};

TEST_F(MonitorUi, AddPortStoresTheTypedNameAndRefusesWhatTheMonitorRefuses) {
  UiCall added = Add(L"UI1:");
  EXPECT_TRUE(added.Result) << "error " << added.Error;
  EXPECT_TRUE(added.Played);
  ExpectStored(L"UI1:", 0, L"");
  const struct {
    const wchar_t* typed;
    Robot::Action press;
    DWORD error;
  } refusals[] = {
      {L"a,b", PressOk, ERROR_INVALID_NAME},    {L"", PressOk, ERROR_INVALID_NAME},
      {L"ui1:", PressOk, ERROR_ALREADY_EXISTS}, {L"UI2:", PressCancel, ERROR_CANCELLED},
      {L"UI2:", PressEsc, ERROR_CANCELLED},     {L"UI2:", CloseBox, ERROR_CANCELLED},
  };
  for (const auto& refusal : refusals) {
    UiCall call = Add(refusal.typed, refusal.press);
    EXPECT_EQ(std::make_tuple(FALSE, refusal.error, true), std::make_tuple(call.Result, call.Error, call.Played))
        << "typed \"" << refusal.typed << "\"";
  }
  EXPECT_EQ(Names{L"UI1:"}, SpoolerPorts(2));
  EXPECT_EQ(Names{L"UI1:"}, Subkeys(kPortsKey));
}

TEST_F(MonitorUi, ConfigurePortShowsTheSettingsAndStoresThemOnOkOnly) {
  ASSERT_TRUE(Add(L"UI1:").Result);
  UiCall set = Configure(L"ui1:", [](HWND dialog) {
    Click(dialog, kPrintDocuments), Type(dialog, kPrinterEdit, kPassTargetPrinter.Name), PressOk(dialog);
  });
  EXPECT_TRUE(set.Result) << "error " << set.Error;
  EXPECT_EQ(std::make_tuple(true, false, std::wstring()), std::make_tuple(set.Played, set.Checked, set.Text));
  ExpectStored(L"UI1:", 1, kPassTargetPrinter.Name);
  UiCall cancelled = Configure(L"UI1:", [](HWND dialog) {
    Click(dialog, kPrintDocuments), Type(dialog, kPrinterEdit, L"Laser 2"), PressCancel(dialog);
  });
  EXPECT_TRUE(cancelled.Result) << "error " << cancelled.Error;
  EXPECT_EQ(std::make_tuple(true, true, std::wstring(kPassTargetPrinter.Name)),
            std::make_tuple(cancelled.Played, cancelled.Checked, cancelled.Text));
  ExpectStored(L"UI1:", 1, kPassTargetPrinter.Name);
}

TEST_F(MonitorUi, DeletePortRemovesThePortButNotOneInUse) {
  ASSERT_TRUE(Add(L"UI1:").Result);
  ASSERT_TRUE(Add(L"UI2:").Result);
  HANDLE port = nullptr;
  ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(L"UI2:, Port"), &port, nullptr)) << GetLastError();
  UiCall busy = Delete(L"UI2:");
  ClosePrinter(port);
  EXPECT_EQ(std::make_tuple(FALSE, static_cast<DWORD>(ERROR_BUSY)), std::make_tuple(busy.Result, busy.Error));
  UiCall deleted = Delete(L"ui1:");
  EXPECT_TRUE(deleted.Result) << "error " << deleted.Error;
  EXPECT_FALSE(deleted.Played) << "deleting shows no dialog";
  EXPECT_EQ(Names{L"UI2:"}, SpoolerPorts(2));
  EXPECT_EQ(Names{L"UI2:"}, Subkeys(kPortsKey));
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
  HWND owner = Owner.Window;
  const struct {
    const char* name;
    std::function<BOOL()> call;
    DWORD error;
  } refusals[] = {
      {"add on a server", [&] { return ui->pfnAddPortUI(L"\\\\box", owner, VARDLET_MONITOR_NAME, nullptr); }, ERROR_INVALID_PARAMETER},
      {"configure on a server", [&] { return ui->pfnConfigurePortUI(L"\\\\box", owner, L"UI1:"); }, ERROR_INVALID_PARAMETER},
      {"delete on a server", [&] { return ui->pfnDeletePortUI(L"\\\\box", owner, L"UI1:"); }, ERROR_INVALID_PARAMETER},
      {"configure an unknown port", [&] { return ui->pfnConfigurePortUI(nullptr, owner, L"NOPE:"); }, ERROR_UNKNOWN_PORT},
      {"delete an unknown port", [&] { return ui->pfnDeletePortUI(nullptr, owner, L"NOPE:"); }, ERROR_UNKNOWN_PORT},
      {"delete no port", [&] { return ui->pfnDeletePortUI(nullptr, owner, nullptr); }, ERROR_UNKNOWN_PORT},
  };
  for (const auto& refusal : refusals) {
    UiCall call = WithDialog(kSettingsCaption, PressCancel, refusal.call);
    EXPECT_EQ(std::make_tuple(FALSE, refusal.error, false), std::make_tuple(call.Result, call.Error, call.Played))
        << refusal.name;
  }
  PWSTR name = nullptr;
  UiCall added = WithDialog(
      kPortNameCaption, [](HWND dialog) { Type(dialog, kPortNameEdit, L"UI3:"), PressOk(dialog); },
      [&] { return ui->pfnAddPortUI(nullptr, owner, VARDLET_MONITOR_NAME, &name); });
  EXPECT_TRUE(added.Result) << "error " << added.Error;
  EXPECT_EQ(std::wstring(L"UI3:"), name ? name : L"(none)");
  LocalFree(name);
  EXPECT_EQ(Names{L"UI3:"}, SpoolerPorts(2));
  FreeLibrary(dll);
}

// Pictures of both dialogs as the UI DLL shows them, beside vardlet.dll's
// (run by dialog_screenshots.sh).
TEST_F(MonitorUi, Screenshots) {
  if (!GetEnvironmentVariableW(L"VARDLET_SCREENSHOT_DIR", nullptr, 0)) GTEST_SKIP() << "run by dialog_screenshots.sh";
  EXPECT_TRUE(Add(L"UI1:", [](HWND dialog) { AskForScreenshot(dialog, "ui-port-name"), PressOk(dialog); }).Result);
  EXPECT_TRUE(Configure(L"UI1:", [](HWND dialog) {
                Click(dialog, kPrintDocuments), Type(dialog, kPrinterEdit, kPassTargetPrinter.Name);
                AskForScreenshot(dialog, "ui-checksum-port-settings"), PressOk(dialog);
              }).Result);
  ExpectStored(L"UI1:", 1, kPassTargetPrinter.Name);
}

}  // namespace
}  // namespace vt
