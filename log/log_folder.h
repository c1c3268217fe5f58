// Whether a log file is written and where, as the configuration key says.
// Reading creates nothing; the log file and rundock-check read it here.
#pragma once

#include <windows.h>

#include <string>

// Under the installation root. The agent never creates it.
inline constexpr wchar_t kLogFolder[] = L"admin\\logs";

// "log_" + name + "_enabled".
std::wstring logSwitchName(const std::wstring& name);
// The switch of the file called name, enabledByDefault when missing; a
// wrongly typed value throws.
DWORD logFileSwitch(const std::wstring& name, DWORD enabledByDefault);
// <PRODUCT_ROOT_D>\admin\logs; throws when the root is missing or wrongly typed.
std::wstring logFolder();
