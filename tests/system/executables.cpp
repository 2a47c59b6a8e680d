// What the built executables import. The service runs in session 0 on Windows, where it sees no
// user's window: a window probe in it would pass under Wine (one desktop for every process) and
// fail on Windows, so windows are looked at only by the companion.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <set>
#include <string>

#include "TestSupport.h"

using namespace testing_support;

namespace {

// The names of the functions the executable imports by name, read from its import table.
std::set<std::string> ImportedNames(const std::string& image)
{
    std::set<std::string> names;
    auto at = [&](size_t offset, size_t size) -> const BYTE* {
        return offset + size <= image.size() ? reinterpret_cast<const BYTE*>(image.data()) + offset
                                             : nullptr;
    };
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(at(0, sizeof(IMAGE_DOS_HEADER)));
    if (dos == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) {
        return names;
    }
    // The 32-bit build's headers (PE32) and the 64-bit build's (PE32+) differ in the optional
    // header and in the width of an import thunk; the section table follows either.
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
        at(dos->e_lfanew, sizeof(IMAGE_NT_HEADERS64)));
    if (nt == nullptr || (nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC &&
                          nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)) {
        return names;
    }
    const bool wide = nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    const size_t thunkSize = wide ? sizeof(ULONGLONG) : sizeof(DWORD);
    const ULONGLONG ordinalFlag = wide ? IMAGE_ORDINAL_FLAG64 : IMAGE_ORDINAL_FLAG32;
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    auto fileOffset = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& s = sections[i];
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.Misc.VirtualSize) {
                return rva - s.VirtualAddress + s.PointerToRawData;
            }
        }
        return image.size();
    };
    const DWORD importRva =
        wide ? reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt)
                   ->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT]
                   .VirtualAddress
             : nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (size_t d = fileOffset(importRva);; d += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor =
            reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(at(d, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
        if (descriptor == nullptr || descriptor->Name == 0) {
            break;
        }
        const DWORD thunks = descriptor->OriginalFirstThunk != 0 ? descriptor->OriginalFirstThunk
                                                                 : descriptor->FirstThunk;
        for (size_t t = fileOffset(thunks);; t += thunkSize) {
            const BYTE* entry = at(t, thunkSize);
            ULONGLONG thunk = 0;
            if (entry == nullptr || (std::memcpy(&thunk, entry, thunkSize), thunk == 0)) {
                break;
            }
            if ((thunk & ordinalFlag) != 0) {
                continue;
            }
            const size_t name = fileOffset(static_cast<DWORD>(thunk)) + sizeof(WORD);
            if (at(name, 1) != nullptr) {
                names.insert(image.c_str() + name);
            }
        }
    }
    return names;
}

const char* const kWindowProbes[] = {"IsHungAppWindow", "SendMessageTimeoutW", "EnumWindows",
                                     "FindWindowW"};

TEST(ExecutablesTest, OnlyTheCompanionImportsWindowProbes)
{
    const std::wstring dist = QUORBEL_DIST_DIR;
    const std::set<std::string> service = ImportedNames(ReadFileBytes(dist + L"\\QuorbelService.exe"));
    const std::set<std::string> companion =
        ImportedNames(ReadFileBytes(dist + L"\\QuorbelServiceManager.exe"));
    ASSERT_TRUE(service.count("CreateProcessAsUserW")) << "the import table was not read: "
                                                       << service.size() << " names";
    for (const char* probe : kWindowProbes) {
        EXPECT_EQ(0u, service.count(probe)) << "QuorbelService.exe imports " << probe;
    }
    EXPECT_EQ(1u, companion.count("IsHungAppWindow")) << companion.size() << " names";
    // The liveness checks' sockets and HTTP client are the service's alone.
    for (const char* network : {"WSAStartup", "WinHttpSendRequest"}) {
        EXPECT_EQ(1u, service.count(network)) << "QuorbelService.exe does not import " << network;
        EXPECT_EQ(0u, companion.count(network)) << "QuorbelServiceManager.exe imports " << network;
    }
}

}  // namespace
