#include "config/CRegHelper.h"

#include <optional>
#include <vector>

#include "common/ScopedHandle.h"
#include "config/MultiStringReader.h"
#include "trace/Trace.h"

namespace {

// Every key is opened in the 64-bit view, also by the 32-bit build, so that both builds see the
// same watch list.
constexpr REGSAM kReadAccess = KEY_READ | KEY_WOW64_64KEY;
constexpr REGSAM kWriteAccess = KEY_READ | KEY_WRITE | KEY_WOW64_64KEY;
static_assert(kReadAccess == 0x20119, "read and enumeration access");
static_assert(kWriteAccess == 0x2011F, "write access");

// Registry key names hold at most 255 characters.
constexpr DWORD kKeyNameChars = 256;
// A string value is first read into this many characters; a longer one is read a second time.
constexpr DWORD kFirstReadChars = 256;
constexpr DWORD kBinaryProbeBytes = 10;

// A zero-filled array of wide characters that is zeroed again before it is released, since it
// may have held text.
class ZeroedWideBuffer {
public:
    explicit ZeroedWideBuffer(size_t charCount) : chars(charCount, L'\0') {}
    ~ZeroedWideBuffer() { SecureZeroMemory(chars.data(), chars.size() * sizeof(wchar_t)); }
    ZeroedWideBuffer(const ZeroedWideBuffer&) = delete;
    ZeroedWideBuffer& operator=(const ZeroedWideBuffer&) = delete;

    wchar_t* Chars() { return chars.data(); }
    BYTE* Bytes() { return reinterpret_cast<BYTE*>(chars.data()); }

private:
    std::vector<wchar_t> chars;
};

// The data of a REG_SZ or REG_MULTI_SZ value. Both buffers keep one zero character beyond the
// largest data they are handed, so the data always ends in a null even when the value was
// stored without one.
class StringValueData {
public:
    StringValueData() : firstBuffer(kFirstReadChars + 1) {}

    // The status of the read whose data counts: the first one, or the second one when the
    // first found the value longer than its buffer. The value's type goes to type when asked
    // for; a value that is no string is not read a second time.
    LONG Read(HKEY key, const wchar_t* valueName, DWORD* type = nullptr)
    {
        DWORD valueType = REG_NONE;
        DWORD size = kFirstReadChars * sizeof(wchar_t);
        LONG status =
            RegQueryValueExW(key, valueName, nullptr, &valueType, firstBuffer.Bytes(), &size);
        if (status == ERROR_MORE_DATA && (type == nullptr || IsStringType(valueType))) {
            // size is now the value's whole size in bytes, rounded up to characters here.
            secondBuffer.emplace((size + 1) / sizeof(wchar_t) + 1);
            status =
                RegQueryValueExW(key, valueName, nullptr, nullptr, secondBuffer->Bytes(), &size);
        }
        byteSize = (status == ERROR_SUCCESS) ? size : 0;
        if (type != nullptr) {
            *type = valueType;
        }
        return status;
    }

    static bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_MULTI_SZ; }

    const wchar_t* Chars() { return secondBuffer ? secondBuffer->Chars() : firstBuffer.Chars(); }
    int CharCount() const { return static_cast<int>(byteSize / sizeof(wchar_t)); }

private:
    ZeroedWideBuffer firstBuffer;
    std::optional<ZeroedWideBuffer> secondBuffer;
    DWORD byteSize = 0;
};

// A REG_SZ's text: up to the first null or the end of the data, whichever comes first.
void StringText(StringValueData& data, XStringW& text)
{
    text.Format(L"%s", data.Chars());
}

// A REG_MULTI_SZ's strings, each followed by a line feed.
void MultiStringText(StringValueData& data, XStringW& text)
{
    text.Format(L"");
    MultiStringReader reader(data.CharCount(), data.Chars());
    for (const wchar_t* item = reader.Next(); item != nullptr; item = reader.Next()) {
        text.AppendFormat(L"%@\n", XStringW(item));
    }
}

