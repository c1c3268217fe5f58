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

// CommandLineToArgvW's rules, followed here because loading shell32 costs a
// large share of the agent's start-up; the tests hold the two against each
// other. Only blanks and tabs separate. Arguments know backslashes only
// before a quote, and in each run of quotes every third one in a row is a
// literal quote. A program name (the first token of a whole command line) is
// ended by the next quote when it opens with one, else by the next blank,
// and knows no escapes.
void splitArgumentsFrom(const wchar_t* s, std::vector<std::wstring>& arguments) {
    const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
    for (;;) {
        while (blank(*s)) ++s;
        if (*s == L'\0') return;
        std::wstring argument;
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
        arguments.push_back(std::move(argument));
    }
}

}  // namespace

std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine) {
    std::vector<std::wstring> arguments;
    const wchar_t* s = commandLine.c_str();
    if (*s == L'\0') return arguments;
    std::wstring program;
    if (*s == L'"') {
        for (++s; *s != L'\0' && *s != L'"'; ++s) program += *s;
        if (*s == L'"') ++s;
    } else {
        for (; *s != L'\0' && *s != L' ' && *s != L'\t'; ++s) program += *s;
    }
    arguments.push_back(std::move(program));
    splitArgumentsFrom(s, arguments);
    return arguments;
}

std::vector<std::wstring> splitArguments(const std::wstring& argumentText) {
    std::vector<std::wstring> arguments;
    splitArgumentsFrom(argumentText.c_str(), arguments);
    return arguments;
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
    // Quoted once, so that the display reads back as the name with "*" for
    // each value, and nothing else changed.
    std::wstring masked = pieces.front();
    for (std::size_t i = 1; i < pieces.size(); ++i) masked += L"=*";
    return quoteArgument(masked);
}

std::wstring maskArgument(const std::wstring& argument) {
    return maskedSecret(argument).value_or(quoteArgument(argument));
}

namespace {
std::wstring joinMasked(const std::vector<std::wstring>& arguments) {
    std::wstring result;
    for (const std::wstring& argument : arguments) {
        if (!result.empty()) result += L' ';
        result += maskArgument(argument);
    }
    return result;
}
}  // namespace

std::wstring maskSecrets(const std::wstring& commandLine) { return joinMasked(splitCommandLine(commandLine)); }

std::wstring maskArguments(const std::wstring& argumentText) { return joinMasked(splitArguments(argumentText)); }
