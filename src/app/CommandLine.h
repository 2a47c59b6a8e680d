#pragma once
// The process's arguments as typed, in UTF-16.

#include <vector>

#include "strings/XStringW.h"

// The arguments of the wide command line, the program first. Should the platform fail to split
// it, main's narrow arguments are converted instead.
std::vector<XStringW> CommandLineArguments(int argc, char** argv);
