#include "check/checks.h"

#include <algorithm>

#include "check/folder.h"
#include "crash/crashdump.h"
#include "errors/format.h"
#include "log/log_folder.h"
#include "log/logfile.h"
#include "runtime/paths.h"
#include "runtime/text.h"
#include "report/helpers.h"
#include "tracing/driver.h"

namespace Check {

namespace {

registry::Key openConfigKey(registry::View view) {
    try {
        return registry::open(HKEY_LOCAL_MACHINE, registry::kConfigKey, KEY_QUERY_VALUE | registry::accessFlag(view));
    } catch (const vexception&) {
        return {};
    }
}

std::wstring typeName(DWORD type) {
    switch (type) {
        case REG_SZ: return L"REG_SZ";
        case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
        case REG_BINARY: return L"REG_BINARY";
        case REG_DWORD: return L"REG_DWORD";
        case REG_MULTI_SZ: return L"REG_MULTI_SZ";
        case REG_QWORD: return L"REG_QWORD";
        default: return formatString(L"value of type %lu", static_cast<unsigned long>(type));
    }
}

struct Stored {
    bool present = false;
    DWORD type = REG_NONE;
    std::wstring text;  // the data of a string type, up to its first zero
    DWORD size = 0;
};

Stored stored(const registry::Key& config, const std::wstring& name) {
    Stored value;
    if (!config.valid()) return value;
    std::vector<BYTE> data(64);
    DWORD size = static_cast<DWORD>(data.size());
    LSTATUS status = RegQueryValueExW(config.get(), name.c_str(), nullptr, &value.type, data.data(), &size);
    if (status == ERROR_MORE_DATA) {
        data.resize(size);
        status = RegQueryValueExW(config.get(), name.c_str(), nullptr, &value.type, data.data(), &size);
    }
    if (status != ERROR_SUCCESS) return value;
    value.present = true;
    value.size = size;
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) {
        value.text.assign(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
        value.text = value.text.substr(0, value.text.find(L'\0'));
    }
    return value;
}

// The values the agent reads, but the root, which has a line of its own.
std::vector<std::wstring> agentValues() {
    using Feedback = SendErrorReport::DefaultSystemHelper;
    return {registry::kProductData,        registry::kDebug,
            logSwitchName(kManagerLogName), Feedback::kFeedbackValue,
            CrashDumpInfo::kEnabledValue,  CrashDumpInfo::kLocationValue,
            CrashDumpInfo::kMaxCountValue, kTracingEnabledValue,
            registry::kPipeConnectTryCount};
}

std::wstring joined(const std::vector<std::wstring>& names, const std::wstring& separator = L", ") {
    std::wstring text;
    for (const std::wstring& name : names) text += (text.empty() ? L"" : separator) + name;
    return text;
}

// The installation root as the agent reads it; empty, with the problem named, when the agent could not use it.
std::wstring checkRoot(const registry::Key& config, const registry::Key& config64, Findings& findings) {
    const auto problem = [&](const std::wstring& text) { findings.push_back({L"root", Verdict::Problem, text}); };
    const std::wstring ofNoRoot = L"without it no record reaches the log file (the event log keeps them, without "
                                  L"their text), no report is sent and dumps are off";
    if (const std::wstring type = wrongType(config, registry::kProductRoot, REG_SZ); !type.empty()) {
        problem(formatString(L"%s is %s, not a string: %s. Write it again as REG_SZ: %s", registry::kProductRoot, type,
                             ofNoRoot, regAddCommand(registry::kProductRoot, L"REG_SZ", L"<root>")));
        return L"";
    }
    std::wstring root;
    try {
        root = registry::productRoot();
    } catch (const vexception&) {
        std::wstring in64;
        if (config64.valid()) registry::lookup(config64.get(), registry::kProductRoot, in64);
        problem(!in64.empty()
                    ? formatString(L"%s is only in the 64-bit view (\"%s\"), which the agent does not read: without "
                                   L"it no record reaches the log file, no report is sent and dumps are off. Write "
                                   L"it in the 32-bit view: %s",
                                   registry::kProductRoot, in64, regAddCommand(registry::kProductRoot, L"REG_SZ", in64))
                    : formatString(L"%s is missing: %s. Set it to the installation root: %s", registry::kProductRoot,
                                   ofNoRoot, regAddCommand(registry::kProductRoot, L"REG_SZ", L"<root>")));
        return L"";
    }
    if (root.empty()) {
        problem(formatString(L"%s is empty: dumps are off, and the log file and the event source are looked for below "
                             L"each task's current directory. Set it to the installation root: %s",
                             registry::kProductRoot, regAddCommand(registry::kProductRoot, L"REG_SZ", L"<root>")));
        return L"";
    }
    FolderState state = FolderState::Missing;
    try {
        state = folderState(root);
    } catch (const vosexception& e) {
        // reg add /d "C:\Korvo\" stores C:\Korvo" : the backslash escapes the closing quote.
        std::wstring meant = root;
        meant.erase(std::remove(meant.begin(), meant.end(), L'"'), meant.end());
        problem(formatString(L"%s is \"%s\", which is no path (%s): %s. Write it again without the quote (a final "
                             L"backslash before the closing quote of reg add keeps the quote): %s",
                             registry::kProductRoot, root, errorText(e.code()), ofNoRoot,
                             regAddCommand(registry::kProductRoot, L"REG_SZ", meant)));
        return L"";
    }
    if (state != FolderState::Folder) {
        problem(formatString(L"%s names %s, which is no folder: install the package there, or set %s to the "
                             L"installation root",
                             registry::kProductRoot, root, registry::kProductRoot));
        return L"";
    }
    findings.push_back({L"root", Verdict::Ok, formatString(L"%s is %s", registry::kProductRoot, root)});
    return root;
}

void checkSixtyFourBitView(const registry::Key& config, const registry::Key& config64, Findings& findings) {
    std::vector<std::wstring> stray;
    for (const std::wstring& name : agentValues())
        if (config64.valid() && registry::valueExists(config64.get(), name) &&
            !(config.valid() && registry::valueExists(config.get(), name)))
            stray.push_back(name);
    if (stray.empty())
        findings.push_back({L"64-bit view", Verdict::Ok, L"no value of the agent is only in the 64-bit view"});
    else
        findings.push_back({L"64-bit view", Verdict::Warning,
                            joined(stray) + L" only in the 64-bit view, which the agent does not read: the agent uses "
                                            L"their defaults. Write them in the 32-bit view (reg add ... /reg:32)"});
}

void checkDebug(const registry::Key& config, Findings& findings) {
    if (const std::wstring type = wrongType(config, registry::kDebug, REG_DWORD); !type.empty()) {
        findings.push_back({L"debug", Verdict::Warning,
                            formatString(L"%s is %s, not a REG_DWORD, and the agent reads it as 0 (off). Write it as "
                                         L"REG_DWORD: %s",
                                         registry::kDebug, type,
                                         regAddCommand(registry::kDebug, L"REG_DWORD",
                                                       meantNumber(config, registry::kDebug, L"1")))});
        return;
    }
    findings.push_back(
        {L"debug", Verdict::Info,
         registry::debugEnabled()
             ? L"Debug is on: records of every level reach the log file and the event log"
             : L"Debug is off: only Error records and above reach the log file and the event log (a timeout or a "
               L"refused job reaches neither); set Debug to 1 to see them"});
}

// The values without a line of their own.
void checkValueTypes(const registry::Key& config, Findings& findings) {
    std::vector<std::wstring> wrong;
    if (const std::wstring type = wrongType(config, registry::kProductData, REG_SZ); !type.empty())
        wrong.push_back(formatString(L"%s is %s, not a string: error reports, which need it, fail. Write it as REG_SZ: %s",
                              registry::kProductData, type,
                              regAddCommand(registry::kProductData, L"REG_SZ", L"<data folder>")));
    if (const std::wstring type = wrongType(config, registry::kPipeConnectTryCount, REG_DWORD); !type.empty())
        wrong.push_back(formatString(L"%s is %s, not a REG_DWORD: the agent uses its default. Write it as REG_DWORD: %s",
                              registry::kPipeConnectTryCount, type,
                              regAddCommand(registry::kPipeConnectTryCount, L"REG_DWORD",
                                            meantNumber(config, registry::kPipeConnectTryCount, L"<count>"))));
    if (wrong.empty())
        findings.push_back({L"value types", Verdict::Ok,
                            formatString(L"%s and %s are missing or of the type the agent reads", registry::kProductData,
                                         registry::kPipeConnectTryCount)});
    else
        findings.push_back({L"value types", Verdict::Warning, joined(wrong, L"; ")});
}

void checkUnknownValues(const registry::Key& config, Findings& findings) {
    std::vector<std::wstring> known = agentValues(), unknown;
    known.push_back(registry::kProductRoot);
    // Value names are at most 16383 characters.
    std::vector<wchar_t> name(16384);
    for (DWORD index = 0; config.valid(); ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        const LSTATUS status =
            RegEnumValueW(config.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) continue;
        const std::wstring found(name.data(), length);
        if (std::none_of(known.begin(), known.end(), [&](const std::wstring& k) { return RunTime::striequal(k, found); }))
            unknown.push_back(found);
    }
    findings.push_back(
        unknown.empty()
            ? Finding{L"unknown values", Verdict::Ok, L"the agent reads every value of the key"}
            : Finding{L"unknown values", Verdict::Info,
                      L"the agent does not read " + joined(unknown) +
                          L": a misspelt name leaves its setting at the default (the guide lists the names)"});
}

}  // namespace

std::wstring configKeyText() { return std::wstring(L"HKLM\\") + registry::kConfigKey; }

std::wstring regAddCommand(const std::wstring& name, const std::wstring& type, const std::wstring& data) {
    return formatString(L"reg add \"%s\" /reg:32 /v %s /t %s /d \"%s\"", configKeyText(), name, type, data);
}

std::wstring wrongType(const registry::Key& config, const std::wstring& name, DWORD wanted) {
    const Stored value = stored(config, name);
    if (!value.present) return L"";
    if (wanted == REG_DWORD && value.type == REG_DWORD)
        return value.size == sizeof(DWORD) ? L"" : formatString(L"a REG_DWORD of %lu bytes", value.size);
    if (wanted == REG_SZ && (value.type == REG_SZ || value.type == REG_EXPAND_SZ)) return L"";
    const bool text = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
    return L"a " + typeName(value.type) + (text ? L" (\"" + value.text + L"\")" : L"");
}

std::wstring meantNumber(const registry::Key& config, const std::wstring& name, const std::wstring& otherwise) {
    const Stored value = stored(config, name);
    const std::size_t first = value.text.find_first_not_of(L' '), last = value.text.find_last_not_of(L' ');
    if (first == std::wstring::npos) return otherwise;
    const std::wstring digits = value.text.substr(first, last - first + 1);
    return digits.size() <= 9 && digits.find_first_not_of(L"0123456789") == std::wstring::npos
               ? std::to_wstring(std::stoul(digits))
               : otherwise;
}

void checkConfiguration(Installation& installation, Findings& findings) {
    installation.config = openConfigKey(registry::View::View32);
    installation.agentFolder = parentOf(RunTime::executablePath());
    const registry::Key config64 = openConfigKey(registry::View::View64);
    if (installation.config.valid())
        findings.push_back({L"configuration", Verdict::Ok, configKeyText() + L" is there in the 32-bit view"});
    else
        findings.push_back({L"configuration", Verdict::Problem,
                            configKeyText() + L" is missing from the 32-bit view" +
                                (config64.valid() ? L" (it is in the 64-bit view, which the agent does not read)" : L"") +
                                L": create it there with its values: " +
                                regAddCommand(registry::kProductRoot, L"REG_SZ", L"<root>")});
    installation.root = checkRoot(installation.config, config64, findings);
    checkSixtyFourBitView(installation.config, config64, findings);
    checkDebug(installation.config, findings);
    checkValueTypes(installation.config, findings);
    checkUnknownValues(installation.config, findings);
}

}  // namespace Check
