#include "check/checks.h"

#include "check/folder.h"
#include "crash/crashdump.h"
#include "errors/format.h"
#include "log/log_folder.h"
#include "log/logfile.h"
#include "runtime/paths.h"
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

// The installation root; empty, with the problem named, when the agent could not use it.
std::wstring checkRoot(const registry::Key& config, const registry::Key& config64, Findings& findings) {
    std::wstring root;
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    try {
        if (config.valid()) status = registry::lookup(config.get(), registry::kProductRoot, root);
    } catch (const vexception&) {
        findings.push_back({L"root", Verdict::Problem,
                            std::wstring(registry::kProductRoot) +
                                L" is not a string: without it no record reaches the log file or the event log, no "
                                L"report is sent and dumps are off. Write it again as REG_SZ: " +
                                regAddCommand(registry::kProductRoot, L"REG_SZ", L"<root>")});
        return L"";
    }
    if (status != ERROR_SUCCESS || root.empty()) {
        std::wstring in64;
        if (config64.valid()) registry::lookup(config64.get(), registry::kProductRoot, in64);
        findings.push_back(
            {L"root", Verdict::Problem,
             !in64.empty()
                 ? formatString(L"%s is only in the 64-bit view (\"%s\"), which the agent does not read: without it "
                                L"no record reaches the log file or the event log. Write it in the 32-bit view: %s",
                                registry::kProductRoot, in64, regAddCommand(registry::kProductRoot, L"REG_SZ", in64))
                 : formatString(L"%s is missing: without it no record reaches the log file or the event log, no "
                                L"report is sent and dumps are off. Set it to the installation root: %s",
                                registry::kProductRoot, regAddCommand(registry::kProductRoot, L"REG_SZ", L"<root>"))});
        return L"";
    }
    if (folderState(root) != FolderState::Folder) {
        findings.push_back({L"root", Verdict::Problem,
                            formatString(L"%s names %s, which is no folder: install the package there, or set %s to "
                                         L"the installation root",
                                         registry::kProductRoot, root, registry::kProductRoot)});
        return L"";
    }
    findings.push_back({L"root", Verdict::Ok, formatString(L"%s is %s", registry::kProductRoot, root)});
    return root;
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

void checkSixtyFourBitView(const registry::Key& config, const registry::Key& config64, Findings& findings) {
    std::wstring stray;
    for (const std::wstring& name : agentValues())
        if (config64.valid() && registry::valueExists(config64.get(), name) &&
            !(config.valid() && registry::valueExists(config.get(), name)))
            stray += (stray.empty() ? L"" : L", ") + name;
    if (stray.empty())
        findings.push_back({L"64-bit view", Verdict::Ok, L"no value of the agent is only in the 64-bit view"});
    else
        findings.push_back({L"64-bit view", Verdict::Warning,
                            stray + L" only in the 64-bit view, which the agent does not read: the agent uses their "
                                    L"defaults. Write them in the 32-bit view (reg add ... /reg:32)"});
}

void checkDebug(const registry::Key& config, Findings& findings) {
    DWORD debug = 0;
    try {
        if (config.valid()) registry::lookup(config.get(), registry::kDebug, debug);
    } catch (const vexception&) {
        findings.push_back({L"debug", Verdict::Warning,
                            L"Debug is not a REG_DWORD and counts as 0. Write it as REG_DWORD: " +
                                regAddCommand(registry::kDebug, L"REG_DWORD", L"0")});
        return;
    }
    findings.push_back(
        {L"debug", Verdict::Info,
         debug ? L"Debug is on: records of every level reach the log file and the event log"
               : L"Debug is off: only Error records and above reach the log file and the event log (a timeout or a "
                 L"refused job reaches neither); set Debug to 1 to see them"});
}

}  // namespace

std::wstring configKeyText() { return std::wstring(L"HKLM\\") + registry::kConfigKey; }

std::wstring regAddCommand(const std::wstring& name, const std::wstring& type, const std::wstring& data) {
    return formatString(L"reg add \"%s\" /reg:32 /v %s /t %s /d \"%s\"", configKeyText(), name, type, data);
}

Installation checkConfiguration(Findings& findings) {
    Installation installation{openConfigKey(registry::View::View32), L"",
                              parentOf(RunTime::executablePath())};
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
    return installation;
}

}  // namespace Check
