// The two dialogs played the same way whichever DLL shows them: vardlet.dll
// behind its own AddPortW and ConfigurePortW, or vardletui.dll behind
// winspool's. The robot finds each dialog by its caption and fills it by the
// controls' ids, so a wrong id, caption or stored value fails these.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <tuple>

#include "dialog_robot.h"
#include "registry.h"

namespace vt {

// What a call that shows a dialog did, and what the dialog showed.
struct UiCall {
  BOOL Result;
  DWORD Error;
  bool Played;  // the dialog came and the robot's action ended it
  bool Checked;
  std::wstring Text;
};

// `call` while the robot plays the dialog of `caption` with `act`.
inline UiCall PlayDialog(const wchar_t* caption, Robot::Action act, const std::function<BOOL()>& call) {
  Robot robot(caption, std::move(act));
  SetLastError(0xdeadbeef);
  BOOL result = call();
  DWORD error = GetLastError();
  robot.Finish();
  return {result, error, robot.Found && !robot.Cancelled, robot.Checked, robot.Text};
}

// Under dialog_screenshots.sh (which sets VARDLET_SCREENSHOT_DIR), the
// dialog's picture <prefix><name>.png before the robot presses OK.
inline void Picture(HWND dialog, const std::string& prefix, const char* name) {
  if (GetEnvironmentVariableW(L"VARDLET_SCREENSHOT_DIR", nullptr, 0)) AskForScreenshot(dialog, (prefix + name).c_str());
}

// "Port Name" behind `addPort`, with a port "LPT9:" there already: the field
// starts empty; cancelled any way, or refused, it fails with its code; the
// last row adds `added` (its settings are for the caller to check).
inline void ExpectPortNameCases(const std::function<BOOL()>& addPort, const wchar_t* added,
                                const std::string& picture) {
  const struct {
    const wchar_t* Typed;
    Robot::Action Press;
    DWORD Error;  // 0: added
  } cases[] = {
      {L"NEVER:", PressCancel, ERROR_CANCELLED}, {L"NEVER:", PressEsc, ERROR_CANCELLED},
      {L"NEVER:", CloseBox, ERROR_CANCELLED},    {L"a,b", PressOk, ERROR_INVALID_NAME},
      {L"lpt9:", PressOk, ERROR_ALREADY_EXISTS}, {L"", PressOk, ERROR_INVALID_NAME},
      {added, PressOk, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "typed \"" << c.Typed << "\"");
    UiCall call = PlayDialog(
        kPortNameCaption,
        [&](HWND d) {
          Type(d, kPortNameEdit, c.Typed);
          if (!c.Error) Picture(d, picture, "port-name");
          c.Press(d);
        },
        addPort);
    EXPECT_EQ(std::make_tuple(!c.Error, true, std::wstring(), c.Error),
              std::make_tuple(!!call.Result, call.Played, call.Text, call.Result ? 0u : call.Error));
  }
}

// "Checksum Port Settings" behind `configure`, on a port stored (under
// `portKey`) as passing through to "Laser 2": each step shows what is stored,
// ticks the box over and types a printer; OK stores both, Cancel nothing,
// and every call succeeds. The first step names the port in other letters.
inline void ExpectSettingsCases(const std::function<BOOL(const wchar_t*)>& configure, const std::wstring& port,
                                const std::wstring& portKey, const std::wstring& passTarget,
                                const std::string& picture) {
  std::wstring lower = port;
  CharLowerW(lower.data());
  const struct {
    const wchar_t* Port;
    bool ShownChecked;
    std::wstring Shown, Typed;
    Robot::Action Press;
    DWORD Print;
    std::wstring PrintTo;  // stored afterwards
  } steps[] = {
      {lower.c_str(), true, L"Laser 2", L"", PressOk, 0, L""},
      {port.c_str(), false, L"", passTarget, PressOk, 1, passTarget},
      {port.c_str(), true, passTarget, L"Laser 2", PressCancel, 1, passTarget},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(testing::Message() << "typed \"" << step.Typed << "\"");
    UiCall call = PlayDialog(
        kSettingsCaption,
        [&](HWND d) {
          Click(d, kPrintDocuments), Type(d, kPrinterEdit, step.Typed);
          if (&step == &steps[1]) Picture(d, picture, "checksum-port-settings");  // ticked, OK
          step.Press(d);
        },
        [&] { return configure(step.Port); });
    EXPECT_EQ(std::make_tuple(TRUE, true, step.ShownChecked, step.Shown),
              std::make_tuple(call.Result, call.Played, call.Checked, call.Text))
        << "error " << call.Error;
    EXPECT_EQ(std::make_pair(std::optional<DWORD>(step.Print), std::optional<std::wstring>(step.PrintTo)),
              std::make_pair(ReadDword(portKey, L"Print"), ReadString(portKey, L"Print To")));
  }
}

}  // namespace vt
