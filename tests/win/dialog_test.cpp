// The two real dialogs under the fixture's X server, driven from a helper
// thread as a user would drive them: "Port Name" behind AddPortW and
// "Checksum Port Settings" behind ConfigurePortW; the settings a port loads
// from odd registry values, as the dialog shows them; deletion while a dialog
// is open.

#include <tuple>

#include "dialog_cases.h"
#include "monitor_fixture.h"
#include "process_resources.h"

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

// "Port Name" adds the typed name; the ports of the refused and cancelled
// ones are freed (the port heap, which holds the port objects, is back to
// its blocks once the added port is deleted too). (Under
// dialog_screenshots.sh this and the next test take the pictures of both
// dialogs.)
TEST_F(Dialogs, PortNameAddsTheTypedName) {
  Initialize({L"LPT9:"});
  const HANDLE port = Open(L"LPT9:"), portHeap = HeapOf(port);
  ASSERT_TRUE(portHeap && Module->ClosePort(port));
  const std::pair<size_t, size_t> before = HeapUse(portHeap);
  ExpectPortNameCases([&] { return Module->AddPortW(nullptr, Owner.Window, nullptr); }, L"\\\\box\\CSUM5:", "");
  EXPECT_EQ((Names{L"\\\\box\\CSUM5:", L"LPT9:"}), PortNames());
  EXPECT_TRUE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"\\\\box\\CSUM5:")));
  EXPECT_EQ(before, HeapUse(portHeap)) << "port objects left behind";
}

// The settings shown and stored; with a server name nothing is shown and
// nothing saved.
TEST_F(Dialogs, SettingsShowAndStore) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPassThroughKey(L"CSUM1:", L"Laser 2"));
  Initialize();
  ExpectSettingsCases([&](const wchar_t* port) { return ConfigureCall(port); }, L"CSUM1:", Root.Child(L"CSUM1:"),
                      kPassTargetPrinter.Name, "");
  UiCall server = PlayDialog(kSettingsCaption, PressCancel, [&] {
    return Module->ConfigurePortW(const_cast<LPWSTR>(L"\\\\server"), Owner.Window, const_cast<LPWSTR>(L"CSUM1:"));
  });
  EXPECT_EQ(std::make_tuple(TRUE, static_cast<DWORD>(ERROR_INVALID_PARAMETER), false),
            std::make_tuple(server.Result, server.Error, server.Played));
  EXPECT_EQ(std::optional<std::wstring>(kPassTargetPrinter.Name), ReadString(Root.Child(L"CSUM1:"), L"Print To"));
}

// While the dialog is open the rest of the monitor works (its list, not
// locked), but its port cannot be deleted until the dialog and its save are
// over.
TEST_F(Dialogs, PortUnderAnOpenDialogCannotBeDeleted) {
  Initialize({L"CSUM1:", L"OTHER:"});
  BOOL deleted = TRUE;
  DWORD deleteError = 0;
  Names listed;
  UiCall call = Configure(L"CSUM1:", [&](HWND dialog) {
    SetLastError(kSentinel);
    deleted = Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"csum1:"));
    deleteError = GetLastError();
    listed = PortNames();
    Click(dialog, kPrintDocuments), Type(dialog, kPrinterEdit, L"Laser 1"), PressOk(dialog);
  });
  EXPECT_TRUE(call.Result && call.Played);
  EXPECT_EQ(std::make_pair(FALSE, static_cast<DWORD>(ERROR_BUSY)), std::make_pair(deleted, deleteError));
  EXPECT_EQ((Names{L"OTHER:", L"CSUM1:"}), listed);
  EXPECT_EQ(std::optional<std::wstring>(L"Laser 1"), ReadString(Root.Child(L"CSUM1:"), L"Print To"));
  EXPECT_TRUE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"CSUM1:"))) << GetLastError();
}

// Settings loaded from values that are not what they should be: "Print"
// shorter than four bytes is off; "Print To" without a terminator is read to
// the end of its data, and one longer than 2048 bytes is empty.
TEST_F(Dialogs, OddRegistryValuesLoadAsSensibleSettings) {
  const std::wstring tooLong(1024, L't');  // 2048 bytes, 2050 with a terminator
  const struct {
    const wchar_t* Port;
    std::wstring PrintTo;
    bool Terminated;
    std::wstring Shown;
  } cases[] = {
      {L"P3:", L"Laser 1", true, L"Laser 1"},  // "Print" of three bytes below
      {L"NOTERM:", L"Laser 1", false, L"Laser 1"},
      {L"TOOLONG:", tooLong, true, L""},
      {L"FULLNOTERM:", tooLong, false, tooLong},
  };
  for (const auto& c : cases) {
    // Unterminated: the registry adds a missing terminator itself when the
    // character after the data is one; here it is not.
    const std::wstring data = c.PrintTo + std::wstring(1, c.Terminated ? L'\0' : L'X');
    const size_t size = (c.PrintTo.size() + (c.Terminated ? 1 : 0)) * 2;
    ASSERT_EQ(ERROR_SUCCESS, CreateKey(Root.Child(c.Port)));
    ASSERT_EQ(ERROR_SUCCESS, WriteRaw(Root.Child(c.Port), L"Print To", REG_SZ, data.c_str(), size));
  }
  const BYTE threeBytes[] = {1, 1, 1};
  ASSERT_EQ(ERROR_SUCCESS, WriteRaw(Root.Child(L"P3:"), L"Print", REG_BINARY, threeBytes, 3));
  Initialize();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "port " << c.Port);
    UiCall shown = Configure(c.Port, PressCancel);
    EXPECT_EQ(std::make_tuple(true, false, c.Shown.size()),
              std::make_tuple(shown.Played, shown.Checked, shown.Text.size()));
    EXPECT_TRUE(c.Shown == shown.Text);
  }
}

}  // namespace
}  // namespace vt
