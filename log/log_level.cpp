#include "log/log_level.h"

namespace {

constexpr int kLevels = Crash + 1;

}  // namespace

const wchar_t* logLevelName(int level) noexcept {
    static const wchar_t* const names[kLevels] = {L"Info", L"Warning", L"Result", L"Error", L"Unexpected", L"Crash"};
    return level >= 0 && level < kLevels ? names[level] : L"Unknown level";
}
