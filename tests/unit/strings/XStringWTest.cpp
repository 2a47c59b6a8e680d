#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "StringTestHelpers.h"
#include "strings/XStringA.h"
#include "strings/XStringW.h"

using strings_test::IsTerminated;
using strings_test::Shown;
using strings_test::Text;

namespace {

struct TextCase {
    const char* what;
    std::function<XStringW()> make;
    const wchar_t* expected;
};

void ExpectAll(const std::vector<TextCase>& cases)
{
    for (const auto& c : cases) {
        const XStringW actual = c.make();
        EXPECT_EQ(Text(actual), c.expected) << c.what << " gave " << Shown(actual);
        EXPECT_TRUE(IsTerminated(actual)) << c.what;
    }
}

// A string whose text holds a zero character in the middle: "ab\0cd".
XStringW WithEmbeddedZero()
{
    const wchar_t raw[] = {L'a', L'b', 0, L'c', L'd'};
    XStringW s;
    s.AppendBytes(raw, sizeof raw);
    return s;
}

}  // namespace

TEST(XStringW, NullAndDefaultGiveAnEmptyTerminatedString)
{
    const XStringW fromNull(static_cast<const wchar_t*>(nullptr));
    const XStringW byDefault;
    for (const XStringW* s : {&fromNull, &byDefault}) {
        EXPECT_EQ(s->GetLength(), 0);
        EXPECT_TRUE(s->IsEmpty());
        EXPECT_EQ(s->GetCapacity(), 0);
        EXPECT_TRUE(IsTerminated(*s));
    }
}

TEST(XStringW, BuffersAreSizedExactlyToTheText)
{
    const XStringW s(L"hello");
    EXPECT_EQ(s.GetByteLength(), 10);
    EXPECT_EQ(s.GetCapacity(), 10);
    const XStringW copy(WithEmbeddedZero());
    EXPECT_EQ(copy.GetLength(), 5) << "a copy takes all length bytes, zeros included";
    EXPECT_EQ(copy.GetCapacity(), 10);

    XStringW grown(L"xy");
    grown += L"abc";
    EXPECT_EQ(grown.GetCapacity(), 10);
    grown.AppendBytes(L"q", 0);
    grown.AppendBytes(L"q", -2);
    EXPECT_EQ(Text(grown), L"xyabc");
    // Many small appends: each one widens or moves the block, none may lose text.
    std::wstring expected;
    for (int i = 0; i < 2000; ++i) {
        const wchar_t c = static_cast<wchar_t>(L'a' + i % 26);
        grown.AppendBytes(&c, 2);
        expected += c;
    }
    EXPECT_EQ(Text(grown), L"xyabc" + expected);
    EXPECT_EQ(grown.GetCapacity(), grown.GetByteLength());
    EXPECT_TRUE(IsTerminated(grown));
}

TEST(XStringW, AssignmentCopiesAndReleases)
{
    XStringW s(L"abc");
    const XStringW& same = s;
    s = same;
    EXPECT_EQ(Text(s), L"abc");

    s = XStringW();
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(s.GetCapacity(), 0) << "a fresh one-character buffer";
    EXPECT_TRUE(IsTerminated(s));

    s = L"longer text";
    EXPECT_EQ(Text(s), L"longer text");
    s = static_cast<const wchar_t*>(nullptr);
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_TRUE(IsTerminated(s));
}

TEST(XStringW, ResetEmptiesIntoAZeroedBufferOfTheGivenSize)
{
    XStringW s(L"abcdef");
    s.Reset(3);
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_EQ(s.GetCapacity(), 6);
    for (int i = 0; i <= 3; ++i) {
        EXPECT_EQ(s.GetString()[i], 0) << "at " << i;
    }
    s.Reset(50);  // already empty: nothing happens
    EXPECT_EQ(s.GetCapacity(), 6);
}

