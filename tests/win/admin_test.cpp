// Port administration without dialogs: AddPortExW at both record levels,
// DeletePortW, what the registry holds afterwards, what a reload of the
// library makes of it, and two additions of one name racing each other.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "memory_pages.h"
#include "monitor_fixture.h"
#include "printers.h"
#include "registry.h"
#include "test_printers.h"

namespace vt {
namespace {

using Names = std::vector<std::wstring>;

// The add record at level (DWORD)-1.
struct PortInfoFF {
  LPWSTR pName;
  DWORD cbMonitorData;
  LPBYTE pMonitorData;
};
constexpr DWORD kLevelFF = static_cast<DWORD>(-1);

struct RawValue {
  DWORD Type;
  std::vector<BYTE> Data;
};

std::optional<RawValue> ReadRaw(const std::wstring& keyPath, const wchar_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return std::nullopt;
  RawValue value{};
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

// "Print" as REG_DWORD and "Print To" as REG_SZ with its terminator.
void ExpectStoredSettings(const std::wstring& portKey, DWORD print, const std::wstring& printTo) {
  std::optional<RawValue> value = ReadRaw(portKey, L"Print");
  ASSERT_TRUE(value) << "no \"Print\"";
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), value->Type);
  ASSERT_EQ(4u, value->Data.size());
  DWORD stored;
  std::memcpy(&stored, value->Data.data(), 4);
  EXPECT_EQ(print, stored);

  value = ReadRaw(portKey, L"Print To");
  ASSERT_TRUE(value) << "no \"Print To\"";
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), value->Type);
  ASSERT_EQ((printTo.size() + 1) * 2, value->Data.size());
  EXPECT_EQ(0, std::memcmp(printTo.c_str(), value->Data.data(), value->Data.size()));
}

const wchar_t kDocument[] = L"vardlet admin test";

class Admin : public MonitorTest {
 protected:
  void TearDown() override {
    DeleteKeyTree(HKEY_LOCAL_MACHINE,
                  std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\Print\\Checksums\\") +
                      kJobPrinter.Name + L"\\" + kDocument);
    MonitorTest::TearDown();
  }

  BOOL AddRecord(const wchar_t* name) {
    PORT_INFO_1W record = {const_cast<LPWSTR>(name)};
    SetLastError(kSentinel);
    return Module->AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&record), nullptr);
  }

  BOOL AddWithPassThrough(const wchar_t* name, const wchar_t* printer) {
    PortInfoFF record = {const_cast<LPWSTR>(name),
                         printer ? static_cast<DWORD>((wcslen(printer) + 1) * 2) : 0u,
                         reinterpret_cast<LPBYTE>(const_cast<wchar_t*>(printer))};
    SetLastError(kSentinel);
    return Module->AddPortExW(nullptr, kLevelFF, reinterpret_cast<LPBYTE>(&record), nullptr);
  }

  BOOL Delete(const wchar_t* name) {
    SetLastError(kSentinel);
    return Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(name));
  }

  // One job through the port on a real job of Laser 1, as the spooler runs
  // it; what then reached Pass Target's output file (nullopt: nothing).
  std::optional<std::string> PrintThrough(const wchar_t* portName, const std::string& data) {
    std::wstring target = PrinterOutputFile(kPassTargetPrinter.Name);
    DeleteFileW(target.c_str());
    RealJob job(kJobPrinter.Name, kDocument);
    EXPECT_TRUE(job.Started()) << "error " << job.Error();
    HANDLE port = Open(portName);
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->StartDocPort(port, job.PrinterName(), job.Id(), 1, job.DocInfo()))
        << "error " << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(Module->WritePort(port, reinterpret_cast<LPBYTE>(const_cast<char*>(data.data())),
                                  static_cast<DWORD>(data.size()), &written));
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->EndDocPort(port)) << "error " << GetLastError();
    EXPECT_TRUE(Module->ClosePort(port));
    return ReadFileBytes(target);
  }
};

