#pragma once
// Paths as text, as a user types them: the separators and whether a path is absolute.

#include "strings/XStringW.h"

// Either separator counts; the result has backslashes only, as every other Windows path.
XStringW WithBackslashes(const XStringW& path);

// "X:\..." or "\\server\share\...": a path that means the same file or folder whatever the
// current directory of whoever uses it.
bool IsAbsolutePath(const XStringW& path);
