#include "errors/vexception.h"

#include <windows.h>

vexception::vexception(std::wstring message, const ErrorContext& context)
    : message_(std::move(message)) {
    chain_.push_back(context);
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

    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) {
        if (buffer) LocalFree(buffer);
        return L"Unknown error" + tail;
    }
    std::wstring text(buffer, length);
    LocalFree(buffer);
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

void throwLastOsError(const wchar_t* operation, const char* function, std::int32_t line) {
    const DWORD error = GetLastError();
    throwOsError(operation, error, raiseSite(function, line));
}