TEST(XStringW, TextThatAliasesTheStringItselfIsCopiedFirst)
{
    XStringW s(L"abc");
    s += s.GetString();
    EXPECT_EQ(Text(s), L"abcabc");
    s += s;
    EXPECT_EQ(Text(s), L"abcabcabcabc");
    s = s.GetString() + 9;
    EXPECT_EQ(Text(s), L"abc");
    s.AppendFormat(L"-%s-%@", s.GetString(), s);
    EXPECT_EQ(Text(s), L"abc-abc-abc");
    XStringW path(L"C:\\dir");
    path.Format(L"%@\\%@", path, XStringW(L"file"));
    EXPECT_EQ(Text(path), L"C:\\dir\\file");
    path.Format(L"%s!", path.GetString());
    EXPECT_EQ(Text(path), L"C:\\dir\\file!");
    EXPECT_TRUE(IsTerminated(path));
}

TEST(XStringW, AppendingAnotherStringStopsAtItsFirstZero)
{
    XStringW s(L"x");
    s += WithEmbeddedZero();
    EXPECT_EQ(Text(s), L"xab");
    s += XStringW();
    s += static_cast<const wchar_t*>(nullptr);
    EXPECT_EQ(Text(s), L"xab");
    EXPECT_EQ(s.GetCapacity(), 6) << "empty appends do not grow";
}

TEST(XStringW, PlusBuildsANewStringFromEitherSide)
{
    const XStringW mid(L"mid");
    ExpectAll({
        {"string + text", [&] { return mid + L"dle"; }, L"middle"},
        {"text + string", [&] { return L"pyra" + mid; }, L"pyramid"},
        {"string + null", [&] { return mid + static_cast<const wchar_t*>(nullptr); }, L"mid"},
        {"null + string", [&] { return static_cast<const wchar_t*>(nullptr) + mid; }, L"mid"},
    });
    EXPECT_EQ(Text(mid), L"mid");
}

TEST(XStringW, CopyToArrayHandsOutAZeroTerminatedCopy)
{
    wchar_t sentinel = L'!';
    wchar_t* array = &sentinel;
    EXPECT_EQ(XStringW().CopyToArray(array), 0);
    EXPECT_EQ(array, &sentinel) << "an empty string allocates nothing";

    EXPECT_EQ(XStringW(L"abc").CopyToArray(array), 3);
    ASSERT_NE(array, &sentinel);
    EXPECT_EQ(std::wstring(array), L"abc");
    delete[] array;
}

TEST(XStringW, GetAtIsZeroOutsideTheText)
{
    const XStringW s(L"ab");
    EXPECT_EQ(s.GetAt(0), L'a');
    EXPECT_EQ(s.GetAt(1), L'b');
    for (int index : {-1, 2, 100}) {
        EXPECT_EQ(s.GetAt(index), 0) << "index " << index;
    }
    EXPECT_EQ(XStringW().GetAt(0), 0);
}

TEST(XStringW, SubstringsClampTheirArguments)
{
    const XStringW s(L"abcdef");
    ExpectAll({
        {"Left(2)", [&] { return s.Left(2); }, L"ab"},
        {"Left(10)", [&] { return s.Left(10); }, L"abcdef"},
        {"Left(0)", [&] { return s.Left(0); }, L""},
        {"Left(-3)", [&] { return s.Left(-3); }, L""},
        {"Mid(2, 0)", [&] { return s.Mid(2, 0); }, L"cdef"},
        {"Mid(2, 3)", [&] { return s.Mid(2, 3); }, L"cde"},
        {"Mid(4, 100)", [&] { return s.Mid(4, 100); }, L"ef"},
        {"Mid(6, 1)", [&] { return s.Mid(6, 1); }, L""},
        {"Mid(1, -1)", [&] { return s.Mid(1, -1); }, L""},
        {"Mid(-1, 2)", [&] { return s.Mid(-1, 2); }, L""},
        {"Mid of empty", [] { return XStringW().Mid(0, 0); }, L""},
        {"Right(2)", [&] { return s.Right(2); }, L"ef"},
        {"Right(10)", [&] { return s.Right(10); }, L"abcdef"},
        {"Right(0)", [&] { return s.Right(0); }, L""},
        {"Right of empty", [] { return XStringW().Right(2); }, L""},
    });
    EXPECT_EQ(Text(s), L"abcdef");
}

