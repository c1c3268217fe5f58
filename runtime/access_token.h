// The token of a process or thread: its groups, membership and privileges.
#pragma once

#include <windows.h>

#include <vector>

#include "runtime/handle.h"

namespace RunTime {

// The token of process; for the current process the calling thread's token
// when it impersonates.
AutoHandle openToken(HANDLE process, DWORD access, const char* function);
// One class of information of token; the first try fits most answers.
std::vector<unsigned char> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what, const wchar_t* operation,
                                            const char* function);

}  // namespace RunTime

namespace RunTime::Access {

// The groups of token, as TOKEN_GROUPS.
std::vector<unsigned char> tokenGroups(HANDLE token);
// The groups of process's token (null: the current thread's token when it
// impersonates, else the process's).
std::vector<unsigned char> processTokenGroups(HANDLE process = nullptr);
// Whether groups (as tokenGroups gives them) hold group, not as deny-only.
bool holdsGroup(const std::vector<unsigned char>& groups, PSID group);
// True when the token (null: as processTokenGroups) holds Administrators as a
// group that is not deny-only.
bool isTokenMember(HANDLE token);

void enablePrivilege(const wchar_t* name);
bool privilegeExist(const wchar_t* name);

}  // namespace RunTime::Access
