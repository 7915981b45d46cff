// The library's own stand-ins, linked in: what of CStringW no export would
// show (null apart from empty, copies that never share their text), the
// caller-memory checks that replace structured exception handling, and the
// first-use creation of the private heaps.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cstring.h"
#include "faultguard.h"
#include "memory_pages.h"
#include "privheap.h"

namespace {

const WCHAR* const kNull = nullptr;
const WCHAR* Text(const CStringW& string) { return string; }
std::wstring Show(const WCHAR* text) { return text ? text : L"(null)"; }

TEST(CStringW, NullStaysApartAndCopiesOwnTheirText) {
  WCHAR source[] = L"Laser";
  CStringW null, empty(L""), fromPointer(source), copy(fromPointer), assigned, inner(L"Laser");
  assigned = copy;
  source[0] = L'X';
  copy = L"changed";
  inner = Text(inner) + 2;  // a pointer into its own text
  const struct {
    const char* What;
    std::wstring Shown, Expected;
  } cases[] = {
      {"default", Show(null), L"(null)"},
      {"from null", Show(CStringW(kNull)), L"(null)"},
      {"from empty", Show(empty), L""},
      {"from a changed pointer", Show(fromPointer), L"Laser"},
      {"assigned a changed copy", Show(assigned), L"Laser"},
      {"assigned its own tail", Show(inner), L"ser"},
      {"null + null", Show(null + null), L"(null)"},
      {"null + empty", Show(null + empty), L""},
      {"null == null", std::to_wstring(null == CStringW(kNull)), L"1"},
      {"empty == null", std::to_wstring(empty == null), L"0"},
      {"a copy shares its buffer", std::to_wstring(Text(fromPointer) == Text(assigned)), L"0"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.Expected, c.Shown) << c.What;
}

TEST(CallerMemory, RangesAndStores) {
  std::vector<BYTE> heap(64);
  vt::EdgePage edge;  // a read-write page, then a reserved one
  vt::ProtectedPage readOnly(PAGE_READONLY), noAccess(PAGE_NOACCESS), guard(PAGE_READWRITE | PAGE_GUARD),
      writable(PAGE_READWRITE);
  ASSERT_TRUE(edge.Ok() && readOnly.Ok() && noAccess.Ok() && guard.Ok() && writable.Ok());
  const struct {
    const char* What;
    const void* Start;
    SIZE_T Size;
    BOOL Readable, Writable;
  } cases[] = {
      // clang-format off
      {"heap", heap.data(), heap.size(), TRUE, TRUE},
      {"empty range", heap.data(), 0, TRUE, TRUE},
      {"null", nullptr, 0, FALSE, FALSE},
      {"0x10", reinterpret_cast<void*>(0x10), 4, FALSE, FALSE},
      {"wrapping around", heap.data(), static_cast<SIZE_T>(-1), FALSE, FALSE},
      {"read-only page", readOnly.Bytes(), 4096, TRUE, FALSE},
      {"the page before the reserved one", edge.End() - 4096, 4096, TRUE, TRUE},
      {"one byte into the reserved page", edge.End() - 4096, 4097, FALSE, FALSE},
      {"reserved page", edge.End(), 1, FALSE, FALSE},
      {"no-access page", noAccess.Bytes(), 1, FALSE, FALSE},
      {"guard page", guard.Bytes(), 1, FALSE, FALSE},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    EXPECT_EQ(c.Readable, IsReadableRange(c.Start, c.Size));
    EXPECT_EQ(c.Writable, IsWritableRange(const_cast<void*>(c.Start), c.Size));
  }
  EXPECT_FALSE(GuardedStoreDword(readOnly.As<DWORD>(), 1));
  EXPECT_FALSE(GuardedStoreDword(noAccess.As<DWORD>(), 1));
  EXPECT_TRUE(GuardedStoreDword(writable.As<DWORD>(), 0x12345678));
  EXPECT_EQ(0x12345678u, *writable.As<DWORD>());
}

TEST(CallerMemory, StringLengthStopsAtUnreadableMemory) {
  vt::EdgePage edge;
  ASSERT_TRUE(edge.Ok());
  WCHAR* text = reinterpret_cast<WCHAR*>(edge.End() - 4096);
  const SIZE_T last = 4096 / sizeof(WCHAR) - 1;
  SIZE_T length = 99;
  std::fill(text, text + last, L'a');
  text[last] = L'\0';  // the terminator is the very last character of the page
  EXPECT_TRUE(GuardedStringLength(text + 10, &length));
  EXPECT_EQ(last - 10, length);
  text[last] = L'a';  // none before the reserved page: refused, not read past
  EXPECT_FALSE(GuardedStringLength(text, &length));
  EXPECT_FALSE(GuardedStringLength(nullptr, &length));
}

// The live-port table with thousands of neighbouring objects, so that they
// share buckets: each can be taken out wherever it stands, and the rest stay.
TEST(LivePortTable, ManyEntriesComeAndGo) {
  static CLiveEntry entries[4096];
  static char objects[4096];
  auto isLive = [](const void* object) {
    return CheckLivePort(object, [](const void*, void*) -> BOOL { return TRUE; }, nullptr);
  };
  for (int i = 0; i < 4096; ++i) RegisterLivePort(&entries[i], &objects[i]);
  for (int i = 0; i < 4096; i += 2) UnregisterLivePort(&entries[i]);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(i % 2 == 1, isLive(&objects[i])) << i;
  for (int i = 1; i < 4096; i += 2) UnregisterLivePort(&entries[i]);
  for (int i = 0; i < 4096; ++i) ASSERT_FALSE(isLive(&objects[i])) << i;
}

TEST(PrivateHeap, ThreadsAllocatingAtOnceGetOneHeap) {
  for (int round = 0; round < 20; ++round) {
    HANDLE volatile heap = nullptr;
    HANDLE seen[8] = {};
    const DWORD heapsBefore = GetProcessHeaps(0, nullptr);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (HANDLE& mine : seen)
      threads.emplace_back([&] {
        for (++ready; ready < 8;) std::this_thread::yield();
        mine = GetPrivateHeap(&heap);
      });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(std::vector<HANDLE>(8, static_cast<HANDLE>(heap)), std::vector<HANDLE>(seen, seen + 8)) << "round " << round;
    EXPECT_EQ(heapsBefore + 1, GetProcessHeaps(0, nullptr)) << "round " << round;
    HeapDestroy(heap);
  }
}

}  // namespace
