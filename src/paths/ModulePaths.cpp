#include "paths/ModulePaths.h"

#include <windows.h>

namespace {

constexpr DWORD kModulePathChars = 1024;
constexpr UINT kSystemDirectoryChars = 520;

// Index of the last backslash, or -1. Whole UTF-16 code units are compared, so a character that
// merely shares the backslash's low byte (U+015C) does not count.
int LastBackslash(const XStringW& path)
{
    const wchar_t* const text = path.GetString();
    for (int index = path.GetLength() - 1; index >= 0; --index) {
        if (text[index] == L'\\') {
            return index;
        }
    }
    return -1;
}

}  // namespace

XStringW FileNamePart(const XStringW& path)
{
    const int backslash = LastBackslash(path);
    if (backslash < 0) {
        return path;
    }
    return path.Right(path.GetLength() - backslash - 1);
}

XStringW DirectoryPart(const XStringW& path)
{
    const int backslash = LastBackslash(path);
    if (backslash < 0) {
        return path;
    }
    return path.Left(backslash);
}

XStringW GetModulePath(bool wholePath)
{
    // A failed call leaves the zero-filled buffer empty; a longer path is cut at 1023 characters.
    wchar_t buffer[kModulePathChars] = {};
    ::GetModuleFileNameW(nullptr, buffer, kModulePathChars);
    buffer[kModulePathChars - 1] = L'\0';
    const XStringW path(buffer);
    ::SecureZeroMemory(buffer, sizeof(buffer));
    return wholePath ? path : FileNamePart(path);
}

XStringW GetModuleName()
{
    return GetModulePath(false);
}

XStringW GetModuleDirectory()
{
    return DirectoryPart(GetModulePath(true));
}

XStringW GetSystemDirectoryPath()
{
    wchar_t buffer[kSystemDirectoryChars] = {};
    ::GetSystemDirectoryW(buffer, kSystemDirectoryChars);
    buffer[kSystemDirectoryChars - 1] = L'\0';
    const XStringW path(buffer);
    ::SecureZeroMemory(buffer, sizeof(buffer));
    return path;
}

XStringW WithExtension(const XStringW& path, const wchar_t* extension)
{
    const int dot = path.ReverseFind(L".");
    const int separator = path.ReverseFind(L"\\");
    const XStringW stem = dot > separator ? path.Left(dot) : path;
    return stem + extension;
}
