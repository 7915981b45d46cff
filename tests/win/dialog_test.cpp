// The two real dialogs under the fixture's X server: "Port Name" behind
// AddPortW and "Checksum Port Settings" behind ConfigurePortW, driven from a
// helper thread as a user would drive them; the settings a port loads from
// odd registry values, as the dialog shows them; deletion while a dialog is
// open; and the dialog templates themselves, read from the loaded library.
//
// The monitor attaches its thread's input to the owner window's thread
// before it shows a dialog, which fails for a window of the calling thread
// or none at all: the owner here lives on a thread of its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dialog_robot.h"
#include "monitor_fixture.h"
#include "printers.h"
#include "registry.h"
#include "test_printers.h"

namespace vt {
namespace {

using Names = std::vector<std::wstring>;
using Messages = std::vector<std::string>;

// ---------------------------------------------------------------------------

struct RawValue {
  DWORD Type = 0;
  std::vector<BYTE> Data;
  bool operator==(const RawValue& other) const { return Type == other.Type && Data == other.Data; }
};

std::optional<RawValue> ReadRaw(const std::wstring& keyPath, const wchar_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return std::nullopt;
  RawValue value;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExW(key, name, nullptr, &value.Type, nullptr, &size);
  if (status == ERROR_SUCCESS) {
    value.Data.resize(size);
    status = RegQueryValueExW(key, name, nullptr, &value.Type, value.Data.data(), &size);
  }
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return std::nullopt;
  return value;
}

LSTATUS WriteRaw(const std::wstring& keyPath, const wchar_t* name, DWORD type, const void* data,
                 size_t size) {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, keyPath.c_str(), name, type, data,
                         static_cast<DWORD>(size));
}

class Dialogs : public MonitorTest {
 protected:
  BOOL AddPort(LPWSTR server = nullptr) {
    SetLastError(kSentinel);
    return Module->AddPortW(server, Owner.Handle(), nullptr);
  }
  BOOL Configure(const wchar_t* port, LPWSTR server = nullptr) {
    SetLastError(kSentinel);
    return Module->ConfigurePortW(server, Owner.Handle(), const_cast<LPWSTR>(port));
  }
  // Opens the settings dialog of the port, reads it and cancels.
  DialogView Look(const wchar_t* port) {
    Robot robot(kSettingsCaption, PressCancel);
    EXPECT_TRUE(Configure(port)) << "error " << GetLastError();
    robot.Finish();
    EXPECT_TRUE(robot.Found());
    EXPECT_FALSE(robot.HadToCancel());
    return robot.Seen();
  }
  void ExpectSettings(const wchar_t* port, DWORD print, const std::wstring& printTo) {
    EXPECT_EQ(std::optional<DWORD>(print), ReadDword(HKEY_LOCAL_MACHINE, Root.Child(port), L"Print"));
    EXPECT_EQ(std::optional<std::wstring>(printTo),
              ReadString(HKEY_LOCAL_MACHINE, Root.Child(port), L"Print To"));
  }

  OwnerWindow Owner;
};

// ---------------------------------------------------------------------------
// "Port Name" through AddPortW

TEST_F(Dialogs, PortNameAddsTheTypedNameWithDefaultSettings) {
  Initialize({L"LPT9:"});
  Robot robot(kPortNameCaption, [](HWND dialog) {
    Type(dialog, kPortNameEdit, L"\\\\box\\CSUM5:");
    PressOk(dialog);
  });
  EXPECT_TRUE(AddPort()) << "error " << GetLastError();
  robot.Finish();
  ASSERT_TRUE(robot.Found());
  EXPECT_FALSE(robot.HadToCancel());
  EXPECT_EQ(L"", robot.Seen().Text) << "the field starts empty";

  EXPECT_EQ((Names{L"\\\\box\\CSUM5:", L"LPT9:"}), PortNames());
  std::wstring key = Root.Child(L",,box,CSUM5:");
  EXPECT_EQ(std::optional<DWORD>(0), ReadDword(HKEY_LOCAL_MACHINE, key, L"Print"));
  std::optional<RawValue> printTo = ReadRaw(key, L"Print To");
  ASSERT_TRUE(printTo);
  EXPECT_EQ((RawValue{REG_SZ, {0, 0}}), *printTo);
  EXPECT_EQ(Messages{}, Debug.Messages());
}

TEST_F(Dialogs, PortNameCancelledEveryWayAddsNothing) {
  Initialize({L"LPT9:"});
  const std::pair<const char*, Robot::Action> ways[] = {
      {"Cancel button", PressCancel}, {"Esc", PressEsc}, {"close box", CloseBox}};
  for (const auto& [way, press] : ways) {
    SCOPED_TRACE(way);
    Robot robot(kPortNameCaption, [press = press](HWND dialog) {
      Type(dialog, kPortNameEdit, L"NEVER:");
      press(dialog);
    });
    EXPECT_FALSE(AddPort());
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), GetLastError());
    robot.Finish();
    EXPECT_TRUE(robot.Found());
    EXPECT_FALSE(robot.HadToCancel());
  }
  EXPECT_EQ(Names{L"LPT9:"}, PortNames());
  EXPECT_EQ(Names{L"LPT9:"}, Subkeys(HKEY_LOCAL_MACHINE, Root.Path()));
}

