#include "strings/ErrorText.h"

#include "common/ScopedHandle.h"

XStringW SystemMessageText(DWORD error)
{
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const ScopedLocalMemory owner(buffer);
    XStringW text;
    if (length > 0 && buffer != nullptr) {
        text = buffer;
        text.TrimRight();
    }
    return text;
}

XStringW SystemErrorText(DWORD error)
{
    const XStringW text = SystemMessageText(error);
    XStringW withCode;
    withCode.Format(text.IsEmpty() ? L"error %u" : L"error %u: %@", error, text);
    return withCode;
}
