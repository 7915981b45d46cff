// EnumPortsW at level 1: the size query, the exact-fit boundary, where the
// records and the names go in the caller's buffer, and the refusals.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "monitor_fixture.h"

namespace vt {
namespace {

constexpr BYTE kFill = 0xA5;
constexpr DWORD kUntouched = 0x5a5a5a5a;
constexpr DWORD R = sizeof(PORT_INFO_1W);  // one record: a pointer

class Enumeration : public MonitorTest {
 protected:
  // Two ports in list order A, BC: each addition goes to the head.
  void AddAThenBC() {
    for (const wchar_t* name : {L"BC", L"A"}) {
      PORT_INFO_1W record = {const_cast<LPWSTR>(name)};
      SetLastError(kSentinel);
      ASSERT_TRUE(Module->AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&record), nullptr))
          << "error " << GetLastError();
    }
    ASSERT_EQ((std::vector<std::wstring>{L"A", L"BC"}), PortNames());
  }

  // EnumPortsW into the first `size` bytes of Buffer (filled with kFill, and
  // as long again, so that writes past the end show).
  BOOL Enum(DWORD size, LPWSTR server = nullptr) {
    Buffer.assign(2 * size + 16, kFill);
    Needed = Returned = kUntouched;
    SetLastError(kSentinel);
    return Module->EnumPortsW(server, 1, Buffer.data(), size, &Needed, &Returned);
  }

  bool FilledFrom(size_t begin, size_t end = 0) const {
    if (end == 0) end = Buffer.size();
    for (size_t i = begin; i < end; ++i)
      if (Buffer[i] != kFill) return false;
    return true;
  }

  std::vector<BYTE> Buffer;
  DWORD Needed = kUntouched;
  DWORD Returned = kUntouched;
};

TEST_F(Enumeration, SizeQueryAndTheExactFitBoundary) {
  Initialize();
  AddAThenBC();
  const DWORD total = 2 * R + 4 + 6;

  SetLastError(kSentinel);
  Needed = Returned = kUntouched;
  EXPECT_FALSE(Module->EnumPortsW(nullptr, 1, nullptr, 0, &Needed, &Returned));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(total, Needed);
  EXPECT_EQ(0u, Returned);

  // One byte short: refused, and not a byte of the buffer written.
  EXPECT_FALSE(Enum(total - 1));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(total, Needed);
  EXPECT_EQ(0u, Returned);
  EXPECT_TRUE(FilledFrom(0));

  // Exact fit; success leaves the last error alone.
  EXPECT_TRUE(Enum(total));
  EXPECT_EQ(kSentinel, GetLastError());
  EXPECT_EQ(total, Needed);
  EXPECT_EQ(2u, Returned);
}

// Records at the front in list order, names packed at the end of the buffer
// with the first port's name lowest, the bytes between left alone.
TEST_F(Enumeration, RecordsInFrontNamesAtTheEnd) {
  Initialize();
  AddAThenBC();
  const DWORD total = 2 * R + 10;
  for (DWORD extra : {0u, 6u}) {
    SCOPED_TRACE(testing::Message() << "buffer of " << total + extra << " bytes");
    ASSERT_TRUE(Enum(total + extra, const_cast<LPWSTR>(L"\\\\some-server")));
    const BYTE* base = Buffer.data();
    const auto* records = reinterpret_cast<const PORT_INFO_1W*>(base);
    const size_t nameA = 2 * R + extra;
    const size_t nameBC = nameA + 4;
    EXPECT_EQ(reinterpret_cast<LPWSTR>(const_cast<BYTE*>(base + nameA)), records[0].pName);
    EXPECT_EQ(reinterpret_cast<LPWSTR>(const_cast<BYTE*>(base + nameBC)), records[1].pName);
    EXPECT_EQ(0, std::memcmp(base + nameA, L"A", 4));
    EXPECT_EQ(0, std::memcmp(base + nameBC, L"BC", 6));
    EXPECT_TRUE(FilledFrom(2 * R, nameA)) << "the gap between records and names";
    EXPECT_TRUE(FilledFrom(total + extra)) << "past the end of the buffer";

    if (sizeof(void*) == 4) {
      // The 32-bit layout, byte for byte.
      EXPECT_EQ(extra == 0 ? 18u : 24u, total + extra);
      EXPECT_EQ(extra == 0 ? 8u : 14u, nameA);
      EXPECT_EQ(extra == 0 ? 12u : 18u, nameBC);
      const BYTE expectedNames[] = {'A', 0, 0, 0, 'B', 0, 'C', 0, 0, 0};
      EXPECT_EQ(0, std::memcmp(base + (extra == 0 ? 8 : 14), expectedNames, sizeof expectedNames));
    }
  }
}

