#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cmath>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "StringTestHelpers.h"
#include "strings/XStringW.h"

using strings_test::IsTerminated;
using strings_test::Shown;
using strings_test::Text;

namespace {

struct FormatCase {
    const char* what;
    std::function<void(XStringW&)> format;
    std::wstring expected;
};

void ExpectFormats(const std::vector<FormatCase>& cases)
{
    for (const auto& c : cases) {
        XStringW s;
        c.format(s);
        EXPECT_EQ(Text(s), c.expected) << c.what << " gave " << Shown(s);
        EXPECT_TRUE(IsTerminated(s)) << c.what;
    }
}

// Every heap of the process is intact (the C runtime keeps one of its own).
bool AllHeapsValid()
{
    HANDLE heaps[64] = {};
    const DWORD count = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < count && i < 64; ++i) {
        if (!HeapValidate(heaps[i], 0, nullptr)) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST(XStringFormat, DirectivesTheProgramUses)
{
    const XStringW dir(L"D:\\dir");
    const XStringW log(L"Log");
    const XStringW x(L"x");
    ExpectFormats({
        {"path", [&](XStringW& s) { s.Format(L"%@\\%@", dir, log); }, L"D:\\dir\\Log"},
        {"time stamp",
         [&](XStringW& s) { s.Format(L"(%02d:%02d:%02d.%03d) %@ ", 9, 5, 7, 42, x); },
         L"(09:05:07.042) x "},
        {"trace prefix", [](XStringW& s) { s.Format(L"%s(%d) : ", L"main", 112); },
         L"main(112) : "},
        {"log name",
         [](XStringW& s) { s.Format(L"%s_%02d%02d_%02d%02d.log", L"svc", 3, 14, 9, 5); },
         L"svc_0314_0905.log"},
        {"command line", [](XStringW& s) { s.Format(L"/c \"%@\"", XStringW(L"C:\\a b.exe")); },
         L"/c \"C:\\a b.exe\""},
    });
}

TEST(XStringFormat, TextAndCharacterDirectivesIgnoreWidthAndFlags)
{
    ExpectFormats({
        {"%5s", [](XStringW& s) { s.Format(L"%5s", L"ab"); }, L"ab"},
        {"%-8.1S", [](XStringW& s) { s.Format(L"[%-8.1S]", L"wide"); }, L"[wide]"},
        {"%s null", [](XStringW& s) { s.Format(L"<%s>%d", static_cast<const wchar_t*>(nullptr), 4); },
         L"<>4"},
        {"%@ empty", [](XStringW& s) { s.Format(L"<%@>", XStringW()); }, L"<>"},
        {"%10@", [](XStringW& s) { s.Format(L"%10@", XStringW(L"t")); }, L"t"},
        {"%c", [](XStringW& s) { s.Format(L"%c", 65); }, L"A"},
        {"%5C high bits",
         [](XStringW& s) { s.Format(L"%5C", static_cast<int>(0x1234263Au)); }, L"\x263A"},
    });
}

TEST(XStringFormat, NumericDirectivesKeepTheirPrintfMeaning)
{
    ExpectFormats({
        {"%x", [](XStringW& s) { s.Format(L"%x", 255); }, L"ff"},
        {"%X", [](XStringW& s) { s.Format(L"%X", 255); }, L"FF"},
        {"%u", [](XStringW& s) { s.Format(L"%u", -1); }, L"4294967295"},
        {"%-5d", [](XStringW& s) { s.Format(L"%-5d|", 3); }, L"3    |"},
        {"%8.3d", [](XStringW& s) { s.Format(L"%8.3d", 7); }, L"     007"},
        {"%hd", [](XStringW& s) { s.Format(L"%hd", 70000); }, L"4464"},
        {"%lu of DWORD", [](XStringW& s) { s.Format(L"%lu", static_cast<DWORD>(4000000000u)); },
         L"4000000000"},
        {"%.2f", [](XStringW& s) { s.Format(L"%.2f", 3.14159); }, L"3.14"},
        {"%F", [](XStringW& s) { s.Format(L"%F", 1.5); }, L"1.500000"},
        {"%G", [](XStringW& s) { s.Format(L"%G", 1e100); }, L"1E+100"},
        {"%lf of float", [](XStringW& s) { s.Format(L"%lf", 2.5f); }, L"2.500000"},
    });
}

TEST(XStringFormat, DoublePercentIsNoEscape)
{
    ExpectFormats({
        {"a%%b", [](XStringW& s) { s.Format(L"a%%b"); }, L"a"},
        {"50%% %d", [](XStringW& s) { s.Format(L"50%% %d", 5); }, L"50% 5"},
        {"%%done", [](XStringW& s) { s.Format(L"%%done|%d", 1, 2); }, L"%done|2"},
        {"%%%d", [](XStringW& s) { s.Format(L"%%%d", 9); }, L"%9"},
        {"%%s", [](XStringW& s) { s.Format(L"%%s|", L"text"); }, L"text|"},
        {"lone %", [](XStringW& s) { s.Format(L"abc%"); }, L"abc"},
        {"open directive", [](XStringW& s) { s.Format(L"x%-5"); }, L"x"},
        {"empty", [](XStringW& s) { s.Format(L""); }, L""},
    });
}

// A directive that absorbed another printf conversion, a "*" or a 64-bit modifier would make
// the runtime read or write arguments that were never passed: it yields nothing, and the engine
// still consumes exactly its one argument.
TEST(XStringFormat, DirectivesTheRuntimeCannotTakeSafelyYieldNothing)
{
    ExpectFormats({
        {"%nd", [](XStringW& s) { s.Format(L"[%nd]%d", 1, 2); }, L"[]2"},
        {"%e%d", [](XStringW& s) { s.Format(L"[%e%d]%d", 1, 2); }, L"[]2"},
        {"%*d", [](XStringW& s) { s.Format(L"[%*d]%d", 1, 2); }, L"[]2"},
        {"%I64d", [](XStringW& s) { s.Format(L"[%I64d]%d", 1, 2); }, L"[]2"},
        {"%lld", [](XStringW& s) { s.Format(L"[%lld]%d", 1, 2); }, L"[]2"},
        {"%Zd", [](XStringW& s) { s.Format(L"[%Zd]%d", 1, 2); }, L"[]2"},
        {"%5%d", [](XStringW& s) { s.Format(L"[%5%d]%d", 1, 2); }, L"[]2"},
        {"%1000d", [](XStringW& s) { s.Format(L"[%1000d]%d", 1, 2); }, L"[]2"},
        {"%2147483647d", [](XStringW& s) { s.Format(L"[%2147483647d]%d", 1, 2); }, L"[]2"},
        {"%.1000f", [](XStringW& s) { s.Format(L"[%.1000f]%d", 1.0, 2); }, L"[]2"},
    });
}

TEST(XStringFormat, OneNumericConversionIsCutAt255Characters)
{
    struct Case {
        const wchar_t* format;
        wchar_t first;
        wchar_t last;
    };
    const Case cases[] = {
        {L"%300d", L' ', L' '},
        {L"%-300d", L'5', L' '},
        {L"%.300d", L'0', L'0'},
        {L"%#0300x", L'0', L'0'},
        {L"%999.999d", L'0', L'0'},
    };
    for (const auto& c : cases) {
        XStringW s(L"<");
        s.AppendFormat(c.format, 5);
        s += L">";
        const std::string what = testing_support::Utf8(c.format);
        ASSERT_EQ(s.GetLength(), 257) << what << " gave " << Shown(s);
        EXPECT_EQ(s.GetAt(1), c.first) << what;
        EXPECT_EQ(s.GetAt(255), c.last) << what;
        EXPECT_TRUE(IsTerminated(s)) << what;
    }
    XStringW huge;
    huge.Format(L"%.300f", 1e300);
    EXPECT_EQ(huge.GetLength(), 255);
    // Integer precisions of two dozen digits and more overran the wide formatter's buffer.
    huge.Format(L"%.40d|%#.40o", -5, 8);
    EXPECT_EQ(Text(huge), L"-" + std::wstring(39, L'0') + L"5|" + std::wstring(38, L'0') + L"10");
    EXPECT_TRUE(AllHeapsValid());
}

TEST(XStringFormat, FormatReplacesAndAppendFormatAdds)
{
    XStringW s(L"old");
    s.AppendFormat(L"+%d", 1);
    EXPECT_EQ(Text(s), L"old+1");
    s.AppendFormat(L"");
    EXPECT_EQ(Text(s), L"old+1");
    s.Format(L"new%d", 2);
    EXPECT_EQ(Text(s), L"new2");
    EXPECT_EQ(s.GetCapacity(), s.GetByteLength());
    s.Format(L"");
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_TRUE(IsTerminated(s));
}

// Random formats of literal text, flags, widths, "%%" runs, unlisted letters and conversions,
// each called with arguments that match what the engine will consume.
namespace {

enum class Kind { Text, Wide, Character, Integer, Floating };

struct RandomFormat {
    std::wstring format;
    std::wstring knownText;  // literal text and text arguments, numbers left out
    int numericCount = 0;
};

class FormatGenerator {
public:
    explicit FormatGenerator(unsigned seed) : random_(seed) {}

    int Pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(random_); }

    void AddLiteral(RandomFormat& out)
    {
        static const wchar_t kLiteral[] = L"abdsxfgc@ \\:.-09\x00E9\x263A";
        for (int n = Pick(4); n > 0; --n) {
            const wchar_t c = kLiteral[Pick(static_cast<int>(wcslen(kLiteral)))];
            out.format += c;
            out.knownText += c;
        }
    }

    // "%" and characters that keep the directive open, ending with no conversion yet.
    void AddOpening(RandomFormat& out)
    {
        static const wchar_t* const kPieces[] = {L"-", L"+", L" ", L"#", L"0", L"5", L"12", L"300",
                                                 L".", L".3", L".40", L"h", L"l", L"ll", L"I64",
                                                 L"%", L"%%", L"e", L"n", L"p", L"*", L"Z",
                                                 L"a", L"w", L"\x00E9"};
        out.format += L'%';
        for (int n = Pick(4); n > 0; --n) {
            out.format += kPieces[Pick(static_cast<int>(std::size(kPieces)))];
        }
    }

    void AddConversion(RandomFormat& out, Kind kind)
    {
        static const wchar_t* const kByKind[] = {L"@", L"sS", L"cC", L"diuoxX", L"fFgG"};
        const wchar_t* choices = kByKind[static_cast<int>(kind)];
        AddOpening(out);
        out.format += choices[Pick(static_cast<int>(wcslen(choices)))];
        if (kind == Kind::Integer || kind == Kind::Floating) {
            ++out.numericCount;
        }
    }

    int Integer()
    {
        static const int kValues[] = {0, 1, -1, 42, INT_MIN, INT_MAX, 255, -100000};
        return Pick(3) == 0 ? static_cast<int>(random_()) : kValues[Pick(8)];
    }

    double Floating()
    {
        static const double kValues[] = {0.0, -1.5, 1e300, -1e-300, 3.14159, 1e-5,
                                         std::numeric_limits<double>::infinity(),
                                         std::numeric_limits<double>::quiet_NaN()};
        return kValues[Pick(8)];
    }

    int Character() { return Pick(0xFFFF) + 1 + (Pick(2) << 20); }  // never a zero character

private:
    std::mt19937 random_;
};

// Checks one formatted result against what is known of it without a second formatter.
void ExpectSaneResult(const XStringW& s, const RandomFormat& f, int iteration)
{
    ASSERT_TRUE(IsTerminated(s)) << "iteration " << iteration;
    ASSERT_EQ(static_cast<size_t>(s.GetLength()), wcslen(s.GetString()))
        << "iteration " << iteration << ": " << testing_support::Utf8(f.format);
    const size_t bound = f.knownText.size() + 255u * static_cast<size_t>(f.numericCount);
    ASSERT_LE(static_cast<size_t>(s.GetLength()), bound)
        << "iteration " << iteration << ": " << testing_support::Utf8(f.format);
}

// makeArguments returns a tuple of values matching kinds, and adds text arguments to knownText.
template <typename MakeArguments>
void RunRandomFormats(FormatGenerator& generator, int iterations, const std::vector<Kind>& kinds,
                      const MakeArguments& makeArguments)
{
    for (int i = 0; i < iterations; ++i) {
        RandomFormat f;
        generator.AddLiteral(f);
        for (Kind kind : kinds) {
            generator.AddConversion(f, kind);
            generator.AddLiteral(f);
        }
        if (generator.Pick(3) == 0) {
            generator.AddOpening(f);  // left open: dropped at the end
        }
        const auto values = makeArguments(generator, f);
        XStringW s(L"");
        std::apply([&](const auto&... a) { s.AppendFormat(f.format.c_str(), a...); }, values);
        ExpectSaneResult(s, f, i);
    }
}

}  // namespace

TEST(XStringFormat, SeededRandomFormatsStayBoundedAndTerminated)
{
    FormatGenerator generator(20240611u);
    const XStringW word(L"word");
    RunRandomFormats(
        generator, 2500, {Kind::Integer, Kind::Floating, Kind::Wide},
        [](FormatGenerator& g, RandomFormat& f) {
            f.knownText += L"wide";
            return std::make_tuple(g.Integer(), g.Floating(), L"wide");
        });
    RunRandomFormats(
        generator, 2500, {Kind::Text, Kind::Character, Kind::Integer, Kind::Floating},
        [&](FormatGenerator& g, RandomFormat& f) {
            f.knownText += L"word?";
            return std::make_tuple(word, g.Character(), g.Integer(), g.Floating());
        });
    RunRandomFormats(
        generator, 2500, {Kind::Floating, Kind::Floating, Kind::Integer, Kind::Integer},
        [](FormatGenerator& g, RandomFormat&) {
            return std::make_tuple(g.Floating(), g.Floating(), g.Integer(), g.Integer());
        });
    EXPECT_TRUE(AllHeapsValid());
}
