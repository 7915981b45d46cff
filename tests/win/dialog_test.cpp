// The two real dialogs under the fixture's X server, driven from a helper
// thread as a user would drive them: "Port Name" behind AddPortW and
// "Checksum Port Settings" behind ConfigurePortW; the settings a port loads
// from odd registry values, as the dialog shows them; deletion while a dialog
// is open. A wrong control id or caption fails these: the robot finds the
// dialog by its caption and types into the controls by their ids.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "dialog_robot.h"
#include "monitor_fixture.h"

namespace vt {
namespace {

class Dialogs : public MonitorTest {
 protected:
  // ConfigurePortW with the robot doing `act`; returns what the dialog showed.
  Robot& Configure(const wchar_t* port, Robot::Action act, BOOL expected = TRUE) {
    Bot = std::make_unique<Robot>(kSettingsCaption, std::move(act));
    SetLastError(kSentinel);
    EXPECT_EQ(expected, Module->ConfigurePortW(nullptr, Owner.Window, const_cast<LPWSTR>(port)))
        << GetLastError();
    Bot->Finish();
    EXPECT_TRUE(Bot->Found);
    EXPECT_FALSE(Bot->Cancelled);
    return *Bot;
  }
  void ExpectSettings(const wchar_t* port, DWORD print, const std::wstring& printTo) {
    EXPECT_EQ(std::optional<DWORD>(print), ReadDword(Root.Child(port), L"Print"));
    EXPECT_EQ(std::optional<std::wstring>(printTo), ReadString(Root.Child(port), L"Print To"));
  }
  OwnerWindow Owner;
  std::unique_ptr<Robot> Bot;
};

// "Port Name": the typed name is added with default settings; cancelled any
// way, or refused, nothing is added.
TEST_F(Dialogs, PortNameAddsTheTypedName) {
  Initialize({L"LPT9:"});
  const struct {
    const wchar_t* Typed;
    Robot::Action Press;
    DWORD Error;  // 0: added
  } cases[] = {
      {L"NEVER:", PressCancel, ERROR_CANCELLED}, {L"NEVER:", PressEsc, ERROR_CANCELLED},
      {L"NEVER:", CloseBox, ERROR_CANCELLED},    {L"a,b", PressOk, ERROR_INVALID_NAME},
      {L"lpt9:", PressOk, ERROR_ALREADY_EXISTS}, {L"", PressOk, ERROR_INVALID_NAME},
      {L"\\\\box\\CSUM5:", PressOk, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "typed \"" << c.Typed << "\", error " << c.Error);
    Robot robot(kPortNameCaption,
                [&](HWND dialog) { Type(dialog, kPortNameEdit, c.Typed), c.Press(dialog); });
    SetLastError(kSentinel);
    EXPECT_EQ(!c.Error, !!Module->AddPortW(nullptr, Owner.Window, nullptr));
    EXPECT_EQ(c.Error ? c.Error : GetLastError(), GetLastError());
    robot.Finish();
    EXPECT_TRUE(robot.Found);
    EXPECT_FALSE(robot.Cancelled);
    EXPECT_EQ(L"", robot.Text) << "the field starts empty";
  }
  EXPECT_EQ((Names{L"\\\\box\\CSUM5:", L"LPT9:"}), PortNames());
  EXPECT_EQ((Names{L",,box,CSUM5:", L"LPT9:"}), Subkeys(Root.Path()));
  EXPECT_EQ((RawValue{REG_SZ, {0, 0}}),
            ReadRaw(Root.Child(L",,box,CSUM5:"), L"Print To").value_or(RawValue{}));
  ExpectSettings(L",,box,CSUM5:", 0, L"");
  EXPECT_EQ(Messages{}, Debug.Messages());

  // No dialog without an owner on another thread.
  HWND own = CreateWindowExW(0, L"STATIC", L"same thread", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
  for (HWND owner : {static_cast<HWND>(nullptr), own}) {
    Robot robot(kPortNameCaption, PressCancel);
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->AddPortW(nullptr, owner, nullptr));
    EXPECT_NE(0u, GetLastError());
    EXPECT_NE(kSentinel, GetLastError());
    robot.Finish();
    EXPECT_FALSE(robot.Found);
  }
  DestroyWindow(own);
}

// "Checksum Port Settings" shows the stored settings; OK stores the new ones,
// which the port then uses; Cancel and Esc change nothing; with a server name
// nothing is shown and nothing saved.
TEST_F(Dialogs, SettingsShowAndStore) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPassThroughKey(L"CSUM1:", L"Laser 2"));
  Initialize();
  Robot& off =
      Configure(L"csum1:", [](HWND d) { Click(d, kPrintDocuments), Type(d, kPrinterEdit, L""), PressOk(d); });
  EXPECT_TRUE(off.Checked);
  EXPECT_EQ(L"Laser 2", off.Text);
  ExpectSettings(L"CSUM1:", 0, L"");
  Robot& on = Configure(L"CSUM1:", [](HWND d) {
    Click(d, kPrintDocuments), Type(d, kPrinterEdit, kPassTargetPrinter.Name), PressOk(d);
  });
  EXPECT_FALSE(on.Checked);
  EXPECT_EQ(L"", on.Text);
  ExpectSettings(L"CSUM1:", 1, kPassTargetPrinter.Name);
  const std::optional<RawValue> print = ReadRaw(Root.Child(L"CSUM1:"), L"Print");
  for (const Robot::Action& press : {Robot::Action(PressCancel), Robot::Action(PressEsc)})
    Configure(L"CSUM1:",
              [&](HWND d) { Click(d, kPrintDocuments), Type(d, kPrinterEdit, L"Laser 2"), press(d); });
  EXPECT_EQ(print, ReadRaw(Root.Child(L"CSUM1:"), L"Print"));
  Robot& shown = Configure(L"CSUM1:", PressCancel);
  EXPECT_TRUE(shown.Checked);
  EXPECT_EQ(kPassTargetPrinter.Name, shown.Text);
  EXPECT_EQ(Messages{}, Debug.Messages());

