// Argument quoting and secret masking, checked against the system's own
// command-line parser (shell32's CommandLineToArgvW).
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "exec/quoting.h"

namespace {

// The parser reads its first token with program-name rules, so every line
// starts with this plain name and only the tokens after it are compared.
const std::wstring kProgram = L"prog";

std::vector<std::wstring> parseLine(const std::wstring& line) {
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(line.c_str(), &count);
    if (!argv) {
        ADD_FAILURE() << "CommandLineToArgvW failed, error " << GetLastError();
        return {};
    }
    std::vector<std::wstring> tokens(argv, argv + count);
    LocalFree(argv);
    return tokens;
}

// Tokens 1..n of line; token 0 must be the dummy program.
std::vector<std::wstring> parseArguments(const std::wstring& line) {
    std::vector<std::wstring> tokens = parseLine(line);
    if (tokens.empty() || tokens.front() != kProgram) {
        ADD_FAILURE() << "program name not read back from: " << testing::PrintToString(line);
        return {};
    }
    tokens.erase(tokens.begin());
    return tokens;
}

std::wstring joinQuoted(const std::vector<std::wstring>& arguments) {
    std::wstring line = kProgram;
    for (const std::wstring& argument : arguments) line += L' ' + quoteArgument(argument);
    return line;
}

const std::wstring kSpecials = L"\"&<>()[]{}^=;!'+,`~|";

// Building blocks of awkward arguments; backslashes are frequent so that
// runs form before quotes, in the middle and at the end.
std::vector<std::wstring> awkwardPieces() {
    std::vector<std::wstring> pieces = {L" ",  L"\t", L"\n", L"\"",  L"\\",     L"\\\\", L"\\",
                                        L"\\", L"a",  L"Z",  L"x y", L"\u00e9", L"\U0001F600"};
    for (wchar_t c : kSpecials) pieces.push_back(std::wstring(1, c));
    return pieces;
}

template <class T>
const T& pick(std::mt19937& rng, const std::vector<T>& choices) {
    return choices[std::uniform_int_distribution<std::size_t>(0, choices.size() - 1)(rng)];
}

std::wstring randomArgument(std::mt19937& rng, const std::vector<std::wstring>& pieces) {
    std::wstring argument;
    const int length = std::uniform_int_distribution<int>(0, 10)(rng);
    for (int i = 0; i < length; ++i) argument += pick(rng, pieces);
    return argument;
}

bool containsNoCase(std::wstring text, const std::wstring& lowerWord) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
    return text.find(lowerWord) != std::wstring::npos;
}

}  // namespace

TEST(Quoting, RoundTripsThroughCommandLineToArgvW) {
    std::vector<std::wstring> edgeCases = {
        L"",          L" ",          L"\t",         L"\"",         L"\"\"",       L"\" \"",
        L"\\",        L"\\\\",       L"\\\"",       L"\\\\\"",     L"a\\",        L"a b\\",
        L"a b\\\\",   L"a\\\"b",     L"a\\\\b c",   L"\\\\server\\share dir\\",   L"C:\\Program Files\\",
        L"say \"hi\"", L"  padded  ", L"\U0001F600", L"\U0001F600 \U0001F600\\", L"-opt=\"quoted value\""};
    for (wchar_t c : kSpecials) {
        edgeCases.push_back(std::wstring(1, c));
        edgeCases.push_back(L"x" + std::wstring(1, c) + L"y");
    }
    for (const std::wstring& argument : edgeCases)
        EXPECT_EQ(parseArguments(joinQuoted({argument})), std::vector<std::wstring>{argument})
            << "quoted as " << testing::PrintToString(quoteArgument(argument));
    EXPECT_EQ(parseArguments(joinQuoted(edgeCases)), edgeCases);

    std::mt19937 rng(20250203);
    const std::vector<std::wstring> pieces = awkwardPieces();
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::wstring> arguments(std::uniform_int_distribution<std::size_t>(1, 4)(rng));
        for (std::wstring& argument : arguments) argument = randomArgument(rng, pieces);
        const std::wstring line = joinQuoted(arguments);
        ASSERT_EQ(parseArguments(line), arguments) << "line " << testing::PrintToString(line);
    }
}

TEST(Quoting, SplitsExactlyAsCommandLineToArgvW) {
    // Lines made of the characters the parser treats specially, in every
    // position, the first token included.
    const std::vector<std::wstring> alphabet = {L"a", L" ", L"\t", L"\"", L"\\", L"\u00e9"};
    std::mt19937 rng(20261206);
    for (int round = 0; round < 20000; ++round) {
        std::wstring line;
        const int length = std::uniform_int_distribution<int>(1, 14)(rng);
        for (int i = 0; i < length; ++i) line += pick(rng, alphabet);
        ASSERT_EQ(splitCommandLine(line), parseLine(line)) << "line " << testing::PrintToString(line);
        // An argument text reads every token, the first too, as an argument.
        ASSERT_EQ(splitArguments(line), parseArguments(kProgram + L" " + line))
            << "argument text " << testing::PrintToString(line);
    }
    EXPECT_TRUE(splitCommandLine(L"").empty());
    EXPECT_TRUE(splitArguments(L" \t").empty());
}

