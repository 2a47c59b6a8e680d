#include <gtest/gtest.h>

#include <cwchar>
#include <random>
#include <string>

#include "TestSupport.h"
#include "strings/XStringW.h"

namespace {

using testing_support::Utf8;

TEST(Format, ExamplesThePathsAndLogLinesRelyOn)
{
    XStringW s;
    EXPECT_STREQ(s.Format(L"%@\\%@", XStringW(L"D:\\dir"), XStringW(L"Log")).GetString(),
                 L"D:\\dir\\Log");
    EXPECT_STREQ(s.Format(L"(%02d:%02d:%02d.%03d) %@ ", 9, 5, 7, 42, XStringW(L"x")).GetString(),
                 L"(09:05:07.042) x ");
    EXPECT_STREQ(s.Format(L"%s(%d) : ", L"main", 112).GetString(), L"main(112) : ");
    EXPECT_STREQ(s.Format(L"%s_%02d%02d_%02d%02d.log", L"QuorbelService", 7, 5, 23, 8).GetString(),
                 L"QuorbelService_0705_2308.log");
    EXPECT_STREQ(s.Format(L"/c \"%@\"", XStringW(L"D:\\My Tools\\app.exe")).GetString(),
                 L"/c \"D:\\My Tools\\app.exe\"");
}

TEST(Format, DirectivesAndTheirArguments)
{
    struct Case {
        XStringW actual;
        const wchar_t* expected;
    };
    XStringW a, b, c, d, e, f, g, h, i, j, k, l;
    const Case cases[] = {
        {a.Format(L"%5s|", L"ab"), L"ab|"},          // width ignored for text
        {b.Format(L"%c", 65), L"A"},
        {c.Format(L"%x %X", 255, 255), L"ff FF"},
        {d.Format(L"%u", -1), L"4294967295"},
        {e.Format(L"a%%b"), L"a"},                   // "%%" is no escape
        {f.Format(L"50%% %d", 5), L"50% 5"},
        {g.Format(L"%%done", 1), L"%done"},          // the d of the word ends the directive
        {h.Format(L"abc%"), L"abc"},                 // a lone "%" at the end
        {i.Format(L"%s|%s", static_cast<const wchar_t*>(nullptr), L"z"), L"|z"},
        {j.Format(L"%-4d|%+d|%#o", 7, 3, 8), L"7   |+3|010"},
        {k.Format(L"%.2f %g", 3.14159, 0.5), L"3.14 0.5"},
        {l.Format(L"%10@|%3c", XStringW(L"x"), 66), L"x|B"},
    };
    for (const Case& t : cases) {
        EXPECT_STREQ(t.actual.GetString(), t.expected);
    }
}

TEST(Format, FormatReplacesAndAppendFormatAdds)
{
    XStringW s(L"old");
    s.Format(L"new %d", 1);
    EXPECT_STREQ(s.GetString(), L"new 1");
    s.AppendFormat(L" and %@", XStringW(L"more"));
    EXPECT_STREQ(s.GetString(), L"new 1 and more");
    s.AppendFormat(L"");
    EXPECT_STREQ(s.GetString(), L"new 1 and more");
    s.Format(L"");
    EXPECT_TRUE(s.IsEmpty());
}

TEST(Format, OverlongNumericConversionsAreCutNotOverrun)
{
    XStringW s;
    s.Format(L"[%300d]", 5);
    EXPECT_EQ(s.GetLength(), 2 + 255) << Utf8(s.GetString());
    EXPECT_EQ(s.GetAt(0), L'[');
    EXPECT_EQ(s.GetAt(s.GetLength() - 1), L']');
    s.Format(L"%.400f", 1e300);
    EXPECT_LE(s.GetLength(), 255);
    s.Format(L"%2147483647d|%d", 1, 2);  // an absurd width consumes its one argument only
    EXPECT_EQ(s.GetAt(s.GetLength() - 1), L'2');
}

// Formats made of random pieces, with arguments that match their directives, never crash or
// overrun, and always leave a terminated string whose length matches its text.
TEST(Format, RandomFormatsKeepTheStringIntact)
{
    std::mt19937 random(20261209);
    const wchar_t* const pieces[] = {L"%", L"%%", L"d", L"s", L"@", L"c", L"x", L"u", L"f",
                                     L"g", L"-", L"0", L"#", L"+", L" ", L"5", L"12", L".3",
                                     L"l", L"h", L"ll", L"I64", L"e", L"p", L"n", L"abc", L"\\",
                                     L"300", L"*", L"F", L"G", L"i", L"o", L"X", L"C", L"S"};
    const XStringW word(L"word");
    for (int round = 0; round < 5000; ++round) {
        std::wstring format;
        const int count = 1 + static_cast<int>(random() % 12);
        for (int p = 0; p < count; ++p) {
            format += pieces[random() % (sizeof(pieces) / sizeof(pieces[0]))];
        }
        // Work out which argument each directive will consume, as the engine does.
        std::wstring kinds;
        bool open = false;
        for (size_t at = 0; at < format.size(); ++at) {
            const wchar_t ch = format[at];
            if (ch == L'%') {
                open = true;
                ++at;
                if (at >= format.size()) {
                    break;
                }
            } else if (!open) {
                continue;
            }
            const wchar_t conv = format[at];
            if (std::wcschr(L"@sScCdiuoxXfFgG", conv) != nullptr && conv != 0) {
                kinds += conv;
                open = false;
            }
        }
        XStringW s(L"start");
        // At most four directives are fed; longer formats are cut to the ones that fit.
        if (kinds.size() > 4) {
            continue;
        }
        auto argFor = [&](size_t n) { return n < kinds.size() ? kinds[n] : L'd'; };
        // Pass arguments of the right kind for every slot.
        auto call = [&](auto a0, auto a1, auto a2, auto a3) {
            s.AppendFormat(format.c_str(), a0, a1, a2, a3);
        };
        auto pick = [&](size_t n, auto&& next) {
            switch (argFor(n)) {
            case L'@': next(word); break;
            case L's': case L'S': next(L"text"); break;
            case L'f': case L'F': case L'g': case L'G': next(1.5); break;
            default: next(static_cast<int>(random())); break;
            }
        };
        pick(0, [&](const auto& a0) {
            pick(1, [&](const auto& a1) {
                pick(2, [&](const auto& a2) {
                    pick(3, [&](const auto& a3) { call(a0, a1, a2, a3); });
                });
            });
        });
        ASSERT_EQ(s.GetString()[s.GetLength()], L'\0') << Utf8(format);
        ASSERT_GE(s.GetCapacity(), s.GetByteLength());
        ASSERT_EQ(std::wcsncmp(s.GetString(), L"start", 5), 0) << Utf8(format);
    }
}

}  // namespace