void ReadStringText(HKEY key, const XStringW& valueName, XStringW& text)
{
    StringValueData data;
    if (data.Read(key, valueName.GetString()) == ERROR_SUCCESS) {
        StringText(data, text);
    }
}

void ReadMultiStringText(HKEY key, const XStringW& valueName, XStringW& text)
{
    StringValueData data;
    if (data.Read(key, valueName.GetString()) == ERROR_SUCCESS) {
        MultiStringText(data, text);
    }
}

// The format engine takes 32-bit integers only, so a 64-bit value is spelled out here.
XStringW UnsignedDecimal(ULONGLONG value)
{
    wchar_t digits[21] = {};
    int start = 20;
    do {
        digits[--start] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return XStringW(digits + start);
}

// A value longer than its type's size leaves text and number as they were: nothing sound can
// be made of it.
template <typename Number>
bool ReadNumber(HKEY key, const XStringW& valueName, const wchar_t* tooLongMessage, Number& value)
{
    DWORD size = sizeof(value);
    const LONG status = RegQueryValueExW(key, valueName.GetString(), nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(&value), &size);
    if (status == ERROR_MORE_DATA) {
        TraceError("CRegHelper::GetValue", __LINE__, tooLongMessage, size);
    }
    return status == ERROR_SUCCESS;
}

void ReadDwordValue(HKEY key, const XStringW& valueName, XStringW& text, DWORD& number)
{
    DWORD value = 0;
    if (ReadNumber(key, valueName, L"REG_DWORD ERROR_MORE_DATA, size:%d\n", value)) {
        text.Format(L"%u", value);
        number = value;
    }
}

void ReadQwordValue(HKEY key, const XStringW& valueName, XStringW& text, DWORD& number)
{
    ULONGLONG value = 0;
    if (ReadNumber(key, valueName, L"REG_QWORD ERROR_MORE_DATA, size:%d\n", value)) {
        text = UnsignedDecimal(value);
        number = static_cast<DWORD>(value & 0xFFFFFFFFu);
    }
}

// Only the size of a binary value is of interest; the registry reports the whole size even
// when the value does not fit the probe.
void ReadBinarySize(HKEY key, const XStringW& valueName, DWORD& size)
{
    BYTE probe[kBinaryProbeBytes] = {};
    DWORD reported = sizeof(probe);
    RegQueryValueExW(key, valueName.GetString(), nullptr, nullptr, probe, &reported);
    SecureZeroMemory(probe, sizeof(probe));
    size = reported;
}

// The registry functions return their status without setting the thread's last error; it is
// stored there before the trace so that the number in "GetLastError:%d" is the failure's own.
void TraceOpenFailure(const XStringA& functionName, int line, LONG status)
{
    SetLastError(static_cast<DWORD>(status));
    TraceError(functionName, line, L"RegOpenKeyEx(GetLastError:%d)", GetLastError());
}

// A failed write or delete, with the call, what it was about and the registry's status.
void TraceStatus(const char* functionName, int line, const wchar_t* call, const XStringW& subject,
                 LONG status)
{
    TraceError(functionName, line, L"%s %@ failed (error %d)", call, subject, status);
}

}  // namespace

namespace registry_seam {
SetValueFunction setValue = ::RegSetValueExW;
DeleteValueFunction deleteValue = ::RegDeleteValueW;
}  // namespace registry_seam

DWORD CRegHelper::GetValueType(HKEY root, const XStringW& keyPath, const XStringW& valueName)
{
    ScopedRegKey key;
    const LONG status = RegOpenKeyExW(root, keyPath.GetString(), 0, kReadAccess, key.Receive());
    if (status != ERROR_SUCCESS) {
        TraceOpenFailure("CRegHelper::GetValueType", __LINE__, status);
        return REG_NONE;
    }
    DWORD type = REG_NONE;
    const LONG query =
        RegQueryValueExW(key.Get(), valueName.GetString(), nullptr, &type, nullptr, nullptr);
    return (query == ERROR_SUCCESS) ? type : REG_NONE;
}

