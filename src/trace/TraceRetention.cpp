// Retention of the trace log: the files of a log directory are bounded in total, the least
// recently written going first. Only names that the trace log gives its files are touched, so a
// file someone keeps in the directory is never counted or removed.

#include "trace/TraceManager.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "common/FileTime.h"
#include "common/ScopedHandle.h"
#include "strings/CaseFold.h"

namespace {

constexpr wchar_t kLogExtension[] = L".log";
constexpr int kMaxSuffixDigits = 4;

bool IsDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

// The two-digit number at text, or -1.
int TwoDigits(const wchar_t* text)
{
    return IsDigit(text[0]) && IsDigit(text[1]) ? (text[0] - L'0') * 10 + (text[1] - L'0') : -1;
}

// Whether the stem ends in "_MMDD_hhmm" of a real date and time, after at least one character.
bool EndsWithMinute(const wchar_t* stem, size_t length)
{
    constexpr size_t kMinuteLength = 10;  // "_MMDD_hhmm"
    if (length <= kMinuteLength) {
        return false;
    }
    const wchar_t* const minute = stem + length - kMinuteLength;
    if (minute[0] != L'_' || minute[5] != L'_') {
        return false;
    }
    const int month = TwoDigits(minute + 1);
    const int day = TwoDigits(minute + 3);
    const int hour = TwoDigits(minute + 6);
    const int minutes = TwoDigits(minute + 8);
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour >= 0 && hour <= 23 &&
           minutes >= 0 && minutes <= 59;
}

enum class Removal { kRemoved, kInUse, kFailed };

// Removes a trace file unless a writer holds it open. A writer keeps its current file open from
// one line to the next: removed under it, the file takes every later line with it, gone from the
// folder at once or (under Wine) once the writer lets go. On Windows the folder shows a file held
// open with the size and time of its last close, so the current file may well look the oldest.
// The open refuses write sharing: a writer holding the file makes it fail, and none can open the
// file for writing until it is gone, when this handle closes.
Removal RemoveUnlessWritten(const XStringW& path)
{
    const ScopedHandle removal(::CreateFileW(
        path.GetString(), DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (removal) {
        return Removal::kRemoved;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_SHARING_VIOLATION) {
        return Removal::kFailed;
    }
    // A reader that does not share deleting is refused the same way; an open for deleting that
    // shares writing (it removes nothing) tells the writer apart.
    const ScopedHandle probe(::CreateFileW(
        path.GetString(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    ::SetLastError(error);
    return probe ? Removal::kInUse : Removal::kFailed;
}

struct TraceFile {
    std::wstring name;
    ULONGLONG bytes;
    ULONGLONG lastWrite;
};

}  // namespace

bool IsTraceFileName(const wchar_t* fileName)
{
    const size_t extensionLength = std::wcslen(kLogExtension);
    size_t length = std::wcslen(fileName);
    if (length <= extensionLength ||
        std::wcscmp(fileName + length - extensionLength, kLogExtension) != 0) {
        return false;
    }
    length -= extensionLength;
    if (EndsWithMinute(fileName, length)) {
        return true;
    }
    // "_<n>" after the minute, as a rotation within the minute numbers it: 1 to 9999.
    size_t digits = 0;
    while (digits < length && IsDigit(fileName[length - 1 - digits])) {
        ++digits;
    }
    if (digits == 0 || digits > static_cast<size_t>(kMaxSuffixDigits) || digits + 1 > length ||
        fileName[length - digits] == L'0' || fileName[length - digits - 1] != L'_') {
        return false;
    }
    return EndsWithMinute(fileName, length - digits - 1);
}

TraceRetentionResult RemoveOldTraceFiles(const XStringW& directory, const XStringW& keptFileName,
                                         ULONGLONG maxBytes)
{
    TraceRetentionResult result;
    XStringW pattern;
    pattern.Format(L"%@\\*%s", directory, kLogExtension);
    WIN32_FIND_DATAW found{};
    const ScopedFindHandle search(::FindFirstFileW(pattern.GetString(), &found));
    if (!search) {
        return result;
    }
    std::vector<TraceFile> files;
    ULONGLONG total = 0;
    do {
        // Folders and reparse points are no trace files, whatever their names.
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
            !IsTraceFileName(found.cFileName)) {
            continue;
        }
        const ULONGLONG bytes = CombineHalves(found.nFileSizeHigh, found.nFileSizeLow);
        total += bytes;
        if (!SameIgnoringCase(found.cFileName, keptFileName.GetString())) {
            files.push_back({found.cFileName, bytes,
                             FileTimeValue(found.ftLastWriteTime)});
        }
    } while (::FindNextFileW(search.Get(), &found));
    if (total <= maxBytes) {
        return result;
    }
    // Names of one channel sort by their minute, which breaks ties between equal times.
    std::sort(files.begin(), files.end(), [](const TraceFile& left, const TraceFile& right) {
        return left.lastWrite != right.lastWrite ? left.lastWrite < right.lastWrite
                                                 : left.name < right.name;
    });
    for (const TraceFile& file : files) {
        if (total <= maxBytes) {
            break;
        }
        XStringW path;
        path.Format(L"%@\\%s", directory, file.name.c_str());
        switch (RemoveUnlessWritten(path)) {
        case Removal::kRemoved:
            total -= file.bytes;
            ++result.removed;
            result.removedBytes += file.bytes;
            break;
        case Removal::kInUse:
            break;
        case Removal::kFailed:
            ++result.failed;
            result.lastError = ::GetLastError();
            break;
        }
    }
    return result;
}