// ---------------------------------------------------------------------------
// AddPortExW

TEST_F(Admin, AddedPortsAreStoredWithTheirSettingsAndListedFirst) {
  Initialize({L"LPT9:"});

  ASSERT_TRUE(AddRecord(L"CSUM1:")) << "error " << GetLastError();
  EXPECT_EQ((Names{L"CSUM1:", L"LPT9:"}), PortNames());
  ExpectStoredSettings(Root.Child(L"CSUM1:"), 0, L"");

  ASSERT_TRUE(AddWithPassThrough(L"CSUM2:", kPassTargetPrinter.Name)) << "error " << GetLastError();
  EXPECT_EQ((Names{L"CSUM2:", L"CSUM1:", L"LPT9:"}), PortNames());
  ExpectStoredSettings(Root.Child(L"CSUM2:"), 1, kPassTargetPrinter.Name);

  ASSERT_TRUE(AddWithPassThrough(L"CSUM3:", nullptr)) << "error " << GetLastError();
  EXPECT_EQ(L"CSUM3:", PortNames().front());
  ExpectStoredSettings(Root.Child(L"CSUM3:"), 0, L"");

  // The settings in memory are the stored ones.
  const std::string data = "pass me through\n";
  EXPECT_EQ(std::optional<std::string>(data), PrintThrough(L"CSUM2:", data));
  EXPECT_EQ(std::nullopt, PrintThrough(L"CSUM1:", data));
}

TEST_F(Admin, CommasAreRefusedBackslashesStoredAsCommas) {
  Initialize({L"LPT9:"});

  ASSERT_TRUE(AddRecord(L"\\\\host\\queue")) << "error " << GetLastError();
  EXPECT_EQ((Names{L"\\\\host\\queue", L"LPT9:"}), PortNames());
  ExpectStoredSettings(Root.Child(L",,host,queue"), 0, L"");

  // Refused on both paths, at level -1 after the port took its settings;
  // even the name whose key already exists: the comma test comes first.
  for (const wchar_t* name : {L"a,b", L",,HOST,QUEUE", L"trailing,"}) {
    SCOPED_TRACE(testing::Message() << "name " << name);
    EXPECT_FALSE(AddRecord(name));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
    EXPECT_FALSE(AddWithPassThrough(name, kPassTargetPrinter.Name));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
  }
  EXPECT_EQ((Names{L"\\\\host\\queue", L"LPT9:"}), PortNames());
  Names keys = Subkeys(HKEY_LOCAL_MACHINE, Root.Path());
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ((Names{L",,host,queue", L"LPT9:"}), keys);
}

TEST_F(Admin, DuplicatesDifferingOnlyInCaseAreRefused) {
  Initialize({L"LPT9:"});
  ASSERT_TRUE(AddRecord(L"Csum1:"));

  for (const wchar_t* name : {L"lpt9:", L"CSUM1:", L"csum1:"}) {
    SCOPED_TRACE(testing::Message() << "name " << name);
    EXPECT_FALSE(AddRecord(name));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_FALSE(AddWithPassThrough(name, kPassTargetPrinter.Name));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  }
  EXPECT_EQ((Names{L"Csum1:", L"LPT9:"}), PortNames());
  // The refused records overwrote nothing.
  ExpectStoredSettings(Root.Child(L"Csum1:"), 0, L"");
  EXPECT_FALSE(ReadRaw(Root.Child(L"LPT9:"), L"Print"));
}