DWORD CRegHelper::GetValue(HKEY root, const XStringW& keyPath, const XStringW& valueName,
                           XStringW& text, DWORD& number, DWORD& size)
{
    ScopedRegKey key;
    const LONG status = RegOpenKeyExW(root, keyPath.GetString(), 0, kReadAccess, key.Receive());
    if (status != ERROR_SUCCESS) {
        TraceOpenFailure("CRegHelper::GetValue", __LINE__, status);
        return REG_NONE;
    }
    DWORD type = REG_NONE;
    DWORD reportedSize = 0;
    if (RegQueryValueExW(key.Get(), valueName.GetString(), nullptr, &type, nullptr,
                         &reportedSize) != ERROR_SUCCESS) {
        return REG_NONE;
    }
    switch (type) {
    case REG_SZ:
        ReadStringText(key.Get(), valueName, text);
        break;
    case REG_MULTI_SZ:
        ReadMultiStringText(key.Get(), valueName, text);
        break;
    case REG_DWORD:
        ReadDwordValue(key.Get(), valueName, text, number);
        break;
    case REG_QWORD:
        ReadQwordValue(key.Get(), valueName, text, number);
        break;
    case REG_BINARY:
        ReadBinarySize(key.Get(), valueName, size);
        break;
    default:
        break;
    }
    return type;
}

XStringW CRegHelper::GetStringValue(HKEY root, const XStringW& keyPath, const XStringW& valueName,
                                    DWORD* type)
{
    // The type and the text come from one open of the key and, mostly, one query. A key that
    // cannot be opened is reported as the type query reports it, the first step of the read.
    XStringW text;
    DWORD valueType = REG_NONE;
    ScopedRegKey key;
    const LONG status = RegOpenKeyExW(root, keyPath.GetString(), 0, kReadAccess, key.Receive());
    if (status != ERROR_SUCCESS) {
        TraceOpenFailure("CRegHelper::GetValueType", __LINE__, status);
    } else {
        StringValueData data;
        if (data.Read(key.Get(), valueName.GetString(), &valueType) != ERROR_SUCCESS) {
            valueType = REG_NONE;
        } else if (valueType == REG_SZ) {
            StringText(data, text);
        } else if (valueType == REG_MULTI_SZ) {
            MultiStringText(data, text);
        }
    }
    if (type != nullptr) {
        *type = valueType;
    }
    return text;
}

bool CRegHelper::SetValue(const XStringW& keyPath, const XStringW& valueName, const XStringW& text,
                          LONG* status)
{
    ScopedRegKey key;
    bool created = false;
    LONG result = CreateKey(keyPath, key, created);
    if (result == ERROR_SUCCESS) {
        result = WriteString(key.Get(), valueName, text);
    }
    if (status != nullptr) {
        *status = result;
    }
    return result == ERROR_SUCCESS;
}

LONG CRegHelper::SetExistingValue(const XStringW& keyPath, const XStringW& valueName,
                                  const XStringW& text)
{
    ScopedRegKey key;
    const LONG status =
        RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.GetString(), 0, kWriteAccess, key.Receive());
    if (status == ERROR_FILE_NOT_FOUND) {
        return status;
    }
    if (status != ERROR_SUCCESS) {
        TraceStatus("CRegHelper::SetExistingValue", __LINE__, L"RegOpenKeyEx", keyPath, status);
        return status;
    }
    // A key deleted since it was opened answers ERROR_KEY_DELETED; the write creates nothing.
    return WriteString(key.Get(), valueName, text);
}

LONG CRegHelper::CreateKey(const XStringW& keyPath, ScopedRegKey& key, bool& created)
{
    DWORD disposition = 0;
    const LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.GetString(), 0, nullptr,
                                        REG_OPTION_NON_VOLATILE, kWriteAccess, nullptr,
                                        key.Receive(), &disposition);
    created = status == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
    if (status != ERROR_SUCCESS) {
        TraceStatus("CRegHelper::CreateKey", __LINE__, L"RegCreateKeyEx", keyPath, status);
    }
    return status;
}

