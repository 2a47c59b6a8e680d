#pragma once
// Ordered list of XStringW values guarded by its own mutex, so that any thread may use it.
// Every wait for the mutex is bounded at 10000 ms; an operation whose wait expires touches no
// element and acts as on an empty list (Add drops its text), except GetAt and GetCopyAt, which
// throw std::runtime_error rather than hand out an element unguarded.

#include <windows.h>

#include <list>
#include <memory>

#include "common/ScopedHandle.h"
#include "strings/XStringW.h"

class XStringWList {
public:
    XStringWList();
    XStringWList(const XStringWList& other);
    XStringWList& operator=(const XStringWList& other);
    virtual ~XStringWList();

    void Add(const XStringW& text);
    void RemoveAll();
    int GetCount() const;
    // The stored element itself; it stays owned by the list. Throws std::invalid_argument for an
    // index outside 0 to count - 1.
    XStringW& GetAt(int index) const;
    XStringW GetCopyAt(int index) const;
    int Find(const XStringW& text) const;
    XStringW Join() const;
    void CopyTo(XStringWList& destination) const;

private:
    // Copies the element at index while holding the mutex; false when there is none or the
    // wait expired.
    bool CopyAtIfPresent(int index, XStringW& copy) const;
    // The element at index; the caller holds the mutex. Throws std::invalid_argument.
    XStringW* ElementAt(int index) const;

    std::list<std::unique_ptr<XStringW>> elements;
    // An in-process mutex, recursive like a kernel mutex: taking it costs no system call while
    // nobody else holds it, and a list holds no handle.
    mutable CRITICAL_SECTION listMutex;
};
