// The monitor's port list and port handles, through the exported functions:
// ports read from the registry at InitializeMonitor, OpenPort and ClosePort,
// invalid handles, and unloading the library with a port open.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "monitor_fixture.h"
#include "registry.h"

namespace vt {
namespace {

using Names = std::vector<std::wstring>;
using Messages = std::vector<std::string>;

HANDLE const kUntouched = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5a5a5a5a));

// ---------------------------------------------------------------------------
// InitializeMonitor: one port per subkey of the root.

using MonitorInit = MonitorTest;

TEST_F(MonitorInit, ListsPortsInReverseEnumerationOrder) {
  // Created out of order: the list follows the registry's enumeration order
  // (Wine's is alphabetical), not the creation order.
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({L"Charlie", L"Alpha", L"Delta", L"Bravo"}));
  Names enumerated = Subkeys(HKEY_LOCAL_MACHINE, Root.Path());
  ASSERT_EQ(4u, enumerated.size());

  Initialize();
  Names expected(enumerated.rbegin(), enumerated.rend());
  EXPECT_EQ(expected, PortNames());
  EXPECT_TRUE(Debug.Messages().empty());
}

TEST_F(MonitorInit, CommasInKeyNamesBecomeBackslashes) {
  Initialize({L"x,y", L",,server,queue", L"Plain"});
  Names names = PortNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ((Names{L"Plain", L"\\\\server\\queue", L"x\\y"}), names);

  HANDLE port = Open(L"X\\Y");
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
  // The key keeps its stored form.
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Root.Child(L"x,y")));
}

TEST_F(MonitorInit, IgnoresValuesOfTheRoot) {
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(HKEY_LOCAL_MACHINE, Root.Path()));
  ASSERT_EQ(ERROR_SUCCESS, WriteString(HKEY_LOCAL_MACHINE, Root.Path(), L"Ports", L"Fake1:"));
  ASSERT_EQ(ERROR_SUCCESS, WriteDword(HKEY_LOCAL_MACHINE, Root.Path(), L"Fake2:", 1));
  ASSERT_EQ(ERROR_SUCCESS, WriteString(HKEY_LOCAL_MACHINE, Root.Path(), nullptr, L"default"));
  Initialize();
  EXPECT_EQ(Names{}, PortNames());
  SetLastError(kSentinel);
  HANDLE port = kUntouched;
  EXPECT_FALSE(Module->OpenPort(const_cast<LPWSTR>(L"Fake2:"), &port));
  EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PORT), GetLastError());
}

TEST_F(MonitorInit, CreatesAMissingRoot) {
  std::wstring nested = Root.Child(L"not\\there\\yet");
  ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Root.Path()));
  SetLastError(kSentinel);
  ASSERT_TRUE(Module->InitializeMonitor(nested.data())) << "error " << GetLastError();
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, nested));
  EXPECT_EQ(Names{}, PortNames());
}

// A subkey that cannot be opened for reading (its security denies it) stops
// the initialisation there: the ports read before it stay and are served,
// the subkeys after it are never read.
TEST_F(MonitorInit, FailureKeepsThePortsReadBeforeIt) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({L"A:", L"B:", L"C:", L"D:", L"E:"}));
  ASSERT_EQ((Names{L"A:", L"B:", L"C:", L"D:", L"E:"}), Subkeys(HKEY_LOCAL_MACHINE, Root.Path()));
  ASSERT_EQ(ERROR_SUCCESS, DenyRead(HKEY_LOCAL_MACHINE, Root.Child(L"C:")));

  SetLastError(kSentinel);
  EXPECT_FALSE(Module->InitializeMonitor(Root.Arg()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ((Names{L"B:", L"A:"}), PortNames());

  HANDLE port = Open(L"A:");
  EXPECT_TRUE(Module->ClosePort(port));
  for (const wchar_t* unread : {L"C:", L"D:", L"E:"}) {
    port = kUntouched;
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->OpenPort(const_cast<LPWSTR>(unread), &port)) << unread;
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PORT), GetLastError()) << unread;
  }
}

// ---------------------------------------------------------------------------
// OpenPort and ClosePort.

class MonitorOpenPort : public MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    if (!HasFatalFailure()) Initialize({L"PortA", L"LPT7:"});
  }
};