TEST_F(Dialogs, PortNameRefusesCommasDuplicatesAndNothing) {
  Initialize({L"LPT9:"});
  const struct {
    const wchar_t* typed;
    DWORD error;
  } cases[] = {
      {L"a,b", ERROR_INVALID_NAME},
      {L"lpt9:", ERROR_ALREADY_EXISTS},
      {L"", ERROR_INVALID_NAME},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "typed \"" << c.typed << "\"");
    Robot robot(kPortNameCaption, [&](HWND dialog) {
      Type(dialog, kPortNameEdit, c.typed);
      PressOk(dialog);
    });
    EXPECT_FALSE(AddPort());
    EXPECT_EQ(c.error, GetLastError());
    robot.Finish();
    EXPECT_TRUE(robot.Found());
  }
  EXPECT_EQ(Names{L"LPT9:"}, PortNames());
  EXPECT_EQ(Names{L"LPT9:"}, Subkeys(HKEY_LOCAL_MACHINE, Root.Path()));
  EXPECT_FALSE(ReadDword(HKEY_LOCAL_MACHINE, Root.Path(), L"Print"));
}

// No dialog at all: a server name is refused before anything is made; an
// owner window on the calling thread, or none, cannot take the attachment.
TEST_F(Dialogs, PortNameIsNotShownWithoutAUsableOwnerOrWithAServer) {
  Initialize();
  {
    Robot robot(kPortNameCaption, PressCancel);
    EXPECT_FALSE(AddPort(const_cast<LPWSTR>(L"\\\\server")));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    robot.Finish();
    EXPECT_FALSE(robot.Found());
    EXPECT_EQ((Messages{"CPort::AddPortDialog does not handle pServerName != NULL"}),
              Debug.Messages());
  }

  HWND ownWindow = CreateWindowExW(0, L"STATIC", L"same thread", WS_OVERLAPPED, 0, 0, 10, 10,
                                   nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(nullptr, ownWindow);
  for (HWND owner : {static_cast<HWND>(nullptr), ownWindow}) {
    SCOPED_TRACE(owner ? "owner on the calling thread" : "no owner");
    Robot robot(kPortNameCaption, PressCancel);
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->AddPortW(nullptr, owner, nullptr));
    DWORD error = GetLastError();
    EXPECT_NE(kSentinel, error);
    EXPECT_NE(0u, error);
    robot.Finish();
    EXPECT_FALSE(robot.Found());
  }
  DestroyWindow(ownWindow);
  EXPECT_EQ(Names{}, PortNames());
  EXPECT_TRUE(Subkeys(HKEY_LOCAL_MACHINE, Root.Path()).empty());
}

// ---------------------------------------------------------------------------
// "Checksum Port Settings" through ConfigurePortW

