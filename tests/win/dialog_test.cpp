// The two real dialogs under the fixture's X server, driven from a helper
// thread as a user would drive them: "Port Name" behind AddPortW and
// "Checksum Port Settings" behind ConfigurePortW; the settings a port loads
// from odd registry values, as the dialog shows them; deletion while a dialog
// is open.
#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>

#include "dialog_cases.h"
#include "monitor_fixture.h"

namespace vt {
namespace {

class Dialogs : public MonitorTest {
 protected:
  UiCall Configure(const wchar_t* port, Robot::Action act) {
    return PlayDialog(kSettingsCaption, std::move(act), [&] { return ConfigureCall(port); });
  }
  BOOL ConfigureCall(const wchar_t* port) {
    return Module->ConfigurePortW(nullptr, Owner.Window, const_cast<LPWSTR>(port));
  }
  OwnerWindow Owner;
};

// "Port Name" adds the typed name with default settings; without an owner
// on another thread no dialog is shown. (Under dialog_screenshots.sh this
// and the next test take the pictures of both dialogs.)
TEST_F(Dialogs, PortNameAddsTheTypedName) {
  Initialize({L"LPT9:"});
  ExpectPortNameCases([&] { return Module->AddPortW(nullptr, Owner.Window, nullptr); }, L"\\\\box\\CSUM5:", "");
  EXPECT_EQ((Names{L"\\\\box\\CSUM5:", L"LPT9:"}), PortNames());
  EXPECT_EQ((Names{L",,box,CSUM5:", L"LPT9:"}), Subkeys(Root.Path()));
  EXPECT_EQ(std::optional<DWORD>(0), ReadDword(Root.Child(L",,box,CSUM5:"), L"Print"));
  EXPECT_EQ((RawValue{REG_SZ, {0, 0}}), ReadRaw(Root.Child(L",,box,CSUM5:"), L"Print To").value_or(RawValue{}));
  EXPECT_EQ(Messages{}, Debug.Messages());

  HWND own = CreateWindowExW(0, L"STATIC", L"same thread", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
  for (HWND owner : {static_cast<HWND>(nullptr), own}) {
    UiCall call = PlayDialog(kPortNameCaption, PressCancel, [&] { return Module->AddPortW(nullptr, owner, nullptr); });
    EXPECT_FALSE(call.Result || call.Played);
    EXPECT_NE(0u, call.Error);
    EXPECT_NE(kSentinel, call.Error);
  }
  DestroyWindow(own);
}

// The settings shown and stored; with a server name nothing is shown and
// nothing saved.
TEST_F(Dialogs, SettingsShowAndStore) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPassThroughKey(L"CSUM1:", L"Laser 2"));
  Initialize();
  ExpectSettingsCases([&](const wchar_t* port) { return ConfigureCall(port); }, L"CSUM1:", Root.Child(L"CSUM1:"),
                      kPassTargetPrinter.Name, "");
  EXPECT_EQ(Messages{}, Debug.Messages());
  UiCall server = PlayDialog(kSettingsCaption, PressCancel, [&] {
    return Module->ConfigurePortW(const_cast<LPWSTR>(L"\\\\server"), Owner.Window, const_cast<LPWSTR>(L"CSUM1:"));
  });
  EXPECT_EQ(std::make_tuple(TRUE, static_cast<DWORD>(ERROR_INVALID_PARAMETER), false),
            std::make_tuple(server.Result, server.Error, server.Played));
  EXPECT_EQ(std::optional<std::wstring>(kPassTargetPrinter.Name), ReadString(Root.Child(L"CSUM1:"), L"Print To"));
}

// While the dialog is open the rest of the monitor works, but its port
// cannot be deleted until the dialog and its save are over.
TEST_F(Dialogs, PortUnderAnOpenDialogCannotBeDeleted) {
  Initialize({L"CSUM1:", L"OTHER:"});
  BOOL deleted = TRUE, otherDeleted = FALSE;
  DWORD deleteError = 0;
  Names listed;
  UiCall call = Configure(L"CSUM1:", [&](HWND dialog) {
    SetLastError(kSentinel);
    deleted = Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"csum1:"));
    deleteError = GetLastError();
    otherDeleted = Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"OTHER:"));
    listed = PortNames();
    Click(dialog, kPrintDocuments), Type(dialog, kPrinterEdit, L"Laser 1"), PressOk(dialog);
  });
  EXPECT_TRUE(call.Result && call.Played);
  EXPECT_FALSE(deleted);
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), deleteError);
  EXPECT_TRUE(otherDeleted);
  EXPECT_EQ(Names{L"CSUM1:"}, listed);
  EXPECT_EQ(std::optional<std::wstring>(L"Laser 1"), ReadString(Root.Child(L"CSUM1:"), L"Print To"));
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
    UiCall shown = Configure(c.Port, PressCancel);
    EXPECT_TRUE(shown.Played);
    EXPECT_EQ(c.Checked, shown.Checked);
    EXPECT_EQ(c.Shown.size(), shown.Text.size());
    EXPECT_TRUE(c.Shown == shown.Text);
  }
}

}  // namespace
}  // namespace vt
