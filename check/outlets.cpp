// The two outlets switched in the configuration: error reports and tracing.
#include "check/checks.h"

#include <algorithm>

#include "check/exports.h"
#include "check/folder.h"
#include "errors/format.h"
#include "report/feedback.h"
#include "runtime/text.h"
#include "report/helpers.h"
#include "tracing/driver.h"

namespace Check {

void checkReports(const Installation& installation, Findings& findings) {
    using Feedback = SendErrorReport::DefaultSystemHelper;
    bool on = false;
    try {
        on = SendErrorReport::feedbackSwitchedOn();
    } catch (const vexception&) {
        findings.push_back({L"reports", Verdict::Warning,
                            formatString(L"%s is not a REG_SZ, so no error report is sent. Write it as REG_SZ (or "
                                         L"delete it) to send them: %s",
                                         Feedback::kFeedbackValue,
                                         regAddCommand(Feedback::kFeedbackValue, L"REG_SZ", L"true"))});
        return;
    }
    if (!on) {
        findings.push_back({L"reports", Verdict::Info,
                            formatString(L"off: %s is \"%s\"", Feedback::kFeedbackValue, Feedback::kFeedbackOff)});
        return;
    }
    if (installation.root.empty()) {
        findings.push_back({L"reports", Verdict::Info, L"not checked: no installation root"});
        return;
    }
    const std::wstring sender = SendErrorReport::reportSenderPath(installation.root);
    if (folderState(sender) == FolderState::File)
        findings.push_back({L"reports", Verdict::Ok, L"on; the sender " + sender + L" is there"});
    else
        findings.push_back({L"reports", Verdict::Problem,
                            formatString(L"%s is on but the sender %s is missing: every error report is lost. Install "
                                         L"the sender, or set %s to \"%s\"",
                                         Feedback::kFeedbackValue, sender, Feedback::kFeedbackValue,
                                         Feedback::kFeedbackOff)});
}

void checkTracing(const Installation& installation, Findings& findings) {
    if (!installation.config.valid() || !tracingSwitchedOn(installation.config.get())) {
        findings.push_back({L"tracing", Verdict::Info, formatString(L"off (%s is 0 or missing)", kTracingEnabledValue)});
        return;
    }
    const std::wstring provider = tracingProviderPath(installation.agentFolder);
    const std::wstring mend = formatString(L"put the provider there, or set %s to 0", kTracingEnabledValue);
    if (folderState(provider) != FolderState::File) {
        findings.push_back({L"tracing", Verdict::Problem,
                            formatString(L"%s is on but %s is missing: the agent records no span. %s",
                                         kTracingEnabledValue, provider, mend)});
        return;
    }
    std::wstring missing;
    try {
        const std::vector<std::string> names = exportedNames(provider);
        for (const char* entry : kProviderEntryPoints)
            if (std::find(names.begin(), names.end(), entry) == names.end())
                missing += (missing.empty() ? L"" : L", ") + wstr(entry, CP_ACP);
    } catch (const vexception& e) {
        findings.push_back({L"tracing", Verdict::Problem, e.message() + L": the agent records no span; " + mend});
        return;
    }
    if (!missing.empty())
        findings.push_back({L"tracing", Verdict::Problem,
                            provider + L" does not export " + missing + L": the agent records no span; " + mend});
    else
        findings.push_back({L"tracing", Verdict::Ok, L"on; " + provider + L" exports the three entry points"});
}

}  // namespace Check