TEST_F(Dialogs, SettingsShowTheStoredOnesAndOkStoresTheNewOnes) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({L"CSUM1:"}));
  ASSERT_EQ(ERROR_SUCCESS, WriteDword(HKEY_LOCAL_MACHINE, Root.Child(L"CSUM1:"), L"Print", 1));
  ASSERT_EQ(ERROR_SUCCESS, WriteString(HKEY_LOCAL_MACHINE, Root.Child(L"CSUM1:"), L"Print To",
                                       L"Laser 2"));
  Initialize();

  {
    // Off, and the field emptied.
    Robot robot(kSettingsCaption, [](HWND dialog) {
      Click(dialog, kPrintDocuments);
      Type(dialog, kPrinterEdit, L"");
      PressOk(dialog);
    });
    EXPECT_TRUE(Configure(L"csum1:")) << "error " << GetLastError();
    robot.Finish();
    ASSERT_TRUE(robot.Found());
    EXPECT_FALSE(robot.HadToCancel());
    EXPECT_TRUE(robot.Seen().Checked);
    EXPECT_EQ(L"Laser 2", robot.Seen().Text);
    ExpectSettings(L"CSUM1:", 0, L"");
    EXPECT_EQ((RawValue{REG_SZ, {0, 0}}), ReadRaw(Root.Child(L"CSUM1:"), L"Print To"));
  }
  {
    // On again, to the pass-through target, typed.
    Robot robot(kSettingsCaption, [](HWND dialog) {
      Click(dialog, kPrintDocuments);
      Type(dialog, kPrinterEdit, kPassTargetPrinter.Name);
      PressOk(dialog);
    });
    EXPECT_TRUE(Configure(L"CSUM1:")) << "error " << GetLastError();
    robot.Finish();
    ASSERT_TRUE(robot.Found());
    EXPECT_FALSE(robot.Seen().Checked);
    EXPECT_EQ(L"", robot.Seen().Text);
    ExpectSettings(L"CSUM1:", 1, kPassTargetPrinter.Name);
  }
  // The port uses what it stored.
  DialogView view = Look(L"CSUM1:");
  EXPECT_TRUE(view.Checked);
  EXPECT_EQ(kPassTargetPrinter.Name, view.Text);
  EXPECT_EQ(Messages{}, Debug.Messages());
}

TEST_F(Dialogs, SettingsCancelledChangeNothing) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({L"CSUM1:"}));
  ASSERT_EQ(ERROR_SUCCESS, WriteDword(HKEY_LOCAL_MACHINE, Root.Child(L"CSUM1:"), L"Print", 1));
  ASSERT_EQ(ERROR_SUCCESS, WriteString(HKEY_LOCAL_MACHINE, Root.Child(L"CSUM1:"), L"Print To",
                                       kPassTargetPrinter.Name));
  Initialize();
  std::optional<RawValue> print = ReadRaw(Root.Child(L"CSUM1:"), L"Print");
  std::optional<RawValue> printTo = ReadRaw(Root.Child(L"CSUM1:"), L"Print To");

  for (const Robot::Action& press : {Robot::Action(PressCancel), Robot::Action(PressEsc)}) {
    Robot robot(kSettingsCaption, [&](HWND dialog) {
      Click(dialog, kPrintDocuments);
      Type(dialog, kPrinterEdit, L"Laser 2");
      press(dialog);
    });
    EXPECT_TRUE(Configure(L"CSUM1:"));
    robot.Finish();
    EXPECT_TRUE(robot.Found());
    EXPECT_FALSE(robot.HadToCancel());
  }
  EXPECT_EQ(print, ReadRaw(Root.Child(L"CSUM1:"), L"Print"));
  EXPECT_EQ(printTo, ReadRaw(Root.Child(L"CSUM1:"), L"Print To"));
  DialogView view = Look(L"CSUM1:");
  EXPECT_TRUE(view.Checked);
  EXPECT_EQ(kPassTargetPrinter.Name, view.Text);
}

// With a server name the configuration answers TRUE (nothing to save) but
// leaves the dialog's refusal as the last error.
TEST_F(Dialogs, SettingsAreNotShownForAServer) {
  Initialize({L"CSUM1:"});
  Robot robot(kSettingsCaption, PressCancel);
  EXPECT_TRUE(Configure(L"CSUM1:", const_cast<LPWSTR>(L"\\\\server")));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  robot.Finish();
  EXPECT_FALSE(robot.Found());
  EXPECT_EQ((Messages{"CPort::ConfigurePortDialog does not handle pServer != NULL\n"}),
            Debug.Messages());
  EXPECT_FALSE(ReadDword(HKEY_LOCAL_MACHINE, Root.Child(L"CSUM1:"), L"Print"));
}