TEST(XStringW, TrimmingRemovesWhitespaceAndZeroesWhatItRemoves)
{
    ExpectAll({
        {"TrimRight spaces and tab", [] { return XStringW(L"  a b \t").TrimRight(); }, L"  a b"},
        {"TrimRight only spaces", [] { return XStringW(L"   ").TrimRight(); }, L""},
        {"TrimRight all kinds", [] { return XStringW(L"x\t\n\v\f\r ").TrimRight(); }, L"x"},
        {"TrimLeft space CR LF", [] { return XStringW(L" \r\na ").TrimLeft(); }, L"a "},
        {"TrimLeft only spaces", [] { return XStringW(L" \t ").TrimLeft(); }, L""},
        {"TrimLeft nothing", [] { return XStringW(L"a ").TrimLeft(); }, L"a "},
        {"no-break space stays", [] { return XStringW(L"\x00A0x\x00A0").TrimLeft().TrimRight(); },
         L"\x00A0x\x00A0"},
    });

    // The buffer keeps its size, so the removed characters can be looked at.
    XStringW right(L"ab  \t");
    right.TrimRight();
    XStringW left(L"   abcd");
    left.TrimLeft();
    EXPECT_EQ(Text(right), L"ab");
    for (int i = 2; i <= 5; ++i) {
        EXPECT_EQ(right.GetString()[i], 0) << "TrimRight left character " << i;
    }
    EXPECT_EQ(Text(left), L"abcd");
    for (int i = 4; i <= 7; ++i) {
        EXPECT_EQ(left.GetString()[i], 0) << "TrimLeft left character " << i;
    }
}

TEST(XStringW, FindAndReverseFindGiveCharacterIndices)
{
    struct Case {
        const wchar_t* text;
        const wchar_t* sub;
        int find;
        int reverseFind;
    };
    const Case cases[] = {
        {L"D:\\Logs", L":\\", 1, 1},
        {L"Log", L":\\", -1, -1},
        {L"a\\b\\d", L"\\", 1, 3},
        {L"abc", L"\\", -1, -1},
        {L"abcabc", L"bc", 1, 4},
        {L"abc", L"", -1, -1},
        {L"abc", nullptr, -1, -1},
        {L"", L"a", -1, -1},
        {L"ab", L"abc", -1, -1},
        {L"abc", L"abc", 0, 0},
        {L"xabab", L"abab", 1, 1},
    };
    for (const auto& c : cases) {
        const XStringW s(c.text);
        const std::string what = Shown(s) + " / " + testing_support::Utf8(c.sub ? c.sub : L"(null)");
        EXPECT_EQ(s.Find(c.sub), c.find) << what;
        EXPECT_EQ(s.ReverseFind(c.sub), c.reverseFind) << what;
    }
}

