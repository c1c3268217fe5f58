// What rundock-check found: one line per check, with its verdict, and the
// two forms it prints them in.
#pragma once

#include <string>
#include <vector>

namespace Check {

// In rising order of weight. Only a problem stops the agent or loses its records.
enum class Verdict { Ok, Info, Warning, Problem };

const wchar_t* verdictName(Verdict verdict) noexcept;

struct Finding {
    std::wstring check;  // the short name of what was checked, one of kChecks
    Verdict verdict;
    std::wstring text;   // for a warning or a problem, also what to do
};

using Findings = std::vector<Finding>;

// Every check's name, in the order they print: each prints once, whatever the state.
inline constexpr const wchar_t* kChecks[] = {
    L"configuration", L"root",         L"64-bit view",  L"debug",        L"value types", L"unknown values",
    L"log file",      L"log folder",   L"event source", L"message file", L"crash dumps", L"dump folder",
    L"dump space",    L"dump readers", L"reports",      L"tracing",      L"windows",     L"long paths",
    L"account"};

// A check's stable id for scripts: its name with '-' for each blank.
std::wstring checkId(const std::wstring& check);

// One finding per check of kChecks, in that order: the first found for it,
// else an info that it was not checked.
Findings ordered(const Findings& findings);

// 1 when any finding is a problem, else 0.
int exitCode(const Findings& findings) noexcept;

// The number of the JSON form, raised when a key changes or goes.
inline constexpr int kJsonFormat = 1;

// One line per finding: verdict, check, text.
std::string textReport(const Findings& findings);
// {"format":1,"version":…,"agentVersion":…,"exitCode":N,"checks":[{"id":…,"check":…,"verdict":…,"text":…},…]}, UTF-8.
std::string jsonReport(const Findings& findings, const std::wstring& version, const std::wstring& agentVersion);

}  // namespace Check
