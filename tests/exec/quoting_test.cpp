// Argument quoting, splitting and secret masking, held against the system's parser (shell32's CommandLineToArgvW).
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "exec/quoting.h"
#include "runtime/local_memory.h"

namespace {

using Args = std::vector<std::wstring>;

Args parseLine(const std::wstring& line) {
    int count = 0;
    const RunTime::LocalMemory<wchar_t*> argv(CommandLineToArgvW(line.c_str(), &count));
    return Args(argv.get(), argv.get() + (argv.valid() ? count : 0));
}

// The parser reads its first token by program-name rules: only the tokens after a plain name are compared.
const std::wstring kProgram = L"prog ";

Args parseArguments(const std::wstring& argumentText) {
    const Args tokens = parseLine(kProgram + argumentText);
    return Args(tokens.begin() + 1, tokens.end());
}

std::wstring randomText(std::mt19937& rng, const Args& pieces, int minLength, int maxLength) {
    std::wstring text;
    for (int n = std::uniform_int_distribution<int>(minLength, maxLength)(rng); n > 0; --n)
        text += pieces[rng() % pieces.size()];
    return text;
}

}  // namespace

TEST(Quoting, SplitsExactlyAsCommandLineToArgvW) {
    // The characters the parser treats specially, in every position.
    const Args alphabet = {L"a", L" ", L"\t", L"\"", L"\\", L"\u00e9"};
    std::mt19937 rng(20261206);
    for (int round = 0; round < 6000; ++round) {
        const std::wstring line = randomText(rng, alphabet, 1, 14);
        ASSERT_EQ(splitCommandLine(line), parseLine(line)) << testing::PrintToString(line);
        // An argument text reads every token, the first too, as an argument.
        ASSERT_EQ(splitArguments(line), parseArguments(line)) << testing::PrintToString(line);
    }
    EXPECT_TRUE(splitCommandLine(L"").empty());
}

// Random argument lists, quoted, read back by the parser after masking.
TEST(Masking, NeverLeaksPasswordValues) {
    // Only values hold digits, so a digit in the display is a leaked value.
    const Args cores = {L"password", L"PASSWORD", L"pAsSwOrD", L"pwd", L"PWD", L"pWd"};
    const Args prefixes = {L"", L"", L"-", L"--", L"/", L"db", L"old ", L"my\"", L"c:\\"};
    const Args suffixes = {L"", L"", L"File", L" two", L"\\", L"\u00e9"};
    const Args inValue = {L"1", L"42", L" ", L"\t", L"\"", L"=", L"==", L"\\", L"\\\\"};
    // Backslashes are frequent, so that runs of them form before quotes, inside and at the end.
    Args ordinary = {L" ", L"\t", L"\n", L"\"", L"\\", L"\\\\", L"\\", L"\\", L"a", L"x y", L"\u00e9", L"\U0001F600"};
    for (wchar_t c : std::wstring(L"&<>()[]{}^=;!'+,`~|")) ordinary.push_back(std::wstring(1, c));
    std::mt19937 rng(1824);
    const auto pick = [&](const Args& choices) { return choices[rng() % choices.size()]; };
    for (int round = 0; round < 1500; ++round) {
        std::wstring text;
        Args expected;
        for (int n = 1 + rng() % 6; n > 0; --n) {
            std::wstring argument = randomText(rng, ordinary, 0, 10), masked;
            if (rng() % 2) {
                masked = pick(prefixes) + pick(cores) + pick(suffixes);
                std::wstring value = std::to_wstring(rng() % 1000);
                for (int p = rng() % 7; p > 0; --p) value = rng() % 2 ? value + pick(inValue) : pick(inValue) + value;
                argument = masked + L"=" + value;
                // Empty stretches between equals signs add no "=*".
                for (std::size_t start = 0, end; start <= value.size(); start = end + 1) {
                    end = std::min(value.find(L'=', start), value.size());
                    if (end > start) masked += L"=*";
                }
            } else {
                if (rng() % 4 == 0) argument += L"=" + randomText(rng, ordinary, 0, 10);
                masked = argument;
            }
            text += (text.empty() ? L"" : L" ") + quoteArgument(argument);
            expected.push_back(masked);
        }
        const std::wstring display = maskArguments(text);
        SCOPED_TRACE(testing::Message() << testing::PrintToString(text) << " as " << testing::PrintToString(display));
        ASSERT_EQ(display.find_first_of(L"0123456789"), std::wstring::npos);
        ASSERT_EQ(parseArguments(display), expected);
        ASSERT_EQ(maskSecrets(kProgram + text), kProgram + display);
    }
}

// Raw texts, quoted in other ways than ours, secrets inside quotes.
TEST(Masking, RawArgumentTextsReadBackWithOnlyTheValuesReplaced) {
    const std::pair<std::wstring, Args> rows[] = {
        {L"--password=\"my secret\" -v", {L"--password=*", L"-v"}}, {L"a --pwd=s3cret b", {L"a", L"--pwd=*", L"b"}},
        {L"\"--pwd=my secret\" c", {L"--pwd=*", L"c"}}, {L"--pwd=s3cret\t-v\tx", {L"--pwd=*", L"-v", L"x"}}};
    for (const auto& [text, readBack] : rows) {
        const std::wstring masked = maskArguments(text);
        EXPECT_EQ(splitArguments(masked), readBack) << testing::PrintToString(text) << " as "
                                                    << testing::PrintToString(masked);
        EXPECT_EQ(masked.find(L"secret"), std::wstring::npos);
    }
    // One argument, such as the command the frame was given, stays one.
    EXPECT_EQ(maskArgument(L"--pwd=a b"), L"\"--pwd=*\"");
    // Quotes only where needed: plain words stay bare; the empty one and shell characters get them.
    EXPECT_EQ(maskArguments(L"-v C:\\a\\b.txt \"\" a&b --pwd=x"), L"-v C:\\a\\b.txt \"\" \"a&b\" \"--pwd=*\"");
}

