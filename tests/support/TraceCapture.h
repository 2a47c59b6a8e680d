#pragma once
// What the code under test traces, read back in-process. The first capture of a test program
// turns its trace channel on, into a scratch folder named after the program.

#include <string>

namespace testing_support {

// Everything traced in this process from the moment of construction on.
class TraceCapture {
public:
    TraceCapture();
    // The lines written since, each with its CR LF.
    std::wstring Text() const;
    int Count(const std::wstring& fragment) const;
    bool Contains(const std::wstring& fragment) const { return Count(fragment) > 0; }

private:
    std::wstring marker_;
};

}  // namespace testing_support