LONG CRegHelper::WriteString(HKEY key, const XStringW& valueName, const XStringW& text)
{
    const DWORD byteCount = static_cast<DWORD>((text.GetLength() + 1) * sizeof(wchar_t));
    const LONG status =
        registry_seam::setValue(key, valueName.GetString(), 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(text.GetString()), byteCount);
    if (status != ERROR_SUCCESS && status != ERROR_KEY_DELETED) {
        TraceStatus("CRegHelper::WriteString", __LINE__, L"RegSetValueEx", valueName, status);
    }
    return status;
}

LONG CRegHelper::DeleteValue(HKEY key, const XStringW& valueName)
{
    const LONG status = registry_seam::deleteValue(key, valueName.GetString());
    if (status == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) {
        TraceStatus("CRegHelper::DeleteValue", __LINE__, L"RegDeleteValue", valueName, status);
    }
    return status;
}

RawRegistryValue CRegHelper::ReadRaw(HKEY key, const XStringW& valueName)
{
    RawRegistryValue value;
    DWORD size = 0;
    if (RegQueryValueExW(key, valueName.GetString(), nullptr, &value.type, nullptr, &size) !=
        ERROR_SUCCESS) {
        return value;
    }
    value.data.resize(size);
    BYTE* const data = value.data.empty() ? nullptr : value.data.data();
    if (RegQueryValueExW(key, valueName.GetString(), nullptr, &value.type, data, &size) !=
        ERROR_SUCCESS) {
        return RawRegistryValue();
    }
    value.data.resize(size);
    value.present = true;
    return value;
}

LONG CRegHelper::RestoreRaw(HKEY key, const XStringW& valueName, const RawRegistryValue& value)
{
    if (!value.present) {
        return DeleteValue(key, valueName);
    }
    const LONG status = registry_seam::setValue(
        key, valueName.GetString(), 0, value.type, value.data.empty() ? nullptr : value.data.data(),
        static_cast<DWORD>(value.data.size()));
    if (status != ERROR_SUCCESS) {
        TraceStatus("CRegHelper::RestoreRaw", __LINE__, L"RegSetValueEx", valueName, status);
    }
    return status;
}

LONG CRegHelper::DeleteKey(const XStringW& keyPath)
{
    const LONG status =
        RegDeleteKeyExW(HKEY_CURRENT_USER, keyPath.GetString(), KEY_WOW64_64KEY, 0);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        TraceStatus("CRegHelper::DeleteKey", __LINE__, L"RegDeleteKeyEx", keyPath, status);
    }
    return status;
}

XStringWList CRegHelper::GetSubKeyList(HKEY root, const XStringW& keyPath)
{
    XStringWList names;
    ForEachSubKey(root, keyPath, [&](HKEY, const XStringW& name) { names.Add(name); });
    return names;
}

void CRegHelper::ForEachSubKey(HKEY root, const XStringW& keyPath, const SubKeyVisit& visit)
{
    ScopedRegKey key;
    if (RegOpenKeyExW(root, keyPath.GetString(), 0, kReadAccess, key.Receive()) != ERROR_SUCCESS) {
        return;
    }
    ZeroedWideBuffer name(kKeyNameChars);
    for (DWORD index = 0;; ++index) {
        SecureZeroMemory(name.Chars(), kKeyNameChars * sizeof(wchar_t));
        if (RegEnumKeyW(key.Get(), index, name.Chars(), kKeyNameChars) != ERROR_SUCCESS) {
            break;
        }
        visit(key.Get(), XStringW(name.Chars()));
    }
}

bool CRegHelper::KeyExists(HKEY root, const XStringW& keyPath)
{
    ScopedRegKey key;
    return RegOpenKeyExW(root, keyPath.GetString(), 0, kReadAccess, key.Receive()) ==
           ERROR_SUCCESS;
}
