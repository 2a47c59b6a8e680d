#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "strings/XStringWList.h"

namespace {

XStringWList ListOf(std::initializer_list<const wchar_t*> texts)
{
    XStringWList list;
    for (const wchar_t* text : texts) {
        list.Add(XStringW(text));
    }
    return list;
}

TEST(XStringWList, FindIsExactAndNeverFindsTheEmptyString)
{
    XStringWList list = ListOf({L"", L"abc", L"ABC", L"abc"});
    EXPECT_EQ(list.GetCount(), 4);
    EXPECT_EQ(list.Find(XStringW()), -1);
    EXPECT_EQ(list.Find(XStringW(L"abc")), 1);
    EXPECT_EQ(list.Find(XStringW(L"ABC")), 2);
    EXPECT_EQ(list.Find(XStringW(L"Abc")), -1);
    EXPECT_EQ(list.Find(XStringW(L"ab")), -1);
}

TEST(XStringWList, JoinEndsEveryElementWithABar)
{
    EXPECT_STREQ(ListOf({}).Join().GetString(), L"");
    EXPECT_STREQ(ListOf({L"7"}).Join().GetString(), L"7|");
    EXPECT_STREQ(ListOf({L"12", L"", L"34"}).Join().GetString(), L"12||34|");
}

TEST(XStringWList, OutOfRangeIndicesThrowAndLeaveTheMutexFree)
{
    XStringWList list = ListOf({L"a", L"b"});
    EXPECT_THROW(list.GetAt(-1), std::invalid_argument);
    EXPECT_THROW(list.GetAt(2), std::invalid_argument);
    EXPECT_THROW(list.GetCopyAt(2), std::invalid_argument);
    // Another thread can still use the list: the mutex was released.
    int countSeen = -1;
    std::thread other([&] { countSeen = list.GetCount(); });
    other.join();
    EXPECT_EQ(countSeen, 2);
    EXPECT_STREQ(list.GetAt(1).GetString(), L"b");
    EXPECT_STREQ(list.GetCopyAt(0).GetString(), L"a");
}

TEST(XStringWList, CopiesAreIndependent)
{
    XStringWList original = ListOf({L"x", L"y"});
    XStringWList copy(original);
    original.GetAt(0) = L"changed";
    EXPECT_STREQ(copy.GetAt(0).GetString(), L"x");

    XStringWList target = ListOf({L"old1", L"old2", L"old3"});
    original.CopyTo(target);
    EXPECT_EQ(target.GetCount(), 2);
    EXPECT_STREQ(target.Join().GetString(), L"changed|y|");

    target.CopyTo(target);
    EXPECT_STREQ(target.Join().GetString(), L"changed|y|");
    target.RemoveAll();
    EXPECT_EQ(target.GetCount(), 0);
}

TEST(XStringWList, ConcurrentAddsAreAllKept)
{
    XStringWList list;
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&list, t] {
            for (int i = 0; i < 250; ++i) {
                XStringW text;
                text.Format(L"%d-%d", t, i);
                list.Add(text);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(list.GetCount(), 1000);
    EXPECT_EQ(list.Find(XStringW(L"3-249")) >= 0, true);
}

TEST(XStringWList, AddCopiesUpToTheFirstZero)
{
    XStringW withZero(L"ab");
    const wchar_t tail[] = {0, L'c'};
    withZero.AppendBytes(tail, sizeof(tail));
    XStringWList list;
    list.Add(withZero);
    EXPECT_EQ(list.GetAt(0).GetLength(), 2);
}

}  // namespace
