// What a failure says: the message of the exception an action raises, and the system's own text for an error code.
#pragma once

#include <windows.h>

#include <string>

namespace test_support {

// What describe, by default the message, makes of the Expected exception that action raises; any other escapes, and
// no failure at all reads "(no failure)".
template <class Expected, class Action, class Describe = std::wstring (*)(const Expected&)>
std::wstring messageOf(Action action, Describe describe = [](const Expected& e) { return e.message(); }) {
    try {
        action();
    } catch (const Expected& e) {
        return describe(e);
    }
    return L"(no failure)";
}

// What the system says for an error code, as the exception family asks for it, trailing line ends removed; empty when
// the system has no text. Tests build expected messages from it because Wine's texts differ from Windows'.
inline std::wstring systemText(DWORD code) {
    wchar_t buffer[4096] = {};  // left empty when the call fails
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, 4096, nullptr);
    std::wstring text = buffer;
    return text.erase(text.find_last_not_of(L"\r\n") + 1);
}

}  // namespace test_support
