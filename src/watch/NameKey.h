#pragma once
// Entry and image names are file names: the watch room keys its per-entry state by the name in
// upper case, so that letter case does not count.

#include <string>

#include "strings/XStringW.h"

std::wstring NameKey(const XStringW& name);
