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
    std::wstring check;  // the short name of what was checked
    Verdict verdict;
    std::wstring text;   // for a warning or a problem, also what to do
};

using Findings = std::vector<Finding>;

// 1 when any finding is a problem, else 0.
int exitCode(const Findings& findings) noexcept;

// One line per finding: verdict, check, text.
std::string textReport(const Findings& findings);
// {"exitCode":N,"checks":[{"check":…,"verdict":…,"text":…},…]}, UTF-8.
std::string jsonReport(const Findings& findings);

}  // namespace Check
