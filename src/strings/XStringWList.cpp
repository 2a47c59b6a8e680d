#include "strings/XStringWList.h"

#include <cwchar>
#include <stdexcept>

namespace {

const char* const kLockTimeout = "XStringWList: the list's mutex could not be obtained";
const char* const kOutOfRange = "XStringWList: index out of range";

}  // namespace

XStringWList::XStringWList() : listMutex(::CreateMutexW(nullptr, FALSE, nullptr)) {}

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
}

void XStringWList::Add(const XStringW& text)
{
    // The copy is made before the lock is taken; it ends at the text's first zero character.
    auto element = std::make_unique<XStringW>();
    if (!text.IsEmpty()) {
        *element += text.GetString();
    }
    const MutexLock lock(listMutex.Get());
    if (lock.Owns()) {
        elements.push_back(std::move(element));
    }
}

void XStringWList::RemoveAll()
{
    const MutexLock lock(listMutex.Get());
    if (!lock.Owns()) {
        return;
    }
    while (!elements.empty()) {
        elements.pop_front();
    }
}

int XStringWList::GetCount() const
{
    const MutexLock lock(listMutex.Get());
    return lock.Owns() ? static_cast<int>(elements.size()) : 0;
}

XStringW& XStringWList::GetAt(int index) const
{
    const MutexLock lock(listMutex.Get());
    if (!lock.Owns()) {
        throw std::runtime_error(kLockTimeout);
    }
    if (index < 0 || index >= static_cast<int>(elements.size())) {
        throw std::invalid_argument(kOutOfRange);
    }
    auto it = elements.begin();
    std::advance(it, index);
    return **it;
}

XStringW XStringWList::GetCopyAt(int index) const
{
    const MutexLock lock(listMutex.Get());
    if (!lock.Owns()) {
        throw std::runtime_error(kLockTimeout);
    }
    if (index < 0 || index >= static_cast<int>(elements.size())) {
        throw std::invalid_argument(kOutOfRange);
    }
    auto it = elements.begin();
    std::advance(it, index);
    return XStringW(**it);
}

int XStringWList::Find(const XStringW& text) const
{
    if (text.IsEmpty()) {
        return -1;
    }
    const MutexLock lock(listMutex.Get());
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
    const MutexLock lock(listMutex.Get());
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
    // One element at a time: this list's mutex for the read, the destination's for the write,
    // never both at once.
    for (int i = 0; i < GetCount(); ++i) {
        XStringW copy;
        try {
            copy = GetCopyAt(i);
        } catch (const std::exception&) {
            return;  // the list shrank or its lock timed out: stop copying
        }
        destination.Add(copy);
    }
}
