// The checks of rundock-check, in the order they print. Each reads the
// settings through the agent's own readers and changes nothing.
#pragma once

#include <string>

#include "check/findings.h"
#include "runtime/registry.h"

#include <windows.h>

namespace Check {

// What the later checks start from, as the agent reads it.
struct Installation {
    registry::Key config;     // the configuration key, 32-bit view, for reading; empty when missing
    std::wstring root;        // PRODUCT_ROOT_D when it names a folder, else empty
    std::wstring agentFolder; // this program's folder, the agent's when installed
};

// The agent's file name: its event source's name, and what runs beside this program.
inline constexpr wchar_t kAgentFile[] = L"rundock.exe";

// The key and the root, values only in the 64-bit view, "Debug", the types of
// the values without a check of their own, the names the agent does not read.
// Fills installation as far as it gets.
void checkConfiguration(Installation& installation, Findings& findings);
// The log file's switch and folder; the event source and its message file.
void checkLogFile(const Installation& installation, Findings& findings);
void checkEventLog(const Installation& installation, Findings& findings);
// Whether dumps are on, their folder, its free space and who may read it.
void checkCrashDumps(const Installation& installation, Findings& findings);
// The report sender and the tracing provider, when switched on.
void checkReports(const Installation& installation, Findings& findings);
void checkTracing(const Installation& installation, Findings& findings);
// The system and the account, for information.
void checkSystem(Findings& findings);

// How a value of the configuration key is wrongly typed, for its line: 'a REG_SZ ("1")'; empty when it is missing
// or has the type wanted (REG_DWORD of 4 bytes, or for REG_SZ a REG_SZ or REG_EXPAND_SZ).
std::wstring wrongType(const registry::Key& config, const std::wstring& name, DWORD wanted);
// What an operator meant by a wrongly typed DWORD value: the number a text of digits holds, else otherwise.
std::wstring meantNumber(const registry::Key& config, const std::wstring& name, const std::wstring& otherwise);

// The file version in a file's version resource ("1.2.3"); empty when it has none.
std::wstring fileVersion(const std::wstring& path);

// The command that writes value name in the 32-bit view of the configuration key.
std::wstring regAddCommand(const std::wstring& name, const std::wstring& type, const std::wstring& data);
// HKLM\SOFTWARE\Korvo\QRT Config\Config
std::wstring configKeyText();

}  // namespace Check