// While the dialog is open the port stays usable, but cannot be deleted
// until the dialog and its save are over.
TEST_F(Dialogs, PortUnderAnOpenDialogCannotBeDeleted) {
  Initialize({L"CSUM1:", L"OTHER:"});
  BOOL deleted = TRUE;
  DWORD deleteError = 0;
  BOOL otherDeleted = FALSE;
  Names listed;
  Robot robot(kSettingsCaption, [&](HWND dialog) {
    SetLastError(kSentinel);
    deleted = Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"csum1:"));
    deleteError = GetLastError();
    // The rest of the monitor is not held up by the dialog.
    otherDeleted = Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"OTHER:"));
    listed = PortNames();
    HANDLE port = nullptr;
    if (Module->OpenPort(const_cast<LPWSTR>(L"CSUM1:"), &port)) Module->ClosePort(port);
    Click(dialog, kPrintDocuments);
    Type(dialog, kPrinterEdit, L"Laser 1");
    PressOk(dialog);
  });
  EXPECT_TRUE(Configure(L"CSUM1:")) << "error " << GetLastError();
  robot.Finish();
  ASSERT_TRUE(robot.Found());
  EXPECT_FALSE(deleted);
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), deleteError);
  EXPECT_TRUE(otherDeleted);
  EXPECT_EQ(Names{L"CSUM1:"}, listed);
  // The save went to a port that still exists.
  ExpectSettings(L"CSUM1:", 1, L"Laser 1");

  SetLastError(kSentinel);
  EXPECT_TRUE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"CSUM1:")))
      << "error " << GetLastError();
  EXPECT_EQ(Names{}, PortNames());
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Root.Child(L"CSUM1:")));
}

// ---------------------------------------------------------------------------
// Settings loaded from values that are not what they should be, as the
// dialog then shows them.

TEST_F(Dialogs, OddRegistryValuesLoadAsSensibleSettings) {
  const std::wstring longName(1023, L'n');  // 2048 bytes with the terminator
  const std::wstring tooLong(1024, L't');   // 2050 bytes with the terminator
  const BYTE threeBytes[] = {1, 1, 1};
  const wchar_t printSz[] = L"A";  // 41 00 00 00: not zero
  const BYTE binaryOffThenOn[] = {0, 0, 0, 0, 1};
  struct Case {
    const wchar_t* port;
    DWORD printType;
    const void* print;
    size_t printSize;
    std::wstring printTo;
    bool terminated;
    bool expectChecked;
    std::wstring expectText;
  } const cases[] = {
      {L"P3:", REG_BINARY, threeBytes, sizeof threeBytes, L"Laser 1", true, false, L"Laser 1"},
      {L"PSZ:", REG_SZ, printSz, sizeof printSz, L"Laser 1", true, true, L"Laser 1"},
      {L"PBIN:", REG_BINARY, binaryOffThenOn, sizeof binaryOffThenOn, L"x", true, false, L"x"},
      {L"LONG:", REG_DWORD, nullptr, 0, longName, true, false, longName},
      {L"TOOLONG:", REG_DWORD, nullptr, 0, tooLong, true, false, L""},
      {L"FULLNOTERM:", REG_DWORD, nullptr, 0, tooLong, false, false, tooLong},
  };
  for (const Case& c : cases) {
    std::wstring key = Root.Child(c.port);
    ASSERT_EQ(ERROR_SUCCESS, CreateKey(HKEY_LOCAL_MACHINE, key));
    if (c.print) {
      ASSERT_EQ(ERROR_SUCCESS, WriteRaw(key, L"Print", c.printType, c.print, c.printSize));
    }
    // The registry adds a missing terminator itself when the character after
    // the data is one; here it is not.
    const std::wstring data = c.printTo + (c.terminated ? L"" : L"X");
    const size_t size = (c.printTo.size() + (c.terminated ? 1 : 0)) * 2;
    ASSERT_EQ(ERROR_SUCCESS, WriteRaw(key, L"Print To", REG_SZ, data.c_str(), size));
    ASSERT_EQ(size, ReadRaw(key, L"Print To").value().Data.size());
  }
  Initialize();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "port " << c.port);
    DialogView view = Look(c.port);
    EXPECT_EQ(c.expectChecked, view.Checked);
    EXPECT_EQ(c.expectText.size(), view.Text.size());
    EXPECT_TRUE(c.expectText == view.Text);
  }
}

// ---------------------------------------------------------------------------
// The dialog templates, exactly as the library carries them.

struct ItemTemplate {
  DWORD Style;
  WORD Id;
  std::wstring Class;
  std::wstring Text;
  short X, Y, Cx, Cy;
  DWORD ExStyle = 0;
  WORD ExtraBytes = 0;
  bool operator==(const ItemTemplate& o) const {
    return Style == o.Style && Id == o.Id && Class == o.Class && Text == o.Text && X == o.X &&
           Y == o.Y && Cx == o.Cx && Cy == o.Cy && ExStyle == o.ExStyle &&
           ExtraBytes == o.ExtraBytes;
  }
};