TEST_F(MonitorOpenPort, FindsNamesWithoutRegardToCase) {
  HANDLE port = Open(L"PORTA");
  ASSERT_NE(nullptr, port);
  // The same port: a second open under another spelling finds it busy.
  HANDLE again = kUntouched;
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->OpenPort(const_cast<LPWSTR>(L"porta"), &again));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
  HANDLE other = Open(L"lpt7:");
  EXPECT_NE(port, other);

  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
  EXPECT_TRUE(Module->ClosePort(other));
  EXPECT_EQ((Messages{"CPort::Open(): port already in use.\n"}), Debug.Messages());
}

TEST_F(MonitorOpenPort, RefusesANullHandlePointerWithoutOpening) {
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->OpenPort(const_cast<LPWSTR>(L"PortA"), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  // The name is not looked at.
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->OpenPort(const_cast<LPWSTR>(L"No Such Port"), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  // The refused call left the port closed.
  HANDLE port = Open(L"PortA");
  EXPECT_TRUE(Module->ClosePort(port));
  EXPECT_TRUE(Debug.Messages().empty());
}

TEST_F(MonitorOpenPort, RefusesUnknownNamesLeavingTheHandleUntouched) {
  for (const wchar_t* name : {L"No Such Port", L"PortA ", L"Port", L"", static_cast<const wchar_t*>(nullptr)}) {
    SCOPED_TRACE(testing::Message() << "name " << (name ? name : L"(null)"));
    HANDLE port = kUntouched;
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->OpenPort(const_cast<LPWSTR>(name), &port));
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PORT), GetLastError());
    EXPECT_EQ(kUntouched, port);
  }
}

TEST_F(MonitorOpenPort, RefusesAnOpenPortWithBusyLeavingTheHandleUntouched) {
  HANDLE first = Open(L"PortA");
  HANDLE second = kUntouched;
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->OpenPort(const_cast<LPWSTR>(L"PortA"), &second));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
  EXPECT_EQ(kUntouched, second);
  EXPECT_EQ((Messages{"CPort::Open(): port already in use.\n"}), Debug.Messages());

  // Still open after the refusal; free again after ClosePort.
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(first));
  HANDLE reopened = Open(L"PortA");
  EXPECT_EQ(first, reopened);
  EXPECT_TRUE(Module->ClosePort(reopened));
}

TEST_F(MonitorOpenPort, ClosingAClosedPortSucceedsWithAMessage) {
  HANDLE port = Open(L"PortA");
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
  Debug.Clear();
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
  EXPECT_EQ((Messages{"CPort::Close(): port is not in use.\n"}), Debug.Messages());
}

TEST_F(MonitorOpenPort, NullHandleFailsWithMessageOnlyFromClosePort) {
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->ClosePort(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  // No line feed at the end of this one.
  EXPECT_EQ((Messages{"CMonitor::MoClosePort(): port handle invalid."}), Debug.Messages());
  Debug.Clear();

  BYTE buffer[16] = {};
  DWORD count = 77;
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->WritePort(nullptr, buffer, sizeof buffer, &count));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->ReadPort(nullptr, buffer, sizeof buffer, &count));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(77u, count);
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->StartDocPort(nullptr, const_cast<LPWSTR>(L"Laser 1"), 1, 1, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->EndDocPort(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(Messages{}, Debug.Messages());
}

// ---------------------------------------------------------------------------
// Unloading the library destroys the monitor and every port, open or not.

using MonitorUnload = MonitorTest;

TEST_F(MonitorUnload, DestroysAnOpenPortAndSaysSo) {
  Initialize({L"Open:", L"Closed:", L"Idle:"});
  Open(L"Open:");
  HANDLE closed = Open(L"Closed:");
  ASSERT_TRUE(Module->ClosePort(closed));
  Debug.Clear();

  ASSERT_TRUE(Module.Unload()) << Module.Error();
  EXPECT_EQ((Messages{"CPort::~CPort(): port destroyed while still in use.\n"}), Debug.Messages());

  // A new load starts from the registry again, with every port free.
  ASSERT_TRUE(Module.Load()) << Module.Error();
  Initialize();
  HANDLE reopened = Open(L"Open:");
  EXPECT_TRUE(Module->ClosePort(reopened));
}

TEST_F(MonitorUnload, BeforeInitialisationIsQuiet) {
  ASSERT_TRUE(Module.Reload()) << Module.Error();
  ASSERT_TRUE(Module.Unload()) << Module.Error();
  EXPECT_EQ(Messages{}, Debug.Messages());
}

}  // namespace
}  // namespace vt
