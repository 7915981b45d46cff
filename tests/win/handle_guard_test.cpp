// The fault guards of the handle-based exports: whatever the spooler passes as
// a port handle or a count pointer, the call fails with the documented code
// instead of faulting. A crash here ends the whole program, so these live in
// a test program of their own.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "memory_pages.h"
#include "monitor_fixture.h"

namespace vt {
namespace {

using Messages = std::vector<std::string>;

const char kInvalidHandle[] = "CMonitor::MoClosePort(): port handle invalid.";

class HandleGuard : public MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    if (!HasFatalFailure()) Initialize({L"VT1:", L"VT2:"});
  }

  // Every handle-based export refuses `handle` with ERROR_INVALID_HANDLE;
  // only ClosePort says so on the debugger output.
  void ExpectRejected(HANDLE handle) {
    Debug.Clear();
    BYTE buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    DWORD count = 1234;
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->WritePort(handle, buffer, sizeof buffer, &count));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->ReadPort(handle, buffer, sizeof buffer, &count));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(1234u, count);
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->StartDocPort(handle, const_cast<LPWSTR>(L"Laser 1"), 1, 1, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->EndDocPort(handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(Messages{}, Debug.Messages());

    SetLastError(kSentinel);
    EXPECT_FALSE(Module->ClosePort(handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(Messages{kInvalidHandle}, Debug.Messages());
  }
};

HANDLE AsHandle(const void* address) { return const_cast<HANDLE>(address); }

TEST_F(HandleGuard, RejectsAddressesThatHoldNoObject) {
  ProtectedPage noAccess(PAGE_NOACCESS);
  ASSERT_TRUE(noAccess.Ok());
  const void* addresses[] = {
      reinterpret_cast<const void*>(1),
      reinterpret_cast<const void*>(0x10),
      reinterpret_cast<const void*>(0xfffc),
      noAccess.Bytes(),
      noAccess.Bytes() + 100,
      ReleasedAddress(),
      reinterpret_cast<const void*>(~static_cast<ULONG_PTR>(0) - 7),
  };
  for (const void* address : addresses) {
    SCOPED_TRACE(testing::Message() << "handle " << address);
    ExpectRejected(AsHandle(address));
  }
}

TEST_F(HandleGuard, RejectsReadableGarbage) {
  // Objects whose first word, the place of a class's dispatch table, is null,
  // a pattern, or a pointer to memory that cannot be read.
  ProtectedPage noAccess(PAGE_NOACCESS);
  ASSERT_TRUE(noAccess.Ok());
  std::vector<BYTE> zeros(256, 0);
  std::vector<BYTE> pattern(256, 0xcc);
  std::vector<BYTE> dangling(256, 0);
  void* target = noAccess.Bytes();
  std::memcpy(dangling.data(), &target, sizeof target);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);

  for (HANDLE handle : {AsHandle(zeros.data()), AsHandle(pattern.data()), AsHandle(dangling.data()),
                        event, GetCurrentProcess()}) {
    SCOPED_TRACE(testing::Message() << "handle " << handle);
    ExpectRejected(handle);
  }
  CloseHandle(event);
}

// A copy of a real port's dispatch table pointer with another signature
// after it: an object that looks like a port of a class that is not its own.
TEST_F(HandleGuard, RejectsAnObjectWhoseSignatureDoesNotMatch) {
  HANDLE port = Open(L"VT1:");
  ASSERT_NE(nullptr, port);
  alignas(16) BYTE forged[512] = {};
  std::memcpy(forged, port, sizeof(void*));
  const DWORD wrongSignature = 0x4b414546;  // "FEAK"
  std::memcpy(forged + sizeof(void*), &wrongSignature, sizeof wrongSignature);
  ExpectRejected(AsHandle(forged));
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
}

TEST_F(HandleGuard, RejectsThePortOfAnUnloadedLibrary) {
  HANDLE stale = Open(L"VT1:");
  ASSERT_NE(nullptr, stale);
  ASSERT_TRUE(Module.Reload()) << Module.Error();
  Initialize();
  ExpectRejected(stale);
  // The new monitor's own port of that name is unaffected.
  HANDLE fresh = Open(L"VT1:");
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(fresh));
}

TEST_F(HandleGuard, RejectsTheHandleOfADeletedPort) {
  HANDLE stale = Open(L"VT2:");
  ASSERT_NE(nullptr, stale);
  ASSERT_TRUE(Module->ClosePort(stale));
  SetLastError(kSentinel);
  ASSERT_TRUE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"VT2:")))
      << "error " << GetLastError();
  ExpectRejected(stale);
}

// WritePort and ReadPort store the byte count through the spooler's pointer;
// a pointer that cannot be written makes them fail with 87, storing nothing.
TEST_F(HandleGuard, RefusesCountPointersThatCannotBeWritten) {
  HANDLE port = Open(L"VT1:");
  ASSERT_NE(nullptr, port);
  ProtectedPage noAccess(PAGE_NOACCESS);
  ProtectedPage readOnly(PAGE_READONLY);
  ASSERT_TRUE(noAccess.Ok() && readOnly.Ok());
  // The last four bytes of a writable page run into a read-only one.
  BYTE* pair = static_cast<BYTE*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(nullptr, pair);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(pair + 4096, 4096, PAGE_READONLY, &old));

  BYTE buffer[32] = {};
  DWORD* counts[] = {noAccess.As<DWORD>(), readOnly.As<DWORD>(),
                     reinterpret_cast<DWORD*>(pair + 4094)};
  for (DWORD* count : counts) {
    SCOPED_TRACE(testing::Message() << "count pointer " << count);
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->WritePort(port, buffer, sizeof buffer, count));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->ReadPort(port, buffer, sizeof buffer, count));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
  // ReadPort has nowhere to report to without a pointer. (A checksum port's
  // WritePort accepts a null count pointer.)
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->ReadPort(port, buffer, sizeof buffer, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  EXPECT_EQ(0, readOnly.Bytes()[0]);
  EXPECT_EQ(0, pair[4094]);
  EXPECT_EQ(0, pair[4095]);

  // The port is still usable with a proper pointer.
  DWORD written = 0;
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->WritePort(port, buffer, sizeof buffer, &written));
  EXPECT_EQ(sizeof buffer, written);
  EXPECT_TRUE(Module->ClosePort(port));
  VirtualFree(pair, 0, MEM_RELEASE);
}

}  // namespace
}  // namespace vt
