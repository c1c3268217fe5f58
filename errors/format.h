// printf-style formatting of wide texts and the rendering of errors.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>

#include "errors/vexception.h"

// Message followed by one "\n   at <text>(<function> line <n>)" per entry.
std::wstring fullMessage(const vexception& e);

// "C structured exception: 0x<code in lower-case hex>"
std::wstring describeStructuredException(const cwrpexception& e);

// text in codePage widened to UTF-16; false, with the thread's last error
// set, when the system refuses it. wstr (runtime/text.h) raises on top of it.
bool widenText(const std::string& text, std::uint32_t codePage, std::wstring& output);

// The two C runtime primitives formatString is built on; a seam for tests.
struct FormatPrimitives {
    int (*count)(const wchar_t* format, va_list args);
    int (*print)(wchar_t* buffer, std::size_t capacity, const wchar_t* format, va_list args);
};
const FormatPrimitives& runtimeFormatPrimitives();
std::wstring formatStringV(const FormatPrimitives& primitives, const wchar_t* format, va_list args);

// "%s" takes a wide string (the C runtime's wide printf convention).
std::wstring formatStringRaw(const wchar_t* format, ...);

namespace format_detail {
// Arguments are prepared once (narrow texts widened with the ANSI code page),
// then passed to the C varargs function as character data or integers.
inline const wchar_t* prepare(const std::wstring& s) { return s.c_str(); }
inline const wchar_t* prepare(const wchar_t* s) { return s; }
// A text the system refuses to widen adds nothing.
std::wstring widenAnsi(const std::string& s);
inline std::wstring prepare(const std::string& s) { return widenAnsi(s); }
inline std::wstring prepare(const char* s) { return widenAnsi(s); }
template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
inline int prepare(T v) { return static_cast<int>(v); }
template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T>, int> = 0>
inline unsigned long prepare(T v) { return static_cast<unsigned long>(v); }

inline const wchar_t* pass(const std::wstring& s) { return s.c_str(); }
template <class T>
inline T pass(T v) { return v; }
}  // namespace format_detail

template <class... Args>
std::wstring formatString(const wchar_t* format, const Args&... args) {
    std::tuple<decltype(format_detail::prepare(args))...> prepared{format_detail::prepare(args)...};
    return std::apply(
        [format](const auto&... p) { return formatStringRaw(format, format_detail::pass(p)...); }, prepared);
}
