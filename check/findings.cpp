#include "check/findings.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "runtime/text.h"

namespace Check {

namespace {

// Every text a JSON string needs escaped: quotes, backslashes and control characters.
std::string jsonString(const std::wstring& text) {
    std::string out = "\"";
    for (const char c : cstr(text, CP_UTF8)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

const wchar_t* verdictName(Verdict verdict) noexcept {
    switch (verdict) {
        case Verdict::Ok: return L"ok";
        case Verdict::Info: return L"info";
        case Verdict::Warning: return L"warning";
        default: return L"problem";
    }
}

std::wstring checkId(const std::wstring& check) {
    std::wstring id = check;
    std::replace(id.begin(), id.end(), L' ', L'-');
    return id;
}

Findings ordered(const Findings& findings) {
    Findings out;
    for (const wchar_t* check : kChecks) {
        const auto found = std::find_if(findings.begin(), findings.end(),
                                        [&](const Finding& finding) { return finding.check == check; });
        out.push_back(found != findings.end() ? *found : Finding{check, Verdict::Info, L"not checked"});
    }
    return out;
}

int exitCode(const Findings& findings) noexcept {
    return std::any_of(findings.begin(), findings.end(),
                       [](const Finding& finding) { return finding.verdict == Verdict::Problem; })
               ? 1
               : 0;
}

std::string textReport(const Findings& findings) {
    std::wstring text;
    for (const Finding& finding : findings) {
        std::wstring verdict = verdictName(finding.verdict), check = finding.check;
        verdict.resize(std::max<std::size_t>(verdict.size(), 8), L' ');
        check.resize(std::max<std::size_t>(check.size(), 14), L' ');
        text += verdict + check + L" " + finding.text + L"\n";
    }
    return cstr(text, CP_UTF8);
}

std::string jsonReport(const Findings& findings, const std::wstring& version, const std::wstring& agentVersion) {
    std::string json = "{\"format\":" + std::to_string(kJsonFormat) + ",\"version\":" + jsonString(version) +
                       ",\"agentVersion\":" + jsonString(agentVersion) +
                       ",\"exitCode\":" + std::to_string(exitCode(findings)) + ",\"checks\":[";
    for (const Finding& finding : findings) {
        if (&finding != &findings.front()) json += ",";
        json += "{\"id\":" + jsonString(checkId(finding.check)) + ",\"check\":" + jsonString(finding.check) +
                ",\"verdict\":" +
                jsonString(verdictName(finding.verdict)) + ",\"text\":" + jsonString(finding.text) + "}";
    }
    return json + "]}\n";
}

}  // namespace Check
