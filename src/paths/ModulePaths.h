#pragma once
// Where the running executable and the Windows system directory are. Every call asks the system.

#include "strings/XStringW.h"

// With wholePath: the executable's full path; without: only its file name.
XStringW GetModulePath(bool wholePath);
XStringW GetModuleName();
// The executable's directory, without a trailing backslash.
XStringW GetModuleDirectory();
XStringW GetSystemDirectoryPath();

// The two halves of a path around its last backslash. Without a backslash both give the whole
// path; a path that ends in a backslash has an empty file name part.
XStringW FileNamePart(const XStringW& path);
XStringW DirectoryPart(const XStringW& path);

// The path with the extension of its file name (the text from the file name's last dot on)
// replaced, or added when it has none.
XStringW WithExtension(const XStringW& path, const wchar_t* extension);