TEST_F(Admin, RefusedLevelsNamesAndRecordsLeaveNoTrace) {
  Initialize({L"LPT9:"});
  ProtectedPage noAccess(PAGE_NOACCESS);
  ASSERT_TRUE(noAccess.Ok());

  for (DWORD level : {0u, 2u}) {
    SCOPED_TRACE(testing::Message() << "level " << level);
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->AddPortExW(nullptr, level, noAccess.Bytes(), nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_LEVEL), GetLastError());
  }

  for (DWORD level : {DWORD{1}, kLevelFF}) {
    SCOPED_TRACE(testing::Message() << "level " << static_cast<int>(level));
    for (LPBYTE record : {static_cast<LPBYTE>(nullptr), noAccess.Bytes()}) {
      SetLastError(kSentinel);
      EXPECT_FALSE(Module->AddPortExW(nullptr, level, record, nullptr));
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
    // Empty and missing names would address the root key itself.
    for (const wchar_t* name : {L"", static_cast<const wchar_t*>(nullptr)}) {
      PortInfoFF record = {const_cast<LPWSTR>(name), 0, nullptr};
      SetLastError(kSentinel);
      EXPECT_FALSE(Module->AddPortExW(nullptr, level, reinterpret_cast<LPBYTE>(&record), nullptr));
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
    }
  }

  // A name the registry cannot take as a key (over 255 characters) passes
  // every test of the monitor: the save fails, and the linked port goes again.
  const std::wstring longName(300, L'L');
  EXPECT_FALSE(AddRecord(longName.c_str()));
  EXPECT_NE(kSentinel, GetLastError());
  EXPECT_NE(0u, GetLastError());

  EXPECT_EQ(Names{L"LPT9:"}, PortNames());
  EXPECT_EQ(Names{L"LPT9:"}, Subkeys(HKEY_LOCAL_MACHINE, Root.Path()));
  EXPECT_FALSE(ReadRaw(Root.Path(), L"Print"));
  EXPECT_FALSE(ReadRaw(Root.Path(), L"Print To"));
}

// ---------------------------------------------------------------------------
// DeletePortW

TEST_F(Admin, DeletionUnlinksFromAnyPlaceAndRemovesTheKey) {
  Initialize({L"A:", L"B:", L"C:", L"x,y"});
  ASSERT_EQ((Names{L"x\\y", L"C:", L"B:", L"A:"}), PortNames());

  struct Step {
    const wchar_t* name;  // matched without regard to case
    const wchar_t* key;
    Names after;
  } const steps[] = {
      {L"c:", L"C:", {L"x\\y", L"B:", L"A:"}},  // in the middle
      {L"X\\Y", L"x,y", {L"B:", L"A:"}},        // the head
      {L"a:", L"A:", {L"B:"}},                  // the tail
      {L"B:", L"B:", {}},                       // the only one
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::Message() << "deleting " << step.name);
    EXPECT_TRUE(Delete(step.name)) << "error " << GetLastError();
    EXPECT_EQ(step.after, PortNames());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Root.Child(step.key)));
  }
  EXPECT_TRUE(Subkeys(HKEY_LOCAL_MACHINE, Root.Path()).empty());

  // The list still works after it ran empty.
  ASSERT_TRUE(AddRecord(L"E:"));
  EXPECT_EQ(Names{L"E:"}, PortNames());
}

TEST_F(Admin, UnknownNamesAndOpenPortsAreRefused) {
  Initialize({L"A:", L"B:"});
  for (const wchar_t* name : {L"C:", L"A", L"A: ", L""}) {
    SCOPED_TRACE(testing::Message() << "name \"" << name << "\"");
    EXPECT_FALSE(Delete(name));
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PORT), GetLastError());
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->ConfigurePortW(nullptr, nullptr, const_cast<LPWSTR>(name)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PORT), GetLastError());
  }

  HANDLE port = Open(L"b:");
  EXPECT_FALSE(Delete(L"B:"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
  EXPECT_EQ((Names{L"B:", L"A:"}), PortNames());
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Root.Child(L"B:")));
  // Still open: a second open is refused, the close is a real one.
  HANDLE again = nullptr;
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->OpenPort(const_cast<LPWSTR>(L"B:"), &again));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
  EXPECT_EQ((std::vector<std::string>{"CPort::Open(): port already in use.\n"}), Debug.Messages());
  Debug.Clear();
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
  EXPECT_EQ(std::vector<std::string>{}, Debug.Messages()) << "the port was still open";
  EXPECT_TRUE(Delete(L"B:")) << "error " << GetLastError();
  EXPECT_EQ(Names{L"A:"}, PortNames());
}

