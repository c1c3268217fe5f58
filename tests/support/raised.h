// The message of the exception an action raises.
#pragma once

#include <string>

namespace test_support {

// The message of the Expected exception that action raises; any other
// escapes, and no failure at all reads "(no failure)".
template <class Expected, class Action>
std::wstring messageOf(Action action) {
    try {
        action();
    } catch (const Expected& e) {
        return e.message();
    }
    return L"(no failure)";
}

}  // namespace test_support
