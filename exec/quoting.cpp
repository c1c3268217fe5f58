#include "exec/quoting.h"

#include <windows.h>
#include <shellapi.h>

#include <cwctype>
#include <memory>
#include <vector>

namespace {

constexpr wchar_t kSpecialCharacters[] = L"\"&<>()[]{}^=;!'+,`~|";

bool needsQuotes(const std::wstring& argument) {
    if (argument.empty()) return true;
    for (wchar_t c : argument)
        if (std::iswspace(c) || std::wcschr(kSpecialCharacters, c)) return true;
    return false;
}

bool containsNoCase(const std::wstring& text, const wchar_t* word) {
    const std::size_t length = std::wcslen(word);
    if (text.size() < length) return false;
    for (std::size_t start = 0; start + length <= text.size(); ++start) {
        std::size_t i = 0;
        while (i < length && std::towlower(text[start + i]) == word[i]) ++i;
        if (i == length) return true;
    }
    return false;
}

std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine) {
    std::vector<std::wstring> arguments;
    // CommandLineToArgvW answers an empty line with the program's own path.
    if (commandLine.empty()) return arguments;
    int count = 0;
    struct LocalFreer {
        void operator()(wchar_t** p) const { LocalFree(p); }
    };
    std::unique_ptr<wchar_t*, LocalFreer> argv(CommandLineToArgvW(commandLine.c_str(), &count));
    if (!argv) return arguments;
    for (int i = 0; i < count; ++i) arguments.emplace_back(argv.get()[i]);
    return arguments;
}

std::vector<std::wstring> splitAtEquals(const std::wstring& argument) {
    std::vector<std::wstring> pieces;
    std::size_t start = 0;
    while (start <= argument.size()) {
        std::size_t end = argument.find(L'=', start);
        if (end == std::wstring::npos) end = argument.size();
        if (end > start) pieces.push_back(argument.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

}  // namespace

std::wstring quoteArgument(const std::wstring& argument) {
    if (!needsQuotes(argument)) return argument;
    // Built back to front: a run of backslashes is doubled when a quote
    // follows it, either an escaped quote or the closing one.
    std::wstring reversed;
    reversed.reserve(argument.size() * 2 + 2);
    reversed.push_back(L'"');
    bool quoteFollows = true;
    for (auto it = argument.rbegin(); it != argument.rend(); ++it) {
        const wchar_t c = *it;
        reversed.push_back(c);
        if (c == L'"' || (c == L'\\' && quoteFollows)) {
            reversed.push_back(L'\\');
            quoteFollows = true;
        } else {
            quoteFollows = false;
        }
    }
    reversed.push_back(L'"');
    return std::wstring(reversed.rbegin(), reversed.rend());
}

std::optional<std::wstring> maskedSecret(const std::wstring& argument) {
    const std::vector<std::wstring> pieces = splitAtEquals(argument);
    if (pieces.empty() || !(containsNoCase(pieces.front(), L"password") || containsNoCase(pieces.front(), L"pwd")))
        return std::nullopt;
    std::wstring masked = quoteArgument(pieces.front());
    for (std::size_t i = 1; i < pieces.size(); ++i) masked += L"=*";
    return quoteArgument(masked);
}

std::wstring maskSecrets(const std::wstring& commandLine) {
    std::wstring result;
    for (const std::wstring& argument : splitCommandLine(commandLine)) {
        result += maskedSecret(argument).value_or(quoteArgument(argument));
        result += L' ';
    }
    const std::size_t first = result.find_first_not_of(L" \t\r\n\v\f");
    if (first == std::wstring::npos) return std::wstring();
    const std::size_t last = result.find_last_not_of(L" \t\r\n\v\f");
    return result.substr(first, last - first + 1);
}
