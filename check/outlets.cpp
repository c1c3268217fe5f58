// The two outlets switched in the configuration: error reports and tracing.
#include "check/checks.h"

#include <iterator>

#include "check/exports.h"
#include "check/folder.h"
#include "errors/format.h"
#include "report/feedback.h"
#include "runtime/paths.h"
#include "runtime/text.h"
#include "report/helpers.h"
#include "tracing/driver.h"

namespace Check {

namespace {

// A text that reads as "off" to an operator but leaves reports on.
bool meantOff(const std::wstring& text) {
    for (const wchar_t* off : {L"false", L"0", L"no", L"off"})
        if (RunTime::striequal(text, off)) return true;
    return false;
}

}  // namespace

void checkReports(const Installation& installation, Findings& findings) {
    using Feedback = SendErrorReport::DefaultSystemHelper;
    const std::wstring turnOff = formatString(L"only the text \"%s\", in lower case, turns reports off",
                                              Feedback::kFeedbackOff);
    if (const std::wstring type = wrongType(installation.config, Feedback::kFeedbackValue, REG_SZ); !type.empty()) {
        findings.push_back({L"reports", Verdict::Warning,
                            formatString(L"%s is %s, not a REG_SZ, so no error report is sent. Write it as REG_SZ "
                                         L"(%s), or delete it to send them: %s",
                                         Feedback::kFeedbackValue, type, turnOff,
                                         regAddCommand(Feedback::kFeedbackValue, L"REG_SZ", Feedback::kFeedbackOff))});
        return;
    }
    if (!SendErrorReport::feedbackSwitchedOn()) {
        findings.push_back({L"reports", Verdict::Info,
                            formatString(L"off: %s is \"%s\"", Feedback::kFeedbackValue, Feedback::kFeedbackOff)});
        return;
    }
    // On, as the agent reads it; a text other than the one that turns reports off is named.
    std::wstring written;
    if (installation.config.valid()) registry::lookup(installation.config.get(), Feedback::kFeedbackValue, written);
    const std::wstring on =
        written.empty() ? std::wstring(L"on") : formatString(L"on (%s is \"%s\": %s)", Feedback::kFeedbackValue, written, turnOff);
    if (installation.root.empty()) {
        findings.push_back({L"reports", Verdict::Info, on + L"; the sender not checked: no installation root"});
        return;
    }
    const std::wstring sender = SendErrorReport::reportSenderPath(installation.root);
    if (folderState(sender) == FolderState::File)
        findings.push_back({L"reports", meantOff(written) ? Verdict::Warning : Verdict::Ok,
                            on + L"; the sender " + sender + L" is there"});
    else
        findings.push_back({L"reports", Verdict::Warning,
                            formatString(L"%s, but the sender %s is missing: every error report is lost (the records "
                                         L"are kept). Install the sender, or set %s to \"%s\"",
                                         on, sender, Feedback::kFeedbackValue, Feedback::kFeedbackOff)});
}

void checkTracing(const Installation& installation, Findings& findings) {
    if (const std::wstring type = wrongType(installation.config, kTracingEnabledValue, REG_DWORD); !type.empty()) {
        findings.push_back({L"tracing", Verdict::Warning,
                            formatString(L"off: %s is %s, not a REG_DWORD, which the agent reads as 0. Write it as "
                                         L"REG_DWORD: %s",
                                         kTracingEnabledValue, type,
                                         regAddCommand(kTracingEnabledValue, L"REG_DWORD",
                                                       meantNumber(installation.config, kTracingEnabledValue, L"1")))});
        return;
    }
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
        for (const std::string& entry : missingExports(provider, {std::begin(kProviderEntryPoints),
                                                                  std::end(kProviderEntryPoints)}))
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
