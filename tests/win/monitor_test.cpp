// The monitor's port list through the exports: ports read from the registry
// at InitializeMonitor, OpenPort and ClosePort, EnumPortsW's buffer layout,
// adding and deleting ports with their settings and keys, what a reload of
// the library rebuilds, and port keys the registry refuses to read, write or
// delete. (Every refusal of bad input is in refusals_test.)

#include <algorithm>
#include <cstring>
#include <tuple>

#include "monitor_fixture.h"

namespace vt {
namespace {

const wchar_t kDocument[] = L"vt-monitor document";

class Ports : public MonitorTest {
 protected:
  // "Print" as a REG_DWORD and "Print To" as a REG_SZ with its terminator.
  void ExpectStoredSettings(const std::wstring& key, DWORD print, const std::wstring& printTo) {
    EXPECT_EQ(std::optional<DWORD>(print), ReadDword(Root.Child(key), L"Print"));
    const BYTE* text = reinterpret_cast<const BYTE*>(printTo.c_str());
    EXPECT_EQ((RawValue{REG_SZ, std::vector<BYTE>(text, text + (printTo.size() + 1) * 2)}),
              ReadRaw(Root.Child(key), L"Print To").value_or(RawValue{}));
  }
};

// ---------------------------------------------------------------------------
// InitializeMonitor: one port per subkey of the root, in reverse enumeration
// order (Wine's is alphabetical, not the creation order); values of the root
// are not ports; commas in key names stand for backslashes.

TEST_F(Ports, InitializeListsOnePortPerSubkey) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({L"Charlie", L"x,y", L",,server,queue", L"Alpha"}));
  ASSERT_EQ(ERROR_SUCCESS, WriteString(Root.Path(), L"Ports", L"Fake1:"));
  ASSERT_EQ(ERROR_SUCCESS, WriteDword(Root.Path(), L"Fake2:", 1));
  Names expected = Subkeys(Root.Path());
  std::reverse(expected.begin(), expected.end());
  for (std::wstring& name : expected) std::replace(name.begin(), name.end(), L',', L'\\');
  Initialize();
  EXPECT_EQ(expected, PortNames());
  EXPECT_TRUE(Module->ClosePort(Open(L"X\\Y")));
  EXPECT_TRUE(KeyExists(Root.Child(L"x,y"))) << "the key keeps its stored form";
}

// A second InitializeMonitor (the spooler may call it again) on the same
// root, in any letters, changes nothing; on another root it is refused. A
// first one on a root that is not there creates it.
TEST_F(Ports, InitializeAgainOrOnAMissingRoot) {
  Initialize({L"A:", L"B:", L"C:"});
  const Names ports = PortNames();
  std::wstring upper = Root.Path(), other = Root.Path() + L" other";
  CharUpperW(upper.data());
  const struct {
    LPWSTR Root;
    BOOL Result;
  } cases[] = {{Root.Arg(), TRUE}, {upper.data(), TRUE}, {other.data(), FALSE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Root);
    SetLastError(kSentinel);
    EXPECT_EQ(c.Result, Module->InitializeMonitor(c.Root));
    if (!c.Result) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_INITIALIZED), GetLastError());
    }
    EXPECT_EQ(ports, PortNames());
  }
  EXPECT_FALSE(KeyExists(other));

  ASSERT_TRUE(Module.Reload()) << Module.Error();
  std::wstring nested = Root.Child(L"not\\there\\yet");
  SetLastError(kSentinel);
  ASSERT_TRUE(Module->InitializeMonitor(nested.data())) << "error " << GetLastError();
  EXPECT_TRUE(KeyExists(nested));
  EXPECT_EQ(Names{}, PortNames());
}

// ---------------------------------------------------------------------------
// OpenPort and ClosePort: names match without regard to case; a port is open
// once; closing a closed port succeeds. Unloading destroys the
// monitor and every port, open or not; a new load starts from the registry
// again with every port free.

TEST_F(Ports, OpenCloseAndUnload) {
  Initialize({L"PortA", L"LPT7:"});
  HANDLE port = Open(L"PORTA");
  EXPECT_NE(port, Open(L"lpt7:"));
  EXPECT_TRUE(Module->ClosePort(port));
  EXPECT_EQ(port, Open(L"porta"));
  EXPECT_TRUE(Module->ClosePort(port));
  EXPECT_TRUE(Module->ClosePort(port)) << "a closed port closes again";
  ASSERT_TRUE(Module.Reload()) << Module.Error();  // with LPT7: open
  Initialize();
  EXPECT_TRUE(Module->ClosePort(Open(L"LPT7:")));
}

// ---------------------------------------------------------------------------
// EnumPortsW: records at the front in list order, names packed at the end of
// the buffer, first port's name lowest, the bytes between left alone; the
// size query and the exact fit; success leaves the last error alone.

