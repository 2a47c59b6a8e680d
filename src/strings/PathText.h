#pragma once
// Program paths as text: what makes one absolute, its file name, its extension.

#include "strings/XStringW.h"

// "X:\..." or "\\server\share\...": a path that means the same file whatever the current
// directory of whoever starts it.
bool IsAbsolutePath(const XStringW& path);

// The file name: the text after the last backslash, or the whole text without one.
XStringW FileNameOf(const XStringW& path);

// Whether the file name ends in ".exe", in any letter case, after at least one character.
bool HasExeExtension(const XStringW& fileName);

// The text with every "/" turned into "\", as every other Windows path is stored.
XStringW WithBackslashes(const XStringW& path);
