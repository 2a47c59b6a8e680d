#include "strings/XStringWList.h"

#include <cwchar>
#include <iterator>
#include <stdexcept>

namespace {

// A wait that expired leaves the elements alone; these two operations cannot then hand out
// anything sensible, so they say so instead of reaching in unguarded.
[[noreturn]] void ThrowTimeout()
{
    throw std::runtime_error("XStringWList: the list's mutex could not be obtained");
}

[[noreturn]] void ThrowOutOfRange()
{
    throw std::invalid_argument("XStringWList: index outside the list");
}

constexpr DWORD kListWaitMs = 10000;

}  // namespace


XStringWList::XStringWList()
{
    // No debug information: it would be one more allocation for every list.
    ::InitializeCriticalSectionEx(&listMutex, 0, CRITICAL_SECTION_NO_DEBUG_INFO);
}

XStringWList::XStringWList(const XStringWList& other) : XStringWList()
{
    other.CopyTo(*this);
}

XStringWList& XStringWList::operator=(const XStringWList& other)
{
    other.CopyTo(*this);
    return *this;
}

XStringWList::~XStringWList()
{
    RemoveAll();
    ::DeleteCriticalSection(&listMutex);
}

void XStringWList::Add(const XStringW& text)
{
    auto element = std::make_unique<XStringW>();
    if (!text.IsEmpty()) {
        *element += text;  // up to the first zero character
    }
    const MutexLock lock(listMutex, kListWaitMs);
    if (lock.Owns()) {
        elements.push_back(std::move(element));
    }
}

void XStringWList::RemoveAll()
{
    const MutexLock lock(listMutex, kListWaitMs);
    if (!lock.Owns()) {
        return;
    }
    while (!elements.empty()) {
        elements.pop_front();
    }
}

int XStringWList::GetCount() const
{
    const MutexLock lock(listMutex, kListWaitMs);
    return lock.Owns() ? static_cast<int>(elements.size()) : 0;
}

XStringW& XStringWList::GetAt(int index) const
{
    const MutexLock lock(listMutex, kListWaitMs);
    if (!lock.Owns()) {
        ThrowTimeout();
    }
    return *ElementAt(index);
}

XStringW XStringWList::GetCopyAt(int index) const
{
    const MutexLock lock(listMutex, kListWaitMs);
    if (!lock.Owns()) {
        ThrowTimeout();
    }
    XStringW copy(*ElementAt(index));
    return copy;
}

int XStringWList::Find(const XStringW& text) const
{
    if (text.IsEmpty()) {
        return -1;
    }
    const MutexLock lock(listMutex, kListWaitMs);
    if (!lock.Owns()) {
        return -1;
    }
    int index = 0;
    for (const auto& element : elements) {
        if (std::wcscmp(element->GetString(), text.GetString()) == 0) {
            return index;
        }
        ++index;
    }
    return -1;
}

XStringW XStringWList::Join() const
{
    XStringW joined;
    const MutexLock lock(listMutex, kListWaitMs);
    if (!lock.Owns()) {
        return joined;
    }
    for (const auto& element : elements) {
        joined += *element;
        joined += L"|";
    }
    return joined;
}

void XStringWList::CopyTo(XStringWList& destination) const
{
    if (&destination == this) {
        return;
    }
    destination.RemoveAll();
    // One element at a time, under this list's mutex only; it is released before the
    // destination's is taken, so two lists copying into each other cannot deadlock.
    XStringW copy;
    for (int index = 0; CopyAtIfPresent(index, copy); ++index) {
        destination.Add(copy);
    }
}

bool XStringWList::CopyAtIfPresent(int index, XStringW& copy) const
{
    const MutexLock lock(listMutex, kListWaitMs);
    if (!lock.Owns() || index < 0 || index >= static_cast<int>(elements.size())) {
        return false;
    }
    copy = *std::next(elements.begin(), index)->get();
    return true;
}

XStringW* XStringWList::ElementAt(int index) const
{
    if (index < 0 || index >= static_cast<int>(elements.size())) {
        ThrowOutOfRange();
    }
    return std::next(elements.begin(), index)->get();
}