void PrintTo(const ItemTemplate& item, std::ostream* out) {
  char text[160];
  std::snprintf(text, sizeof text, "{id %u, style 0x%08lX, ex 0x%lX, %d,%d %dx%d, extra %u, ", item.Id,
                item.Style, item.ExStyle, item.X, item.Y, item.Cx, item.Cy, item.ExtraBytes);
  *out << text << testing::PrintToString(item.Class) << ", " << testing::PrintToString(item.Text)
       << "}";
}

struct DialogTemplate {
  DWORD Style = 0, ExStyle = 0;
  short X = 0, Y = 0, Cx = 0, Cy = 0;
  std::wstring Menu, Class, Caption, Font;
  WORD PointSize = 0;
  std::vector<ItemTemplate> Items;
};

// Reads a DLGTEMPLATE (not the extended form). Strings that are ordinals come
// back as "#<n>", predefined control classes by their names, however stored.
class TemplateReader {
 public:
  TemplateReader(const BYTE* data, size_t size) : Base(data), End(data + size), At(data) {}

  bool Read(DialogTemplate& dialog) {
    WORD items = 0;
    if (!Get(dialog.Style) || !Get(dialog.ExStyle) || !Get(items) || !Get(dialog.X) ||
        !Get(dialog.Y) || !Get(dialog.Cx) || !Get(dialog.Cy) || !String(dialog.Menu) ||
        !String(dialog.Class) || !String(dialog.Caption))
      return false;
    if ((dialog.Style & DS_SETFONT) && (!Get(dialog.PointSize) || !String(dialog.Font)))
      return false;
    for (WORD i = 0; i < items; ++i) {
      At = Base + ((At - Base + 3) & ~size_t{3});
      ItemTemplate item{};
      if (!Get(item.Style) || !Get(item.ExStyle) || !Get(item.X) || !Get(item.Y) || !Get(item.Cx) ||
          !Get(item.Cy) || !Get(item.Id) || !String(item.Class, true) || !String(item.Text) ||
          !Get(item.ExtraBytes))
        return false;
      At += item.ExtraBytes;
      dialog.Items.push_back(item);
    }
    return At <= End;
  }

 private:
  template <typename T>
  bool Get(T& value) {
    if (End - At < static_cast<ptrdiff_t>(sizeof value)) return false;
    std::memcpy(&value, At, sizeof value);
    At += sizeof value;
    return true;
  }
  bool String(std::wstring& text, bool controlClass = false) {
    WORD first = 0;
    if (!Get(first)) return false;
    if (first == 0xFFFF) {
      WORD ordinal = 0;
      if (!Get(ordinal)) return false;
      text = controlClass && ordinal >= 0x80 && ordinal <= 0x85 ? kClasses[ordinal - 0x80]
                                                                : L"#" + std::to_wstring(ordinal);
      return true;
    }
    text.clear();
    for (WORD c = first; c != 0; ) {
      text += static_cast<wchar_t>(c);
      if (!Get(c)) return false;
    }
    // The same class by name (windres writes "BUTTON" where other resource
    // compilers write the ordinal).
    if (controlClass) {
      for (const wchar_t* name : kClasses)
        if (lstrcmpiW(name, text.c_str()) == 0) text = name;
    }
    return true;
  }

  static constexpr const wchar_t* kClasses[] = {L"Button", L"Edit", L"Static",
                                                L"ListBox", L"ScrollBar", L"ComboBox"};

  const BYTE* Base;
  const BYTE* End;
  const BYTE* At;
};

BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list) {
  reinterpret_cast<std::vector<LANGID>*>(list)->push_back(language);
  return TRUE;
}

const LPCWSTR kDialogType = MAKEINTRESOURCEW(5);  // RT_DIALOG

