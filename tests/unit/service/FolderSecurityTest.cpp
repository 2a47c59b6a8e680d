// The permissions of the executable's folder: who may write there, and the lock the package puts
// on it.

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include "TestSupport.h"
#include "common/ScopedHandle.h"
#include "service/FolderSecurity.h"

using namespace testing_support;

namespace {

// The DACL of a security descriptor written in SDDL, kept alive by the caller's buffer.
bool WritableBySddl(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr))
        << Utf8(sddl);
    const ScopedLocalMemory owner(descriptor);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    return folder_security::DaclLetsUsersWrite(dacl);
}

std::string FolderDacl(const std::wstring& folder)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return "?";
    }
    const ScopedLocalMemory owner(descriptor);
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return "?";
    }
    const ScopedLocalMemory textOwner(text);
    return Utf8(text);
}

TEST(FolderSecurityTest, WriteRightsOfEveryUserAreSeenInTheOrderOfTheEntries)
{
    const struct {
        const wchar_t* sddl;
        bool writable;
    } cases[] = {
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", false},
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;AU)", true},  // Authenticated Users: modify
        {L"D:P(A;OICI;FA;;;SY)(A;CI;0x4;;;BU)", true},          // Users: create folders
        {L"D:P(A;OICI;FA;;;SY)(A;OICIIO;FA;;;WD)", false},      // inherit-only: not the folder
        {L"D:P(D;;0x6;;;BU)(A;OICI;FA;;;BU)", true},             // what is not denied is granted
        {L"D:P(D;;0x1d0146;;;BU)(A;OICI;0x1301bf;;;BU)", false},
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)", false},  // one user: not all
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WritableBySddl(c.sddl), c.writable) << Utf8(c.sddl);
    }
}

TEST(FolderSecurityTest, TheLockLeavesSystemAndAdministratorsFullControlAndUsersReading)
{
    const ScratchDir dir(L"folder_security");
    const std::string before = FolderDacl(dir.Path());
    ASSERT_TRUE(folder_security::Lock(dir.Path().c_str(), nullptr));
    const std::string after = FolderDacl(dir.Path());
    if (after == before) {
        // Wine 8 derives a file's DACL from its Unix mode and keeps no other.
        GTEST_SKIP() << "this platform keeps no DACL of a folder: " << after;
    }
    EXPECT_EQ(after, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)");
    bool writable = true;
    EXPECT_TRUE(folder_security::IsWritableByUsers(dir.Path().c_str(), writable, nullptr));
    EXPECT_FALSE(writable);
}

}  // namespace
