#pragma once
// Who may write into the folder of the executable that runs as LocalSystem. Whoever can create
// or replace a file there runs code as LocalSystem: the service starts its executable and the
// companion from that folder.

#include <windows.h>

#include "strings/XStringW.h"

namespace folder_security {

// Whether Users, Authenticated Users or Everyone may create, replace or delete files in the
// folder or change its permissions. False with the error in *error when the permissions cannot
// be read.
bool IsWritableByUsers(const XStringW& folder, bool& writable, DWORD* error);

// The same for a DACL: whether it grants every user such a right (a null DACL grants all).
bool DaclLetsUsersWrite(const ACL* dacl);

// Sets the folder's permissions to SYSTEM and Administrators full control and Users read and
// execute, inherited by everything in it, and none inherited from its parent. False with the
// error in *error when they cannot be set.
bool Lock(const XStringW& folder, DWORD* error);

}  // namespace folder_security