// ---------------------------------------------------------------------------
// The registry is the only memory: a new load of the library rebuilds the
// same ports with the same settings.

TEST_F(Admin, ReloadRebuildsPortsAndSettingsFromTheRegistry) {
  Initialize();
  ASSERT_TRUE(AddWithPassThrough(L"PT:", kPassTargetPrinter.Name));
  ASSERT_TRUE(AddRecord(L"Plain:"));
  ASSERT_TRUE(AddRecord(L"x\\y"));
  Names before = PortNames();

  ASSERT_TRUE(Module.Reload()) << Module.Error();
  Initialize();
  Names after = PortNames();
  std::sort(before.begin(), before.end());
  std::sort(after.begin(), after.end());
  EXPECT_EQ(before, after);

  const std::string data = std::string("after the reload\0\x01\xff", 19);
  EXPECT_EQ(std::optional<std::string>(data), PrintThrough(L"PT:", data));
  EXPECT_EQ(std::nullopt, PrintThrough(L"Plain:", data));
}

// A printer name stored without its terminator is read to the end of the
// value's data, so pass-through still reaches the printer.
TEST_F(Admin, PrintToWithoutTerminatorIsTakenToTheEndOfItsData) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({L"NT:"}));
  std::wstring key = Root.Child(L"NT:");
  ASSERT_EQ(ERROR_SUCCESS, WriteDword(HKEY_LOCAL_MACHINE, key, L"Print", 1));
  // The registry adds the terminator itself when the character after the
  // data is one; here it is not.
  std::wstring printer = std::wstring(kPassTargetPrinter.Name) + L"X";
  const DWORD size = static_cast<DWORD>((printer.size() - 1) * 2);
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Print To", REG_SZ,
                                           printer.data(), size));
  ASSERT_EQ(size, ReadRaw(key, L"Print To").value().Data.size());
  Initialize();
  const std::string data = "no terminator\n";
  EXPECT_EQ(std::optional<std::string>(data), PrintThrough(L"NT:", data));
}

// ---------------------------------------------------------------------------
// Two additions of one name at the same moment: exactly one wins, the other
// is told the name exists, and the list holds the name once.

TEST_F(Admin, SimultaneousAdditionsOfOneNameAddItOnce) {
  Initialize();
  const int kRounds = 60;
  for (int round = 0; round < kRounds; ++round) {
    std::wstring name = L"RACE" + std::to_wstring(round) + L":";
    std::atomic<int> ready{0};
    BOOL result[2] = {};
    DWORD error[2] = {};
    auto add = [&](int i) {
      PortInfoFF record = {name.data(), 0, nullptr};
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      SetLastError(kSentinel);
      // One thread uses each record level.
      result[i] = Module->AddPortExW(nullptr, i == 0 ? 1 : kLevelFF,
                                     reinterpret_cast<LPBYTE>(&record), nullptr);
      error[i] = GetLastError();
    };
    std::thread first(add, 0), second(add, 1);
    first.join();
    second.join();
    ASSERT_EQ(1, !!result[0] + !!result[1]) << "round " << round;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), error[result[0] ? 1 : 0]) << "round " << round;
  }
  Names names = PortNames();
  ASSERT_EQ(static_cast<size_t>(kRounds), names.size());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names.end(), std::adjacent_find(names.begin(), names.end()));
  EXPECT_EQ(static_cast<size_t>(kRounds), Subkeys(HKEY_LOCAL_MACHINE, Root.Path()).size());
}

}  // namespace
}  // namespace vt
