// Tokens for tests that start children as another user: this process's own user with groups made deny-only.
#pragma once

#include <windows.h>

#include <vector>

#include "runtime/handle.h"
#include "runtime/sid.h"
#include "tests/support/process_runner.h"

namespace test_support {

// This process's token with the given groups deny-only, as a token of type; flags as CreateRestrictedToken takes them
// (DISABLE_MAX_PRIVILEGE: no privilege but SeChangeNotifyPrivilege).
inline RunTime::AutoHandle restrictedToken(const std::vector<const RunTime::Sid*>& denyOnly,
                                           TOKEN_TYPE type = TokenImpersonation, DWORD flags = 0) {
    std::vector<SID_AND_ATTRIBUTES> disabled;
    for (const RunTime::Sid* sid : denyOnly) disabled.push_back({sid->get(), 0});
    RunTime::AutoHandle processToken, restricted, result;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, processToken.put()) ||
        !CreateRestrictedToken(processToken.get(), flags, static_cast<DWORD>(disabled.size()), disabled.data(), 0,
                               nullptr, 0, nullptr, restricted.put()) ||
        !DuplicateTokenEx(restricted.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, type, result.put()))
        throw test_process::osFailure("restricted token");
    return result;
}

// Impersonates token on the calling thread; RevertToSelf ends it.
inline RunTime::AutoHandle impersonate(RunTime::AutoHandle token) {
    if (!SetThreadToken(nullptr, token.get())) throw test_process::osFailure("SetThreadToken");
    return token;
}

// Impersonates this process's user with the Administrators group deny-only.
inline RunTime::AutoHandle impersonateWithoutAdministrators() {
    return impersonate(restrictedToken({&RunTime::Sid::administrators()}));
}

}  // namespace test_support