TEST_F(Ports, EnumerationLayoutAndExactFit) {
  Initialize();
  DWORD needed = 0, returned = 0;
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned)) << "an empty list";
  EXPECT_EQ(kSentinel, GetLastError());
  EXPECT_EQ(0u, needed + returned);
  for (const wchar_t* name : {L"BC", L"A"}) ASSERT_TRUE(AddPort(name)) << GetLastError();
  const DWORD R = sizeof(PORT_INFO_1W), total = 2 * R + 4 + 6;
  for (DWORD size : {total - 1, total, total + 6}) {
    SCOPED_TRACE(testing::Message() << "buffer of " << size << " bytes");
    std::vector<BYTE> buffer(2 * size, 0xa5);
    needed = returned = 0x5a5a5a5a;
    SetLastError(kSentinel);
    BOOL ok =
        Module->EnumPortsW(const_cast<LPWSTR>(L"\\\\server"), 1, buffer.data(), size, &needed, &returned);
    const DWORD error = size >= total ? kSentinel : ERROR_INSUFFICIENT_BUFFER;
    EXPECT_EQ(std::make_tuple(size >= total, error, total, ok ? 2u : 0u),
              std::make_tuple(!!ok, GetLastError(), needed, returned));
    const size_t nameA = ok ? size - 10 : buffer.size();
    std::vector<BYTE> expected(2 * size, 0xa5);
    if (ok) {
      const LPWSTR names[] = {reinterpret_cast<LPWSTR>(buffer.data() + nameA),
                              reinterpret_cast<LPWSTR>(buffer.data() + nameA + 4)};
      std::memcpy(expected.data(), names, sizeof names);
      std::memcpy(expected.data() + nameA, L"A\0BC", 10);
    }
    EXPECT_EQ(expected, buffer);
    // The 32-bit layout, byte for byte: records at 0 and 4, names from 8.
    EXPECT_TRUE(sizeof(void*) != 4 || size != total || nameA == 8);
  }
  // Count pointers may be null on every path.
  std::vector<BYTE> buffer(total);
  EXPECT_FALSE(Module->EnumPortsW(nullptr, 1, nullptr, 0, nullptr, nullptr));
  EXPECT_TRUE(Module->EnumPortsW(nullptr, 1, buffer.data(), total, nullptr, nullptr));
}

// ---------------------------------------------------------------------------
// AddPortExW and DeletePortW.

TEST_F(Ports, AddedPortsAreStoredAndListedFirst) {
  Initialize({L"LPT9:"});
  ASSERT_TRUE(AddPort(L"CSUM1:")) << GetLastError();
  ASSERT_TRUE(AddPort(L"CSUM2:", kLevelFF, kPassTargetPrinter.Name)) << GetLastError();
  ASSERT_TRUE(AddPort(L"\\\\host\\queue", kLevelFF, nullptr)) << GetLastError();
  EXPECT_EQ((Names{L"\\\\host\\queue", L"CSUM2:", L"CSUM1:", L"LPT9:"}), PortNames());
  ExpectStoredSettings(L"CSUM1:", 0, L"");
  ExpectStoredSettings(L"CSUM2:", 1, kPassTargetPrinter.Name);
  // (What the settings do to a job, as added and as loaded, is job_test's.)
}

TEST_F(Ports, DeletionUnlinksFromAnyPlaceAndRemovesTheKey) {
  Initialize({L"A:", L"B:", L"C:", L"x,y"});
  ASSERT_EQ((Names{L"x\\y", L"C:", L"B:", L"A:"}), PortNames());
  ASSERT_TRUE(Module->ClosePort(Open(L"b:")));
  const struct {
    const wchar_t* Name;  // matched without regard to case
    const wchar_t* Key;
    Names After;
  } steps[] = {
      {L"c:", L"C:", {L"x\\y", L"B:", L"A:"}},  // in the middle
      {L"X\\Y", L"x,y", {L"B:", L"A:"}},        // the head
      {L"a:", L"A:", {L"B:"}},                  // the tail
      {L"B:", L"B:", {}},                       // the only one, after its close
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(testing::Message() << "deleting " << step.Name);
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(step.Name))) << GetLastError();
    EXPECT_EQ(step.After, PortNames());
    EXPECT_FALSE(KeyExists(Root.Child(step.Key)));
  }
  EXPECT_EQ(Names{}, Subkeys(Root.Path()));
  // The list still works after it ran empty. One comparison of names for
  // adding and deleting, as for the registry's keys: beyond ASCII too,
  // "\u00E41:" is the port "\u00C41:".
  ASSERT_TRUE(AddPort(L"\u00C41:"));
  EXPECT_FALSE(AddPort(L"\u00E41:"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_TRUE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"\u00E41:"))) << GetLastError();
  EXPECT_EQ(Names{}, PortNames());
}

// Port keys the registry will not let be read, let go of or let be written.
// A subkey that cannot be read stops the initialisation with the registry's
// code: the ports read before it (in Wine's alphabetical order) stay and are
// served, later ones are not listed. A deletion that fails leaves the port
// listed and usable; an addition that fails leaves no port behind. The
// longest storable name works.
TEST_F(Ports, PortKeysTheRegistryRefuses) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({L"A:", L"KEEP:", L"KEEP:\\child", L"LOCKED:", L"Z:"}));
  ASSERT_EQ(ERROR_SUCCESS, DenyRead(Root.Child(L"LOCKED:")));
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->InitializeMonitor(Root.Arg()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"KEEP:")));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(AddPort(L"LOCKED:"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ((Names{L"KEEP:", L"A:"}), PortNames());
  PrintJob(L"KEEP:", kDocument, MakeJob(8, 3000, 500));
  const std::wstring longest(255, L'L');
  ASSERT_TRUE(AddPort(longest.c_str())) << GetLastError();
}

}  // namespace
}  // namespace vt
