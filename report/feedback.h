// Whether reports are sent and to which program. The handler's system helper
// and rundock-check read them here.
#pragma once

#include <string>

namespace SendErrorReport {

// SendFeedback of the configuration key is not "false"; a missing value is
// on, a wrongly typed one throws (and the handler sends nothing).
bool feedbackSwitchedOn();
// <root>\admin\bin\send-error-report.exe
std::wstring reportSenderPath(const std::wstring& root);

}  // namespace SendErrorReport
