#include "exec/quoting.h"

#include <cwctype>
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

std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine) {
    // Loading shell32 for CommandLineToArgvW costs a large share of the
    // agent's start-up, so its rules are followed here; the tests hold the
    // two against each other. Those rules: only blanks and tabs separate;
    // the first token is a program name, ended by the next quote when it
    // opens with one, else by the next blank, and knows no escapes; after
    // it, backslashes count only before a quote, and in each run of quotes
    // every third one in a row is a literal quote.
    std::vector<std::wstring> arguments;
    const wchar_t* s = commandLine.c_str();
    if (*s == L'\0') return arguments;
    const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };

    std::wstring argument;
    if (*s == L'"') {
        for (++s; *s != L'\0' && *s != L'"'; ++s) argument += *s;
        if (*s == L'"') ++s;
    } else {
        for (; *s != L'\0' && !blank(*s); ++s) argument += *s;
    }
    arguments.push_back(argument);

    for (;;) {
        while (blank(*s)) ++s;
        if (*s == L'\0') return arguments;
        argument.clear();
        int quotes = 0;  // 1 inside quotes; 2 only within a run of quotes
        while (*s != L'\0' && (quotes != 0 || !blank(*s))) {
            std::size_t backslashes = 0;
            while (*s == L'\\') ++backslashes, ++s;
            if (*s != L'"') {
                argument.append(backslashes, L'\\');
                if (backslashes == 0) argument += *s++;
                continue;
            }
            argument.append(backslashes / 2, L'\\');
            if (backslashes % 2 == 1) {
                argument += L'"';
                ++s;
            } else {
                ++quotes;
                ++s;
            }
            for (; *s == L'"'; ++s)
                if (++quotes == 3) {
                    argument += L'"';
                    quotes = 0;
                }
            if (quotes == 2) quotes = 0;
        }
        arguments.push_back(argument);
    }
}

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
