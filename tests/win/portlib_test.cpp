// The library's own stand-ins, linked in: CStringW (null versus empty,
// comparison without regard to case, copies that never share, concatenation
// with null operands), the caller-memory checks that replace structured
// exception handling, and the first-use creation of the private heaps.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "cstring.h"
#include "faultguard.h"
#include "memory_pages.h"
#include "privheap.h"

namespace {

const WCHAR* Text(const CStringW& string) { return string; }
std::wstring Show(const WCHAR* text) { return text ? text : L"(null)"; }
const WCHAR* const kNull = nullptr;

TEST(CStringW, NullEmptyCaseAndConcatenation) {
  CStringW null, empty(L""), upper(L"COM1");
  EXPECT_EQ(nullptr, Text(null));
  EXPECT_EQ(nullptr, Text(CStringW(kNull)));
  EXPECT_STREQ(L"", Text(empty));
  EXPECT_EQ(2u, null.GetSize());  // a null string measures as empty
  EXPECT_EQ(10u, upper.GetSize());
  // operator== and operator!= answer 1 or 0; only a null string equals null.
  const struct {
    const CStringW& Left;
    const WCHAR* Right;
    int Equal;
  } cases[] = {{upper, L"com1", 1}, {upper, L"COM2", 0}, {empty, L"", 1},  {null, kNull, 1},
               {empty, kNull, 0},   {null, L"", 0},      {upper, kNull, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << Show(Text(c.Left)) << " vs " << Show(c.Right));
    EXPECT_EQ(c.Equal, c.Left == CStringW(c.Right));
    EXPECT_EQ(!c.Equal, c.Left != c.Right);
    EXPECT_EQ(!c.Equal, c.Right != c.Left);
  }
  // A null operand counts as absent, in both forms, and the result is a
  // block of its own.
  const struct {
    const WCHAR *Left, *Right, *Joined;
  } joins[] = {{L"A", L"B", L"AB"}, {L"A", kNull, L"A"}, {kNull, L"B", L"B"}, {kNull, kNull, kNull}};
  for (const auto& c : joins) {
    SCOPED_TRACE(testing::Message() << Show(c.Left) << " + " << Show(c.Right));
    CStringW left(c.Left), right(c.Right), joined = left + right, withText = left + c.Right;
    EXPECT_EQ(Show(c.Joined), Show(Text(joined)));
    EXPECT_EQ(Show(c.Joined), Show(Text(withText)));
    if (c.Joined) {
      EXPECT_NE(Text(joined), Text(left.IsNull() ? right : left));
    }
  }
  CStringW path = CStringW(L"A") + L"\\" + kNull + L"\\" + L"B";  // a missing name keeps its separator
  EXPECT_STREQ(L"A\\\\B", Text(path));
  EXPECT_EQ(10u, path.GetSize());
}

TEST(CStringW, CopiesAndAssignmentsNeverShare) {
  WCHAR source[] = L"Laser";
  CStringW fromPointer(source), copy(fromPointer), assigned;
  source[0] = L'X';
  assigned = copy;
  copy = L"changed";
  EXPECT_STREQ(L"Laser", Text(fromPointer));
  EXPECT_STREQ(L"Laser", Text(assigned));
  EXPECT_NE(Text(fromPointer), Text(assigned));
  assigned = assigned;
  assigned = Text(assigned) + 2;  // a pointer into its own text
  EXPECT_STREQ(L"ser", Text(assigned));
  assigned = kNull;
  EXPECT_EQ(nullptr, Text(assigned));
  assigned.FreeString();  // twice is harmless
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
  lstrcpyW(text, L"Laser 1");
  EXPECT_TRUE(GuardedStringLength(text, &length));
  EXPECT_EQ(7u, length);
  text[7] = L'a';
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
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::thread> threads;
    for (HANDLE& mine : seen)
      threads.emplace_back([&] { WaitForSingleObject(start, INFINITE), mine = GetPrivateHeap(&heap); });
    SetEvent(start);
    for (std::thread& thread : threads) thread.join();
    ASSERT_NE(nullptr, heap);
    for (HANDLE mine : seen) EXPECT_EQ(heap, mine) << "round " << round;
    EXPECT_EQ(heapsBefore + 1, GetProcessHeaps(0, nullptr)) << "round " << round;
    void* block = PrivateHeapAlloc(&heap, 100);
    EXPECT_TRUE(HeapValidate(heap, 0, block));
    PrivateHeapFree(&heap, block);
    PrivateHeapFree(&heap, nullptr);  // ignored
    HeapDestroy(heap), CloseHandle(start);
  }
}

}  // namespace