  Robot robot(kSettingsCaption, PressCancel);
  SetLastError(kSentinel);
  EXPECT_TRUE(
      Module->ConfigurePortW(const_cast<LPWSTR>(L"\\\\server"), Owner.Window, const_cast<LPWSTR>(L"CSUM1:")));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  robot.Finish();
  EXPECT_FALSE(robot.Found);
  ExpectSettings(L"CSUM1:", 1, kPassTargetPrinter.Name);
}

// While the dialog is open the rest of the monitor works, but its port
// cannot be deleted until the dialog and its save are over.
TEST_F(Dialogs, PortUnderAnOpenDialogCannotBeDeleted) {
  Initialize({L"CSUM1:", L"OTHER:"});
  BOOL deleted = TRUE, otherDeleted = FALSE;
  DWORD deleteError = 0;
  Names listed;
  Configure(L"CSUM1:", [&](HWND dialog) {
    SetLastError(kSentinel);
    deleted = Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"csum1:"));
    deleteError = GetLastError();
    otherDeleted = Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"OTHER:"));
    listed = PortNames();
    Click(dialog, kPrintDocuments), Type(dialog, kPrinterEdit, L"Laser 1"), PressOk(dialog);
  });
  EXPECT_FALSE(deleted);
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), deleteError);
  EXPECT_TRUE(otherDeleted);
  EXPECT_EQ(Names{L"CSUM1:"}, listed);
  ExpectSettings(L"CSUM1:", 1, L"Laser 1");
  EXPECT_TRUE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"CSUM1:"))) << GetLastError();
  EXPECT_FALSE(KeyExists(Root.Child(L"CSUM1:")));
}

// Settings loaded from values that are not what they should be: "Print"
// shorter than four bytes is off; "Print To" without a terminator is read to
// the end of its data, and one longer than 2048 bytes is empty.
TEST_F(Dialogs, OddRegistryValuesLoadAsSensibleSettings) {
  const std::wstring longName(1023, L'n'), tooLong(1024, L't');  // 2048 and 2050 bytes
  const BYTE threeBytes[] = {1, 1, 1}, offThenOn[] = {0, 0, 0, 0, 1};
  const wchar_t printSz[] = L"A";  // 41 00 00 00: not zero
  const struct {
    const wchar_t* Port;
    DWORD PrintType;
    const void* Print;
    size_t PrintSize;
    std::wstring PrintTo;
    bool Terminated, Checked;
    std::wstring Shown;
  } cases[] = {
      {L"P3:", REG_BINARY, threeBytes, 3, L"Laser 1", true, false, L"Laser 1"},
      {L"PSZ:", REG_SZ, printSz, sizeof printSz, L"Laser 1", true, true, L"Laser 1"},
      {L"PBIN:", REG_BINARY, offThenOn, 5, L"x", true, false, L"x"},
      {L"NOTERM:", REG_DWORD, nullptr, 0, L"Laser 1", false, false, L"Laser 1"},
      {L"LONG:", REG_DWORD, nullptr, 0, longName, true, false, longName},
      {L"TOOLONG:", REG_DWORD, nullptr, 0, tooLong, true, false, L""},
      {L"FULLNOTERM:", REG_DWORD, nullptr, 0, tooLong, false, false, tooLong},
  };
  for (const auto& c : cases) {
    std::wstring key = Root.Child(c.Port);
    ASSERT_EQ(ERROR_SUCCESS, CreateKey(key));
    ASSERT_EQ(ERROR_SUCCESS, c.Print ? WriteRaw(key, L"Print", c.PrintType, c.Print, c.PrintSize) : 0);
    // The registry adds a missing terminator itself when the character after
    // the data is one; here it is not.
    const std::wstring data = c.PrintTo + L"X";
    const size_t size = (c.PrintTo.size() + (c.Terminated ? 1 : 0)) * 2;
    if (c.Terminated)
      ASSERT_EQ(ERROR_SUCCESS, WriteString(key, L"Print To", c.PrintTo));
    else
      ASSERT_EQ(ERROR_SUCCESS, WriteRaw(key, L"Print To", REG_SZ, data.c_str(), size));
    ASSERT_EQ(size, ReadRaw(key, L"Print To").value().Data.size());
  }
  Initialize();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "port " << c.Port);
    Robot& shown = Configure(c.Port, PressCancel);
    EXPECT_EQ(c.Checked, shown.Checked);
    EXPECT_EQ(c.Shown.size(), shown.Text.size());
    EXPECT_TRUE(c.Shown == shown.Text);
  }
}

TEST_F(Dialogs, Screenshots) {
  if (!GetEnvironmentVariableW(L"VARDLET_SCREENSHOT_DIR", nullptr, 0))
    GTEST_SKIP() << "run by dialog_screenshots.sh";
  Initialize();
  Robot robot(kPortNameCaption, [](HWND d) {
    Type(d, kPortNameEdit, L"CSUM2:"), AskForScreenshot(d, "port-name"), PressOk(d);
  });
  EXPECT_TRUE(Module->AddPortW(nullptr, Owner.Window, nullptr)) << GetLastError();
  robot.Finish();
  Configure(L"CSUM2:", [](HWND d) {
    Click(d, kPrintDocuments), Type(d, kPrinterEdit, kPassTargetPrinter.Name);
    AskForScreenshot(d, "checksum-port-settings"), PressOk(d);
  });
}

}  // namespace
}  // namespace vt
