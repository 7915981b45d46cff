// The mechanisms that stand in for structured exception handling: the
// caller-memory checks, and the first-use creation of the private heaps.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "faultguard.h"
#include "privheap.h"

namespace {

// Two pages: the first committed with Protect, the second reserved only.
class CTwoPages
{
public:
    explicit CTwoPages(DWORD Protect)
    {
        SYSTEM_INFO Info;
        GetSystemInfo(&Info);
        cbPage = Info.dwPageSize;
        pBase = (BYTE*)VirtualAlloc(NULL, 2 * cbPage, MEM_RESERVE, PAGE_NOACCESS);
        VirtualAlloc(pBase, cbPage, MEM_COMMIT, PAGE_READWRITE);
        FillMemory(pBase, cbPage, 'x');
        DWORD Old;
        VirtualProtect(pBase, cbPage, Protect, &Old);
    }
    ~CTwoPages() { VirtualFree(pBase, 0, MEM_RELEASE); }
    BYTE* pBase;
    SIZE_T cbPage;
};

TEST(CallerMemory, ReadableAndWritableRanges)
{
    std::vector<BYTE> Heap(64);
    BYTE Stack[16];
    EXPECT_TRUE(IsReadableRange(Heap.data(), Heap.size()));
    EXPECT_TRUE(IsWritableRange(Heap.data(), Heap.size()));
    EXPECT_TRUE(IsWritableRange(Stack, sizeof(Stack)));
    EXPECT_TRUE(IsReadableRange(Heap.data(), 0));

    EXPECT_FALSE(IsReadableRange(NULL, 4));
    EXPECT_FALSE(IsWritableRange(NULL, 0));
    EXPECT_FALSE(IsReadableRange((void*)0x10, 4));
    // A range that wraps around the end of the address space.
    EXPECT_FALSE(IsReadableRange(Heap.data(), (SIZE_T)-1));
}

TEST(CallerMemory, ProtectionAndReservedPages)
{
    CTwoPages ReadOnly(PAGE_READONLY);
    EXPECT_TRUE(IsReadableRange(ReadOnly.pBase, ReadOnly.cbPage));
    EXPECT_FALSE(IsWritableRange(ReadOnly.pBase, 4));
    EXPECT_FALSE(GuardedStoreDword((LPDWORD)ReadOnly.pBase, 1));
    // Running on into the reserved page fails, even by one byte.
    EXPECT_FALSE(IsReadableRange(ReadOnly.pBase, ReadOnly.cbPage + 1));
    EXPECT_FALSE(IsReadableRange(ReadOnly.pBase + ReadOnly.cbPage, 1));

    CTwoPages NoAccess(PAGE_NOACCESS);
    EXPECT_FALSE(IsReadableRange(NoAccess.pBase, 1));
    EXPECT_FALSE(GuardedStoreDword((LPDWORD)NoAccess.pBase, 1));

    CTwoPages Guard(PAGE_READWRITE | PAGE_GUARD);
    EXPECT_FALSE(IsReadableRange(Guard.pBase, 1));

    CTwoPages Writable(PAGE_READWRITE);
    DWORD* pCount = (DWORD*)Writable.pBase;
    EXPECT_TRUE(GuardedStoreDword(pCount, 0x12345678));
    EXPECT_EQ(0x12345678u, *pCount);
}

TEST(CallerMemory, StringLengthStopsAtUnreadableMemory)
{
    CTwoPages Page(PAGE_READWRITE);
    WCHAR* pText = (WCHAR*)Page.pBase;
    SIZE_T cchPage = Page.cbPage / sizeof(WCHAR);
    SIZE_T cchLength = 99;

    lstrcpyW(pText, L"Laser 1");
    EXPECT_TRUE(GuardedStringLength(pText, &cchLength));
    EXPECT_EQ(7u, cchLength);

    // The terminator is the very last character of the readable page.
    for (SIZE_T Index = 0; Index < cchPage; Index++)
        pText[Index] = L'a';
    pText[cchPage - 1] = L'\0';
    EXPECT_TRUE(GuardedStringLength(pText + 10, &cchLength));
    EXPECT_EQ(cchPage - 11, cchLength);

    // No terminator before the reserved page: refused, not read past.
    pText[cchPage - 1] = L'a';
    EXPECT_FALSE(GuardedStringLength(pText, &cchLength));
    EXPECT_FALSE(GuardedStringLength(NULL, &cchLength));
}

struct CHeapRace
{
    HANDLE volatile hHeap;
    HANDLE hStart;
    HANDLE Seen[8];
};

DWORD WINAPI TakeHeap(LPVOID pParameter)
{
    CHeapRace* pRace = (CHeapRace*)((void**)pParameter)[0];
    int Index = (int)(INT_PTR)((void**)pParameter)[1];
    WaitForSingleObject(pRace->hStart, INFINITE);
    pRace->Seen[Index] = GetPrivateHeap(&pRace->hHeap);
    return 0;
}

TEST(PrivateHeap, ThreadsAllocatingAtOnceGetOneHeap)
{
    for (int Round = 0; Round < 20; Round++)
    {
        CHeapRace Race = {};
        Race.hStart = CreateEventW(NULL, TRUE, FALSE, NULL);
        DWORD HeapsBefore = GetProcessHeaps(0, NULL);
        HANDLE Threads[8];
        void* Parameters[8][2];
        for (int Index = 0; Index < 8; Index++)
        {
            Parameters[Index][0] = &Race;
            Parameters[Index][1] = (void*)(INT_PTR)Index;
            Threads[Index] = CreateThread(NULL, 0, TakeHeap, Parameters[Index], 0, NULL);
        }
        SetEvent(Race.hStart);
        WaitForMultipleObjects(8, Threads, TRUE, INFINITE);
        for (int Index = 0; Index < 8; Index++)
        {
            CloseHandle(Threads[Index]);
            EXPECT_EQ(Race.hHeap, Race.Seen[Index]) << "round " << Round;
        }
        ASSERT_NE(nullptr, Race.hHeap);
        EXPECT_EQ(HeapsBefore + 1, GetProcessHeaps(0, NULL)) << "round " << Round;
        HeapDestroy(Race.hHeap);
        CloseHandle(Race.hStart);
    }
}

TEST(PrivateHeap, AllocationComesFromTheOneHeap)
{
    HANDLE volatile hHeap = NULL;
    void* pBlock = PrivateHeapAlloc(&hHeap, 100);
    ASSERT_NE(nullptr, pBlock);
    EXPECT_TRUE(HeapValidate(hHeap, 0, pBlock));
    PrivateHeapFree(&hHeap, pBlock);
    PrivateHeapFree(&hHeap, NULL);  // ignored
    HeapDestroy(hHeap);
}

}  // namespace