TEST(XStringW, CompareIsThreeWayByUnsignedCodeUnits)
{
    struct Case {
        const wchar_t* left;
        const wchar_t* right;
        int expected;
    };
    const Case cases[] = {
        {L"a", L"b", -1},     {L"b", L"a", 1},          {L"ab", L"a", 1},  {L"a", L"ab", -1},
        {L"abc", L"abc", 0},  {L"A", L"a", -1},         {L"", L"", 0},     {L"", nullptr, 0},
        {L"a", nullptr, 1},   {L"\xFFFF", L"a", 1},     {L"z", L"\x00E9", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(XStringW(c.left).Compare(c.right), c.expected)
            << testing_support::Utf8(c.left) << " vs " << testing_support::Utf8(c.right ? c.right : L"(null)");
    }
}

TEST(XStringW, EqualityIsExactAndNullEqualsEmpty)
{
    EXPECT_TRUE(L"abc" == XStringW(L"abc"));
    EXPECT_TRUE(XStringW(L"abc") == L"abc");
    EXPECT_FALSE(XStringW(L"abc") == L"ABC");
    EXPECT_FALSE(XStringW(L"abc") == L"ab");
    EXPECT_TRUE(static_cast<const wchar_t*>(nullptr) == XStringW());
    EXPECT_FALSE(static_cast<const wchar_t*>(nullptr) == XStringW(L"a"));
    EXPECT_FALSE(WithEmbeddedZero() == L"ab") << "the whole text counts";
}

TEST(XStringW, IsSuffixOfComparesTheTail)
{
    struct Case {
        const wchar_t* suffix;
        const wchar_t* whole;
        bool expected;
    };
    const Case cases[] = {
        {L"svc", L"mysvc", true}, {L"svc", L"sv", false},  {L"", L"anything", true},
        {L"", L"", true},         {L"SVC", L"mysvc", false}, {L"mysvc", L"mysvc", true},
        {L"xsvc", L"mysvc", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(XStringW(c.suffix).IsSuffixOf(XStringW(c.whole)), c.expected)
            << testing_support::Utf8(c.suffix) << " of " << testing_support::Utf8(c.whole);
    }
}

TEST(XStringW, NumberParsingAcceptsOnlyPlainDecimalText)
{
    struct Case {
        const wchar_t* text;
        int toInt;
        int toUInt;
    };
    const Case cases[] = {
        {L"", -1, -1},
        {L"-", 0, -1},
        {L"-12", -12, -1},
        {L"+5", -1, -1},
        {L" 5", -1, -1},
        {L"5 ", -1, -1},
        {L"12a", -1, -1},
        {L"5000", 5000, 5000},
        {L"-1", -1, -1},
        {L"0", 0, 0},
        {L"007", 7, 7},
        {L"2147483647", INT_MAX, INT_MAX},
        {L"2147483648", INT_MAX, static_cast<int>(2147483648u)},
        {L"-2147483648", INT_MIN, -1},
        {L"-99999999999999999999", INT_MIN, -1},
        {L"99999999999999999999", INT_MAX, -1},
        {L"4294967294", INT_MAX, -2},
        {L"4294967296", INT_MAX, -1},
        {L"\x0661", -1, -1},  // a digit, but not one of 0 to 9
    };
    for (const auto& c : cases) {
        const XStringW s(c.text);
        EXPECT_EQ(s.ToInt(), c.toInt) << "ToInt of " << Shown(s);
        EXPECT_EQ(s.ToUInt(), c.toUInt) << "ToUInt of " << Shown(s);
    }
    EXPECT_EQ(WithEmbeddedZero().ToInt(), -1);
}

TEST(XStringA, ConvertsToWideTextThatItOwns)
{
    XStringA name("CRegHelper::GetValue");
    EXPECT_EQ(name.GetLength(), 20);
    const wchar_t* wide = name.ToWide();
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(std::wstring(wide), L"CRegHelper::GetValue");
    EXPECT_EQ(Text(name.ToStringW()), L"CRegHelper::GetValue");
    // Calling it again releases the first array and gives a fresh one with the same text.
    EXPECT_EQ(std::wstring(name.ToWide()), L"CRegHelper::GetValue");
}

TEST(XStringA, EmptyTextConvertsToAnEmptyWideTextNotNull)
{
    for (const char* text : {static_cast<const char*>(nullptr), ""}) {
        XStringA empty(text);
        EXPECT_TRUE(empty.IsEmpty());
        EXPECT_EQ(empty.GetString()[0], '\0');
        const wchar_t* wide = empty.ToWide();
        ASSERT_NE(wide, nullptr);
        EXPECT_EQ(wide[0], L'\0');
        EXPECT_NE(empty.ToWide(), nullptr);
        EXPECT_TRUE(empty.ToStringW().IsEmpty());
    }
}

TEST(XStringA, CopiesAssignmentsAndAppendsKeepTheirOwnText)
{
    XStringA a("main");
    XStringA b(a);
    b.AppendBytes("Loop", 4);
    EXPECT_STREQ(a.GetString(), "main");
    EXPECT_STREQ(b.GetString(), "mainLoop");
    b.AppendBytes(b.GetString(), 4);  // part of its own text
    EXPECT_STREQ(b.GetString(), "mainLoopmain");
    a = b;
    EXPECT_STREQ(a.GetString(), "mainLoopmain");
    const XStringA& same = a;
    a = same;
    EXPECT_STREQ(a.GetString(), "mainLoopmain");
    a.Reset(2);
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(a.GetString()[0], '\0');
    a.AppendBytes("ok", 2);
    EXPECT_STREQ(a.GetString(), "ok");
    EXPECT_EQ(std::wstring(a.ToWide()), L"ok");
}
