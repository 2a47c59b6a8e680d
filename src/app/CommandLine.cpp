#include "app/CommandLine.h"

#include <windows.h>
#include <shellapi.h>

#include "common/ScopedHandle.h"
#include "strings/XStringA.h"

std::vector<XStringW> CommandLineArguments(int argc, char** argv)
{
    std::vector<XStringW> arguments;
    int count = 0;
    // The narrow vector main receives has already lost every character outside the ANSI code
    // page, so the arguments are split again from the wide command line.
    const ScopedLocalMemory split(::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (split) {
        wchar_t* const* const wide = static_cast<wchar_t* const*>(split.Get());
        for (int i = 0; i < count; ++i) {
            arguments.emplace_back(wide[i]);
        }
        return arguments;
    }
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(XStringA(argv[i]).ToStringW());
    }
    return arguments;
}
