#include "report/feedback.h"

#include "report/helpers.h"
#include "runtime/paths.h"
#include "runtime/registry.h"

namespace SendErrorReport {

bool feedbackSwitchedOn() {
    std::wstring text;
    registry::lookup(HKEY_LOCAL_MACHINE, registry::kConfigKey, DefaultSystemHelper::kFeedbackValue, text, REG_SZ,
                     registry::View::View32);
    return text != DefaultSystemHelper::kFeedbackOff;
}

std::wstring reportSenderPath(const std::wstring& root) {
    return VFileName::combine(root, L"admin\\bin\\send-error-report.exe");
}

}  // namespace SendErrorReport
