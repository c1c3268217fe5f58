#include "errors/vexception.h"

#include <windows.h>

vexception::vexception(std::wstring message, const ErrorContext& context)
    : message_(std::move(message)) {
    chain_.push_back(context);
}

std::wstring systemMessage(std::uint32_t code) {
    // Into a buffer of our own: nothing to free, also when an allocation throws.
    constexpr std::size_t kLargestMessage = 65536;
    std::wstring text(512, L'\0');
    for (;;) {
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                            MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text.data(),
                                            static_cast<DWORD>(text.size()), nullptr);
        if (length != 0) {
            text.resize(length);
            return text;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || text.size() >= kLargestMessage) return {};
        text.resize(text.size() * 4);
    }
}

std::wstring vosexception::composeMessage(std::uint32_t code, const wchar_t* operation) {
    wchar_t suffix[32];
    _snwprintf(suffix, 32, L" (Error code %lu)", static_cast<unsigned long>(code));
    suffix[31] = L'\0';
    std::wstring tail = suffix;
    if (operation) {
        tail += L" at ";
        tail += operation;
    }

    std::wstring text = systemMessage(code);
    if (text.empty()) return L"Unknown error" + tail;
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
    return text + tail;
}

vosexception::vosexception(std::uint32_t code, const wchar_t* operation, const ErrorContext& context)
    : vexception(composeMessage(code, operation), context), code_(code) {}

namespace {
template <std::uint32_t Code>
[[noreturn]] void raise(const wchar_t* operation, const ErrorContext& context) {
    throw VOsErrorException<Code>(Code, operation, context);
}
}  // namespace

void throwOsError(const wchar_t* operation, std::uint32_t code, const ErrorContext& context) {
    switch (code) {
    case 2: raise<2>(operation, context);
    case 3: raise<3>(operation, context);
    case 5: raise<5>(operation, context);
    case 6: raise<6>(operation, context);
    case 14: raise<14>(operation, context);
    case 15: raise<15>(operation, context);
    case 26: raise<26>(operation, context);
    case 32: raise<32>(operation, context);
    case 33: raise<33>(operation, context);
    case 34: raise<34>(operation, context);
    case 36: raise<36>(operation, context);
    case 38: raise<38>(operation, context);
    case 80: raise<80>(operation, context);
    case 122: raise<122>(operation, context);
    case 123: raise<123>(operation, context);
    case 145: raise<145>(operation, context);
    case 161: raise<161>(operation, context);
    case 183: raise<183>(operation, context);
    case 232: raise<232>(operation, context);
    case 267: raise<267>(operation, context);
    case 1060: raise<1060>(operation, context);
    case 1072: raise<1072>(operation, context);
    case 1073: raise<1073>(operation, context);
    case 1332: raise<1332>(operation, context);
    case 1387: raise<1387>(operation, context);
    case 1789: raise<1789>(operation, context);
    case 2245: raise<2245>(operation, context);
    default: throw vosexception(code, operation, context);
    }
}

std::uint32_t lastError() noexcept { return GetLastError(); }

void throwLastOsError(const wchar_t* operation, const char* function, std::int32_t line) {
    const DWORD error = GetLastError();
    throwOsError(operation, error, raiseSite(function, line));
}
