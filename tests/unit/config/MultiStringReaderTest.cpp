#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConfigTestSupport.h"
#include "config/MultiStringReader.h"

using config_test::Shown;

namespace {

std::vector<std::wstring> ReadAll(const std::wstring& data, int count)
{
    MultiStringReader reader(count, data.data());
    std::vector<std::wstring> items;
    for (const wchar_t* item = reader.Next(); item != nullptr; item = reader.Next()) {
        items.emplace_back(item);
    }
    // The end stays the end.
    EXPECT_EQ(reader.Next(), nullptr);
    return items;
}

std::string Joined(const std::vector<std::wstring>& items)
{
    std::wstring joined;
    for (const std::wstring& item : items) {
        joined += item + L"|";
    }
    return Shown(joined);
}

TEST(MultiStringReaderTest, WalksNonEmptyStringsUpToTheCount)
{
    struct Case {
        std::wstring data;
        int count;
        std::vector<std::wstring> expected;
    };
    const Case cases[] = {
        {std::wstring(L"x\0\0y\0\0", 6), 6, {L"x", L"y"}},
        {std::wstring(L"\0\0\0", 3), 3, {}},
        {std::wstring(), 0, {}},
        // Data without any closing null: the reader's own copy ends the last string.
        {std::wstring(L"ab\0cd", 5), 5, {L"ab", L"cd"}},
        // The count cuts the data, even in the middle of a string.
        {std::wstring(L"abc\0def\0", 8), 6, {L"abc", L"de"}},
        {std::wstring(L"\0\0long one\0", 11), 11, {L"long one"}},
    };
    for (const Case& c : cases) {
        const std::vector<std::wstring> items = ReadAll(c.data, c.count);
        EXPECT_EQ(items, c.expected) << Shown(c.data) << " gave " << Joined(items);
    }
}

TEST(MultiStringReaderTest, KeepsItsOwnCopyOfTheData)
{
    std::wstring data(L"first\0second\0\0", 14);
    MultiStringReader reader(static_cast<int>(data.size()), data.data());
    data.assign(data.size(), L'#');
    ASSERT_NE(reader.Next(), nullptr);
    const wchar_t* second = reader.Next();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(std::wstring(second), L"second");
}

}  // namespace
