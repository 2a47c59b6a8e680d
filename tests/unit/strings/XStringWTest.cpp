#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "TestSupport.h"
#include "strings/XStringA.h"
#include "strings/XStringW.h"

namespace {

using testing_support::Utf8;

std::string Show(const XStringW& s)
{
    return Utf8(s.GetString());
}

// The text is always followed by a zero character, and its recorded length matches it.
void ExpectTerminated(const XStringW& s)
{
    EXPECT_EQ(s.GetString()[s.GetLength()], L'\0') << Show(s);
    EXPECT_GE(s.GetCapacity(), s.GetByteLength());
}

TEST(XStringW, NullAndEmptyStringsHoldOneZeroCharacter)
{
    const XStringW fromNull(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(fromNull.GetLength(), 0);
    EXPECT_TRUE(fromNull.IsEmpty());
    EXPECT_STREQ(fromNull.GetString(), L"");
    ExpectTerminated(fromNull);

    XStringW target(L"abc");
    target = XStringW();
    EXPECT_TRUE(target.IsEmpty());
    EXPECT_EQ(target.GetCapacity(), 0);
    ExpectTerminated(target);
}

TEST(XStringW, SelfAssignmentAndAppendingItselfKeepTheText)
{
    XStringW s(L"abc");
    const XStringW& alias = s;
    s = alias;
    EXPECT_STREQ(s.GetString(), L"abc");
    s += s;
    EXPECT_STREQ(s.GetString(), L"abcabc");
    s += s.GetString() + 3;
    EXPECT_STREQ(s.GetString(), L"abcabcabc");
    s = s.GetString() + 6;
    EXPECT_STREQ(s.GetString(), L"abc");
    ExpectTerminated(s);
}

TEST(XStringW, ConcatenationAcceptsNullOnEitherSide)
{
    const XStringW s(L"ab");
    EXPECT_STREQ((s + L"cd").GetString(), L"abcd");
    EXPECT_STREQ((L"cd" + s).GetString(), L"cdab");
    EXPECT_STREQ((s + static_cast<const wchar_t*>(nullptr)).GetString(), L"ab");
    XStringW t;
    t += static_cast<const wchar_t*>(nullptr);
    t += XStringW();
    EXPECT_TRUE(t.IsEmpty());
}

TEST(XStringW, SubstringsClampTheirArguments)
{
    const XStringW s(L"abcdef");
    struct Case {
        XStringW actual;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {s.Left(2), L"ab"},        {s.Left(10), L"abcdef"},  {s.Left(0), L""},
        {s.Left(-1), L""},         {s.Mid(2, 0), L"cdef"},   {s.Mid(2, 3), L"cde"},
        {s.Mid(4, 100), L"ef"},    {s.Mid(6, 1), L""},       {s.Mid(1, -1), L""},
        {s.Mid(-1, 2), L""},       {s.Right(2), L"ef"},      {s.Right(10), L"abcdef"},
        {s.Right(0), L""},         {XStringW().Right(3), L""}, {XStringW().Mid(0, 0), L""},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(c.actual.GetString(), c.expected);
        ExpectTerminated(c.actual);
    }
    EXPECT_EQ(s.GetAt(0), L'a');
    EXPECT_EQ(s.GetAt(5), L'f');
    EXPECT_EQ(s.GetAt(6), 0);
    EXPECT_EQ(s.GetAt(-1), 0);
}

TEST(XStringW, TrimmingRemovesOnlyWhitespace)
{
    XStringW right(L"  a b \t");
    EXPECT_STREQ(right.TrimRight().GetString(), L"  a b");
    XStringW blanks(L"   ");
    EXPECT_TRUE(blanks.TrimRight().IsEmpty());
    ExpectTerminated(blanks);
    XStringW left(L" \r\na ");
    EXPECT_STREQ(left.TrimLeft().GetString(), L"a ");
    EXPECT_EQ(left.GetLength(), 2);
    ExpectTerminated(left);
    XStringW both(L"\x0b\x0c word\x0d\x0a");
    both.TrimRight();
    both.TrimLeft();
    EXPECT_STREQ(both.GetString(), L"word");
    XStringW notBlank(L"\x00a0x");  // no-break space is not whitespace here
    EXPECT_EQ(notBlank.TrimLeft().GetLength(), 2);
}

TEST(XStringW, SearchingAndComparing)
{
    EXPECT_EQ(XStringW(L"D:\\Logs").Find(L":\\"), 1);
    EXPECT_EQ(XStringW(L"Log").Find(L":\\"), -1);
    EXPECT_EQ(XStringW(L"abab").Find(L"ab"), 0);
    EXPECT_EQ(XStringW(L"xxab").Find(L"abc"), -1);
    EXPECT_EQ(XStringW().Find(L"a"), -1);
    EXPECT_EQ(XStringW(L"a\\b\\d").ReverseFind(L"\\"), 3);
    EXPECT_EQ(XStringW(L"abc").ReverseFind(L"\\"), -1);
    EXPECT_EQ(XStringW(L"abab").ReverseFind(L"ab"), 2);
    EXPECT_EQ(XStringW(L"b").ReverseFind(L"ab"), -1);
    // U+015C shares its low byte with the backslash and must not be taken for one.
    EXPECT_EQ(XStringW(L"a\x015c" L"b").ReverseFind(L"\\"), -1);

    EXPECT_EQ(XStringW(L"a").Compare(L"b"), -1);
    EXPECT_EQ(XStringW(L"b").Compare(L"a"), 1);
    EXPECT_EQ(XStringW(L"ab").Compare(L"a"), 1);
    EXPECT_EQ(XStringW(L"a").Compare(L"ab"), -1);
    EXPECT_EQ(XStringW(L"ab").Compare(L"ab"), 0);
    EXPECT_NE(XStringW(L"A").Compare(L"a"), 0);
    EXPECT_EQ(XStringW(L"\xffff").Compare(L"a"), 1);  // unsigned code units
    EXPECT_TRUE(L"x" == XStringW(L"x"));
    EXPECT_FALSE(XStringW(L"x") == L"X");
    EXPECT_TRUE(static_cast<const wchar_t*>(nullptr) == XStringW());

    EXPECT_TRUE(XStringW(L"svc").IsSuffixOf(XStringW(L"mysvc")));
    EXPECT_TRUE(XStringW(L"svc").IsSuffixOf(XStringW(L"svc")));
    EXPECT_FALSE(XStringW(L"svc").IsSuffixOf(XStringW(L"sv")));
    EXPECT_FALSE(XStringW(L"svc").IsSuffixOf(XStringW(L"SVC")));
    EXPECT_TRUE(XStringW().IsSuffixOf(XStringW(L"anything")));
}

TEST(XStringW, NumberParsing)
{
    struct Case {
        const wchar_t* text;
        int asInt;
        int asUInt;
    };
    const Case cases[] = {
        {L"", -1, -1},           {L"-", 0, -1},          {L"-12", -12, -1},
        {L"+5", -1, -1},         {L" 5", -1, -1},        {L"12a", -1, -1},
        {L"5000", 5000, 5000},   {L"00100", 100, 100},   {L"-1", -1, -1},
        {L"2147483647", 2147483647, 2147483647},
        {L"2147483648", 2147483647, static_cast<int>(2147483648u)},
        {L"-2147483648", -2147483647 - 1, -1},
        {L"99999999999", 2147483647, -1},
        {L"4294967294", 2147483647, static_cast<int>(4294967294u)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(XStringW(c.text).ToInt(), c.asInt) << Utf8(c.text);
        EXPECT_EQ(XStringW(c.text).ToUInt(), c.asUInt) << Utf8(c.text);
    }
}

TEST(XStringW, CopyToArrayAllocatesOnlyForText)
{
    wchar_t* array = nullptr;
    EXPECT_EQ(XStringW().CopyToArray(array), 0);
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(XStringW(L"abc").CopyToArray(array), 3);
    ASSERT_NE(array, nullptr);
    EXPECT_STREQ(array, L"abc");
    delete[] array;
}

TEST(XStringW, GrowthIsExactAndKeepsTheTerminator)
{
    XStringW s;
    for (int i = 0; i < 300; ++i) {
        s += L"x";
        ASSERT_EQ(s.GetCapacity(), s.GetByteLength());
        ASSERT_EQ(s.GetString()[s.GetLength()], L'\0');
    }
    EXPECT_EQ(s.GetLength(), 300);
    s.Reset(10);
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(s.GetCapacity(), 20);
    ExpectTerminated(s);
}

TEST(XStringA, ConvertsWithTheAnsiCodePage)
{
    XStringA name("CRegHelper::GetValue");
    EXPECT_STREQ(name.ToWide(), L"CRegHelper::GetValue");
    EXPECT_STREQ(name.ToWide(), L"CRegHelper::GetValue");  // a second call replaces the first
    EXPECT_STREQ(name.ToStringW().GetString(), L"CRegHelper::GetValue");

    XStringA empty("");
    ASSERT_NE(empty.ToWide(), nullptr);
    EXPECT_STREQ(empty.ToWide(), L"");
    XStringA fromNull(nullptr);
    EXPECT_TRUE(fromNull.IsEmpty());
    EXPECT_STREQ(fromNull.GetString(), "");

    XStringA copy(name);
    copy = XStringA("x");
    EXPECT_STREQ(copy.GetString(), "x");
    EXPECT_EQ(copy.GetLength(), 1);
}

}  // namespace
