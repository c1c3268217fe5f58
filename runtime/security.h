// Token membership in the BUILTIN Administrators group.
#pragma once

#include <windows.h>

namespace RunTime::Access {
// True when the token (null: the current thread's, else the process's) holds
// Administrators as a group that is not deny-only.
bool isTokenMember(HANDLE token);
}  // namespace RunTime::Access