TEST_F(Enumeration, OtherLevelsAreRefusedWithoutWritingAnything) {
  Initialize();
  AddAThenBC();
  for (DWORD level : {0u, 2u, 3u, 0xffffffffu}) {
    SCOPED_TRACE(testing::Message() << "level " << level);
    Buffer.assign(256, kFill);
    Needed = Returned = kUntouched;
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->EnumPortsW(nullptr, level, Buffer.data(), 128, &Needed, &Returned));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_LEVEL), GetLastError());
    EXPECT_EQ(kUntouched, Needed);
    EXPECT_EQ(kUntouched, Returned);
    EXPECT_TRUE(FilledFrom(0));
  }
}

TEST_F(Enumeration, NullBufferWithRoomClaimedIsRefusedAfterTheSizeTest) {
  Initialize();
  AddAThenBC();
  Needed = Returned = kUntouched;
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->EnumPortsW(nullptr, 1, nullptr, 4096, &Needed, &Returned));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(kUntouched, Needed);
  EXPECT_EQ(0u, Returned);
}

TEST_F(Enumeration, EmptyListSucceedsWhateverTheBuffer) {
  Initialize();
  BYTE buffer[64];
  for (LPBYTE pointer : {static_cast<LPBYTE>(nullptr), buffer}) {
    for (DWORD size : {DWORD{0}, DWORD{sizeof buffer}}) {
      SCOPED_TRACE(testing::Message() << (pointer ? "buffer" : "null") << ", " << size);
      std::memset(buffer, kFill, sizeof buffer);
      Needed = Returned = kUntouched;
      SetLastError(kSentinel);
      EXPECT_TRUE(Module->EnumPortsW(nullptr, 1, pointer, size, &Needed, &Returned));
      EXPECT_EQ(kSentinel, GetLastError());
      EXPECT_EQ(0u, Needed);
      EXPECT_EQ(0u, Returned);
      EXPECT_EQ(kFill, buffer[0]);
    }
  }
}

// Each path once with both count pointers NULL: nothing faults, the result
// and the last error are what they are with the pointers.
TEST_F(Enumeration, NullCountPointersAreAcceptedOnEveryPath) {
  Initialize();
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->EnumPortsW(nullptr, 1, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(kSentinel, GetLastError());

  AddAThenBC();
  const DWORD total = 2 * R + 10;
  struct Case {
    const char* what;
    DWORD level;
    bool withBuffer;
    DWORD size;
    BOOL result;
    DWORD error;
  } const cases[] = {
      {"size query", 1, false, 0, FALSE, ERROR_INSUFFICIENT_BUFFER},
      {"level 2", 2, true, total, FALSE, ERROR_INVALID_LEVEL},
      {"null buffer", 1, false, total, FALSE, ERROR_INVALID_PARAMETER},
      {"success", 1, true, total, TRUE, kSentinel},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Buffer.assign(total, kFill);
    SetLastError(kSentinel);
    EXPECT_EQ(c.result, Module->EnumPortsW(nullptr, c.level, c.withBuffer ? Buffer.data() : nullptr,
                                           c.size, nullptr, nullptr));
    EXPECT_EQ(c.error, GetLastError());
  }
  const auto* records = reinterpret_cast<const PORT_INFO_1W*>(Buffer.data());
  EXPECT_STREQ(L"A", records[0].pName);
  EXPECT_STREQ(L"BC", records[1].pName);
}

}  // namespace
}  // namespace vt
