// CStringW: null versus empty, comparison without regard to case, copies
// that never share, and concatenation with null operands.
#include <gtest/gtest.h>

#include "cstring.h"

namespace {

const WCHAR* Text(const CStringW& String)
{
    return String;
}

TEST(CStringW, NullAndEmptyAreDifferentStrings)
{
    CStringW Null, NullFromPointer((const WCHAR*)NULL), Empty(L""), OtherEmpty(L"");
    EXPECT_EQ(NULL, Text(Null));
    EXPECT_EQ(NULL, Text(NullFromPointer));
    ASSERT_NE(nullptr, Text(Empty));
    EXPECT_EQ(L'\0', Text(Empty)[0]);
    EXPECT_EQ(2u, Null.GetSize());  // a null string measures as empty
    EXPECT_EQ(2u, Empty.GetSize());

    EXPECT_EQ(1, Empty == OtherEmpty);
    EXPECT_EQ(1, Null == NullFromPointer);
    EXPECT_EQ(0, Null == Empty);
    EXPECT_EQ(0, Empty == Null);
}

TEST(CStringW, ComparesWithoutRegardToCase)
{
    CStringW Upper(L"COM1"), Lower(L"com1"), Other(L"COM2"), Null;
    EXPECT_EQ(1, Upper == Lower);
    EXPECT_EQ(0, Upper != L"com1");
    EXPECT_EQ(0, L"Com1" != Lower);
    EXPECT_EQ(1, Upper != L"COM2");
    EXPECT_EQ(0, Upper == Other);

    // Against a null pointer: only a null string is equal.
    EXPECT_EQ(1, Upper != (const WCHAR*)NULL);
    EXPECT_EQ(0, Null != (const WCHAR*)NULL);
    EXPECT_EQ(1, (const WCHAR*)NULL != CStringW(L""));
}

TEST(CStringW, CopiesNeverShareTheirText)
{
    WCHAR Source[] = L"Laser";
    CStringW FromPointer(Source);
    CStringW Copy(FromPointer);
    Source[0] = L'X';
    EXPECT_STREQ(L"Laser", Text(FromPointer));
    EXPECT_NE(Text(FromPointer), Text(Copy));
    EXPECT_EQ(12u, Copy.GetSize());

    CStringW Assigned;
    Assigned = Copy;
    Copy = L"changed";
    EXPECT_STREQ(L"Laser", Text(Assigned));
    EXPECT_STREQ(L"changed", Text(Copy));
}

TEST(CStringW, AssigningNullFreesTheOldText)
{
    CStringW Target(L"old"), Null;
    Target = Null;
    EXPECT_EQ(NULL, Text(Target));
    Target = L"again";
    Target = (const WCHAR*)NULL;
    EXPECT_EQ(NULL, Text(Target));

    // Freeing twice, and destruction after a free, are harmless.
    CStringW Freed(L"x");
    Freed.FreeString();
    Freed.FreeString();
    EXPECT_EQ(NULL, Text(Freed));
}

TEST(CStringW, AssigningFromItsOwnTextKeepsTheText)
{
    CStringW Self(L"abcdef");
    Self = Self;
    EXPECT_STREQ(L"abcdef", Text(Self));
    Self = Text(Self) + 2;  // a pointer into its own text
    EXPECT_STREQ(L"cdef", Text(Self));
}

TEST(CStringW, ConcatenatesWithOneTerminator)
{
    CStringW Joined = CStringW(L"AB") + CStringW(L"CD");
    EXPECT_STREQ(L"ABCD", Text(Joined));
    EXPECT_EQ(10u, Joined.GetSize());

    CStringW Chain = CStringW(L"root") + L"\\" + L"printer" + L"\\" + L"doc";
    EXPECT_STREQ(L"root\\printer\\doc", Text(Chain));
}

TEST(CStringW, ConcatenationWithNullOperandsOutlivesThem)
{
    CStringW Result1, Result2, Result3;
    {
        CStringW A(L"A"), B(L"B"), Null;
        Result1 = A + Null;
        Result2 = Null + B;
        Result3 = Null + Null;
        EXPECT_NE(Text(A), Text(Result1));  // a new string, not the operand
    }
    EXPECT_STREQ(L"A", Text(Result1));
    EXPECT_STREQ(L"B", Text(Result2));
    EXPECT_EQ(NULL, Text(Result3));

    // A null pointer operand is a null string: the record key keeps its
    // separator when a name is missing.
    CStringW Key = CStringW(L"root") + L"\\" + (const WCHAR*)NULL + L"\\" + L"doc";
    EXPECT_STREQ(L"root\\\\doc", Text(Key));
}

}  // namespace