class DialogTemplates : public MonitorTest {
 protected:
  std::vector<LANGID> Languages(WORD id) {
    std::vector<LANGID> languages;
    EnumResourceLanguagesW(Module.Handle(), kDialogType, MAKEINTRESOURCEW(id), AddLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    return languages;
  }

  DialogTemplate Load(WORD id, LANGID language) {
    DialogTemplate dialog;
    HRSRC resource = FindResourceExW(Module.Handle(), kDialogType, MAKEINTRESOURCEW(id), language);
    EXPECT_NE(nullptr, resource) << "dialog " << id << ", language " << language;
    if (!resource) return dialog;
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(Module.Handle(), resource)));
    DWORD size = SizeofResource(Module.Handle(), resource);
    WORD head[2] = {};
    std::memcpy(head, data, sizeof head);
    EXPECT_FALSE(head[0] == 1 && head[1] == 0xFFFF) << "an extended template";
    EXPECT_TRUE(TemplateReader(data, size).Read(dialog)) << "template " << id << " is cut short";
    return dialog;
  }

  void ExpectFrame(const DialogTemplate& d, const wchar_t* caption, short x, short y, short cx,
                   short cy) {
    EXPECT_EQ(0x90C800C0u, d.Style);  // popup, visible, caption, sysmenu, modal frame, set font
    EXPECT_EQ(0u, d.ExStyle);
    EXPECT_EQ(L"", d.Menu);
    EXPECT_EQ(L"", d.Class);
    EXPECT_EQ(caption, d.Caption);
    EXPECT_EQ(8, d.PointSize);
    EXPECT_EQ(L"MS Shell Dlg", d.Font);
    EXPECT_EQ(x, d.X);
    EXPECT_EQ(y, d.Y);
    EXPECT_EQ(cx, d.Cx);
    EXPECT_EQ(cy, d.Cy);
  }
};

TEST_F(DialogTemplates, PortName) {
  EXPECT_EQ(std::vector<LANGID>{MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)}, Languages(100));
  DialogTemplate d = Load(100, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
  ExpectFrame(d, L"Port Name", 12, 18, 214, 56);
  const std::vector<ItemTemplate> expected = {
      {0x50020000, 0xFFFF, L"Static", L"&Enter a port name:", 14, 10, 76, 8},
      {0x50810080, 101, L"Edit", L"", 12, 23, 134, 12},
      {0x50010001, IDOK, L"Button", L"OK", 168, 6, 40, 14},
      {0x50010000, IDCANCEL, L"Button", L"Cancel", 168, 23, 40, 14},
  };
  EXPECT_EQ(expected, d.Items);
}

TEST_F(DialogTemplates, ChecksumPortSettings) {
  const LANGID english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
  EXPECT_EQ(std::vector<LANGID>{english}, Languages(200));
  DialogTemplate d = Load(200, english);
  ExpectFrame(d, L"Checksum Port Settings", 6, 18, 225, 42);
  const std::vector<ItemTemplate> expected = {
      {0x50010003, 201, L"Button", L"Print &documents", 6, 6, 125, 10},
      {0x50810080, 202, L"Edit", L"", 45, 20, 115, 12},
      {0x50020000, 204, L"Static", L"&Printer:", 17, 20, 26, 11},
      {0x50010000, IDOK, L"Button", L"&OK", 179, 6, 40, 14},
      {0x50010000, IDCANCEL, L"Button", L"&Cancel", 179, 23, 40, 14},
  };
  EXPECT_EQ(expected, d.Items);
}

// ---------------------------------------------------------------------------
// Screenshots of both dialogs (see AskForScreenshot).

TEST_F(Dialogs, Screenshots) {
  if (!GetEnvironmentVariableW(L"VARDLET_SCREENSHOT_DIR", nullptr, 0))
    GTEST_SKIP() << "run by dialog_screenshots.sh";
  Initialize({L"CSUM1:"});
  {
    Robot robot(kPortNameCaption, [](HWND dialog) {
      Type(dialog, kPortNameEdit, L"CSUM2:");
      AskForScreenshot(dialog, "port-name");
      PressOk(dialog);
    });
    EXPECT_TRUE(AddPort()) << "error " << GetLastError();
    robot.Finish();
    EXPECT_TRUE(robot.Found());
  }
  {
    Robot robot(kSettingsCaption, [](HWND dialog) {
      Click(dialog, kPrintDocuments);
      Type(dialog, kPrinterEdit, kPassTargetPrinter.Name);
      AskForScreenshot(dialog, "checksum-port-settings");
      PressOk(dialog);
    });
    EXPECT_TRUE(Configure(L"CSUM2:")) << "error " << GetLastError();
    robot.Finish();
    EXPECT_TRUE(robot.Found());
  }
  ExpectSettings(L"CSUM2:", 1, kPassTargetPrinter.Name);
}

}  // namespace
}  // namespace vt
