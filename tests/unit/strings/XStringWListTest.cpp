#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "StringTestHelpers.h"
#include "strings/XStringWList.h"

using strings_test::Shown;
using strings_test::Text;

namespace {

XStringWList ListOf(const std::vector<const wchar_t*>& texts)
{
    XStringWList list;
    for (const wchar_t* text : texts) {
        list.Add(XStringW(text));
    }
    return list;
}

std::vector<std::wstring> Contents(const XStringWList& list)
{
    std::vector<std::wstring> texts;
    for (int i = 0; i < list.GetCount(); ++i) {
        texts.push_back(Text(list.GetCopyAt(i)));
    }
    return texts;
}

// Runs the call on another thread: a mutex left held by this thread would make it wait there.
template <typename Call>
bool CompletesOnAnotherThread(Call call)
{
    auto done = std::async(std::launch::async, call);
    return done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

}  // namespace

TEST(XStringWList, AddAppendsCopiesUpToTheFirstZero)
{
    XStringWList list;
    XStringW source(L"first");
    list.Add(source);
    source = L"changed";
    const wchar_t withZero[] = {L'a', L'b', 0, L'c'};
    XStringW zeroed;
    zeroed.AppendBytes(withZero, sizeof withZero);
    list.Add(zeroed);
    list.Add(XStringW());
    list.Add(XStringW(L"first"));

    EXPECT_EQ(Contents(list), (std::vector<std::wstring>{L"first", L"ab", L"", L"first"}));
    EXPECT_EQ(Text(list.GetAt(1)), L"ab");
    EXPECT_EQ(list.GetAt(1).GetLength(), 2);
}

TEST(XStringWList, GetAtHandsOutTheStoredElement)
{
    XStringWList list = ListOf({L"one"});
    list.GetAt(0) += L"!";
    EXPECT_EQ(Text(list.GetCopyAt(0)), L"one!");
    XStringW copy = list.GetCopyAt(0);
    copy += L"?";
    EXPECT_EQ(Text(list.GetAt(0)), L"one!");
}

TEST(XStringWList, IndexOutsideTheListThrowsAndLeavesTheMutexFree)
{
    const XStringWList list = ListOf({L"a", L"b"});
    for (int index : {-1, 2, 100}) {
        EXPECT_THROW(list.GetAt(index), std::invalid_argument) << "GetAt " << index;
        EXPECT_THROW(list.GetCopyAt(index), std::invalid_argument) << "GetCopyAt " << index;
    }
    int countSeen = -1;
    EXPECT_TRUE(CompletesOnAnotherThread([&] { countSeen = list.GetCount(); }));
    EXPECT_EQ(countSeen, 2);
}

TEST(XStringWList, FindIsExactAndNeverFindsEmptyText)
{
    const XStringWList list = ListOf({L"Alpha", L"", L"beta", L"alpha", L"beta"});
    struct Case {
        const wchar_t* text;
        int expected;
    };
    const Case cases[] = {
        {L"Alpha", 0}, {L"alpha", 3}, {L"beta", 1 + 1}, {L"BETA", -1},
        {L"", -1},     {L"Alph", -1}, {L"Alphas", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(list.Find(XStringW(c.text)), c.expected) << testing_support::Utf8(c.text);
    }
    EXPECT_EQ(XStringWList().Find(XStringW(L"x")), -1);
}

TEST(XStringWList, JoinEndsEveryElementWithABar)
{
    struct Case {
        std::vector<const wchar_t*> texts;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {{}, L""},
        {{L"7"}, L"7|"},
        {{L"12", L"34"}, L"12|34|"},
        {{L"", L"x", L""}, L"|x||"},
    };
    for (const auto& c : cases) {
        const XStringW joined = ListOf(c.texts).Join();
        EXPECT_EQ(Text(joined), c.expected) << Shown(joined);
    }
}

TEST(XStringWList, CopyToReplacesTheDestinationAndLeavesItselfAlone)
{
    const XStringWList source = ListOf({L"a", L"b"});
    XStringWList destination = ListOf({L"old1", L"old2", L"old3"});
    source.CopyTo(destination);
    EXPECT_EQ(Contents(destination), (std::vector<std::wstring>{L"a", L"b"}));

    source.CopyTo(const_cast<XStringWList&>(source));
    EXPECT_EQ(Contents(source), (std::vector<std::wstring>{L"a", L"b"}));

    XStringWList().CopyTo(destination);
    EXPECT_EQ(destination.GetCount(), 0);
}

TEST(XStringWList, CopiesOwnTheirElements)
{
    XStringWList original = ListOf({L"x", L"y"});
    XStringWList constructed(original);
    XStringWList assigned = ListOf({L"z"});
    assigned = original;
    const XStringWList& same = assigned;
    assigned = same;
    original.GetAt(0) = L"changed";
    original.RemoveAll();
    EXPECT_EQ(original.GetCount(), 0);
    EXPECT_EQ(Contents(constructed), (std::vector<std::wstring>{L"x", L"y"}));
    EXPECT_EQ(Contents(assigned), (std::vector<std::wstring>{L"x", L"y"}));
}

TEST(XStringWList, ThreadsAddingAtOnceLoseNothing)
{
    XStringWList list;
    constexpr int kPerThread = 200;
    auto addMany = [&list](const wchar_t* prefix) {
        for (int i = 0; i < kPerThread; ++i) {
            list.Add(XStringW().Format(L"%s%d", prefix, i));
        }
    };
    std::thread first(addMany, L"a");
    std::thread second(addMany, L"b");
    XStringWList snapshot;
    for (int i = 0; i < 5; ++i) {
        list.CopyTo(snapshot);  // copying while the list grows must not stall or break
        EXPECT_LE(snapshot.GetCount(), 2 * kPerThread);
    }
    first.join();
    second.join();
    EXPECT_EQ(list.GetCount(), 2 * kPerThread);
    EXPECT_EQ(list.Find(XStringW(L"a199")) >= 0 && list.Find(XStringW(L"b0")) >= 0, true)
        << Shown(list.Join().Left(200));
}