TEST(Quoting, QuotesOnlyWhenNeeded) {
    for (const std::wstring plain : {L"abc123", L"C:\\dir\\file.txt", L"-x", L"/flag", L"a\\b\\", L"\\",
                                     L"\u00e9t\u00e9", L"\U0001F600", L"path/with.dots-and_underscores"})
        EXPECT_EQ(quoteArgument(plain), plain);

    EXPECT_EQ(quoteArgument(L""), L"\"\"");
    EXPECT_EQ(quoteArgument(L"a b"), L"\"a b\"");
    EXPECT_EQ(quoteArgument(L"a\tb"), L"\"a\tb\"");
    EXPECT_EQ(quoteArgument(L"a\nb"), L"\"a\nb\"");
    for (wchar_t c : kSpecials) {
        const std::wstring argument = L"x" + std::wstring(1, c) + L"y";
        const std::wstring quoted = quoteArgument(argument);
        ASSERT_GE(quoted.size(), 2u);
        EXPECT_EQ(quoted.front(), L'"') << "special " << int(c);
        EXPECT_EQ(quoted.back(), L'"') << "special " << int(c);
    }
}

TEST(Quoting, DoublesBackslashesOnlyBeforeQuotes) {
    EXPECT_EQ(quoteArgument(L"a b\\"), L"\"a b\\\\\"");
    EXPECT_EQ(quoteArgument(L"a b\\\\"), L"\"a b\\\\\\\\\"");
    EXPECT_EQ(quoteArgument(L"a\\b c"), L"\"a\\b c\"");
    EXPECT_EQ(quoteArgument(L"a\\\\b c"), L"\"a\\\\b c\"");
    EXPECT_EQ(quoteArgument(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
    EXPECT_EQ(quoteArgument(L"a\\\"b"), L"\"a\\\\\\\"b\"");
    EXPECT_EQ(quoteArgument(L"C:\\Program Files\\"), L"\"C:\\Program Files\\\\\"");
}

TEST(Masking, NeverLeaksPasswordValues) {
    // Values alone hold digits, so a digit in the output is a leaked value.
    const std::vector<std::wstring> cores = {L"password", L"PASSWORD", L"Password", L"pAsSwOrD",
                                             L"pwd",      L"PWD",      L"Pwd",      L"pWd"};
    const std::vector<std::wstring> prefixes = {L"", L"", L"-", L"--", L"/", L"db", L"old ", L"my\"", L"c:\\"};
    const std::vector<std::wstring> suffixes = {L"", L"", L"File", L"Hash", L" two", L"\\", L"\u00e9"};
    const std::vector<std::wstring> valuePieces = {L"1", L"42", L"7", L" ", L"\t", L"\"", L"=", L"==", L"\\", L"\\\\"};
    const std::vector<std::wstring> ordinaryPieces = awkwardPieces();

    std::mt19937 rng(1824);
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::wstring> input;
        std::vector<std::wstring> expected;
        const int count = std::uniform_int_distribution<int>(1, 6)(rng);
        for (int i = 0; i < count; ++i) {
            if (rng() % 2) {
                const std::wstring name = pick(rng, prefixes) + pick(rng, cores) + pick(rng, suffixes);
                std::wstring value = std::to_wstring(rng() % 1000);
                for (int n = std::uniform_int_distribution<int>(0, 6)(rng); n > 0; --n) {
                    const std::wstring& piece = pick(rng, valuePieces);
                    value = rng() % 2 ? value + piece : piece + value;
                }
                // Empty stretches between equals signs add no "=*".
                std::wstring masked = name;
                for (std::size_t start = 0; start <= value.size();) {
                    std::size_t end = value.find(L'=', start);
                    if (end == std::wstring::npos) end = value.size();
                    if (end > start) masked += L"=*";
                    start = end + 1;
                }
                input.push_back(name + L"=" + value);
                expected.push_back(masked);
            } else {
                std::wstring argument = randomArgument(rng, ordinaryPieces);
                if (rng() % 4 == 0) argument += L"=" + randomArgument(rng, ordinaryPieces);
                ASSERT_FALSE(containsNoCase(argument, L"pwd") || containsNoCase(argument, L"password"));
                input.push_back(argument);
                expected.push_back(argument);
            }
        }
        const std::wstring line = joinQuoted(input);
        const std::wstring output = maskSecrets(line);
        const std::wstring argumentText = line.substr(kProgram.size() + 1);
        const std::wstring maskedText = maskArguments(argumentText);
        SCOPED_TRACE(testing::Message() << "line " << testing::PrintToString(line) << "\nmasked "
                                        << testing::PrintToString(output));
        ASSERT_EQ(output.find_first_of(L"0123456789"), std::wstring::npos);
        ASSERT_EQ(parseArguments(output), expected);
        ASSERT_EQ(maskedText, output.substr(kProgram.size() + 1));
    }
}

TEST(Masking, ArgumentTextsReadBackWithOnlyTheValuesReplaced) {
    struct Row {
        std::wstring text;
        std::vector<std::wstring> readBack;  // of the masked text, by the same splitter
    };
    const Row rows[] = {
        {L"--password=\"my secret\" -v", {L"--password=*", L"-v"}},
        {L"-v --pwd=s3cret", {L"-v", L"--pwd=*"}},
        {L"a --pwd=s3cret b", {L"a", L"--pwd=*", L"b"}},
        {L"\"--pwd=my secret\" c", {L"--pwd=*", L"c"}},
        {L"--pwd=a=b=c x", {L"--pwd=*=*=*", L"x"}},
        {L"--pwd=s3cret\t-v\tx", {L"--pwd=*", L"-v", L"x"}},
        {L"\"my password=s3cret\"", {L"my password=*"}},
        {L"a\\\\\"b c\" d e", {L"a\\b c", L"d", L"e"}},
        {L"\"a\"\"b\" c", {L"a\"b c"}},
        {L"a\\\\\\\"b\\\\ \"\\\\\"", {L"a\\\"b\\\\", L"\\"}},
        {L"x\t\"\"\t\"t a\tb\"", {L"x", L"", L"t a\tb"}},
    };
    for (const Row& row : rows) {
        const std::wstring masked = maskArguments(row.text);
        SCOPED_TRACE(testing::Message() << testing::PrintToString(row.text) << " masked as "
                                        << testing::PrintToString(masked));
        EXPECT_EQ(splitArguments(masked), row.readBack);
        EXPECT_EQ(masked.find(L"secret"), std::wstring::npos);
        EXPECT_EQ(masked.find(L"s3cret"), std::wstring::npos);
    }
    // One argument, such as the command the frame was given, stays one.
    EXPECT_EQ(maskArgument(L"--pwd=a b"), L"\"--pwd=*\"");
}

TEST(Masking, MatchesPasswordNamesInAnyLetterCase) {
    EXPECT_EQ(maskSecrets(L"prog Password=hunter2"), L"prog \"Password=*\"");
    EXPECT_EQ(maskSecrets(L"prog PWD=hunter2"), L"prog \"PWD=*\"");
    EXPECT_EQ(maskSecrets(L"prog /DbPwD=hunter2"), L"prog \"/DbPwD=*\"");
    EXPECT_EQ(maskSecrets(L"prog -PASSWORDFILE=hunter2 -pwd=x"), L"prog \"-PASSWORDFILE=*\" \"-pwd=*\"");
    // Quotes in the middle of the original token do not protect the value.
    EXPECT_EQ(maskSecrets(L"prog -Pwd=\"my secret\""), L"prog \"-Pwd=*\"");
}

TEST(Masking, KeepsTheDocumentedShapes) {
    EXPECT_EQ(maskSecrets(L""), L"");
    EXPECT_EQ(maskSecrets(L"prog a b "), L"prog a b");
    EXPECT_EQ(maskSecrets(L"prog \"a b\" c\t"), L"prog \"a b\" c");
    EXPECT_EQ(maskSecrets(L"prog a\"b c\""), L"prog \"ab c\"");
    // Every further piece is masked on its own; the name alone for no value.
    EXPECT_EQ(maskSecrets(L"prog pwd=a=b"), L"prog \"pwd=*=*\"");
    EXPECT_EQ(maskSecrets(L"prog pwd==a"), L"prog \"pwd=*\"");
    EXPECT_EQ(maskSecrets(L"prog pwd="), L"prog pwd");
    EXPECT_EQ(maskSecrets(L"prog password=="), L"prog password");
    // Only the name=value form inside one argument counts as a secret.
    EXPECT_EQ(maskSecrets(L"prog -password secret"), L"prog -password secret");
    EXPECT_EQ(maskSecrets(L"prog user=pwd"), L"prog \"user=pwd\"");
    // A name that needs quotes is quoted once, with its mask.
    EXPECT_EQ(maskSecrets(L"prog \"my password=abc\""), L"prog \"my password=*\"");
}
