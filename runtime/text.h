// Conversion between UTF-16 and code-page text, and two small text helpers.
#pragma once

#include <cstdint>
#include <string>

// code page: 0 (CP_ACP) or 65001 (CP_UTF8), as each caller states.
std::string cstr(const std::wstring& text, std::uint32_t codePage);
std::wstring wstr(const std::string& text, std::uint32_t codePage);

std::wstring trimRightSpace(const std::wstring& text);
std::wstring toDecimal(std::uint32_t value);
