#pragma once
// Checks shared by the string tests.

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "strings/XStringW.h"

namespace strings_test {

inline std::wstring Text(const XStringW& s)
{
    return std::wstring(s.GetString(), static_cast<size_t>(s.GetLength()));
}

inline std::string Shown(const XStringW& s)
{
    return "'" + testing_support::Utf8(Text(s)) + "'";
}

// The text is zero-terminated at its length, and the length is a whole number of characters.
inline ::testing::AssertionResult IsTerminated(const XStringW& s)
{
    if (s.GetString() == nullptr) {
        return ::testing::AssertionFailure() << "null buffer";
    }
    if (s.GetByteLength() != s.GetLength() * 2 || s.GetByteLength() > s.GetCapacity()) {
        return ::testing::AssertionFailure()
               << "byte length " << s.GetByteLength() << ", capacity " << s.GetCapacity();
    }
    if (s.GetString()[s.GetLength()] != 0) {
        return ::testing::AssertionFailure()
               << "character at length " << s.GetLength() << " is "
               << static_cast<int>(s.GetString()[s.GetLength()]) << " in " << Shown(s);
    }
    return ::testing::AssertionSuccess();
}

}  // namespace strings_test
