#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "app/consoleapp.h"
#include "errors/vexception.h"

namespace {

using Values = std::map<std::wstring, std::wstring>;

// Params reads a mutable argv slice; keep the strings alive beside it.
struct Argv {
    std::vector<std::wstring> strings;
    std::vector<wchar_t*> pointers;

    Argv(std::initializer_list<const wchar_t*> arguments) : strings(arguments.begin(), arguments.end()) {
        for (std::wstring& s : strings) pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
    int count() const { return static_cast<int>(strings.size()); }
    wchar_t** data() { return pointers.data(); }
};

Params parse(std::initializer_list<const wchar_t*> arguments) {
    Argv argv(arguments);
    return Params(argv.count(), argv.data());
}

// The error check raises, or a failure note when it does not.
vexception checkError(const Params& params, const wchar_t* required, const wchar_t* optional) {
    try {
        params.check(required, optional);
    } catch (const vexception& e) {
        return e;
    }
    ADD_FAILURE() << "check accepted the parameters";
    return vexception(L"", raiseSite("none", 0));
}

void expectSingleRaiseSite(const vexception& e, std::int32_t line) {
    ASSERT_EQ(e.chain().size(), 1u);
    const ErrorContext& entry = e.chain().front();
    EXPECT_EQ(entry.text, L"");
    EXPECT_EQ(entry.function, "Params::check");
    EXPECT_EQ(entry.line, line);
}

}  // namespace

TEST(ParamsConstruction, SplitsEachArgumentAtItsFirstEqualsSign) {
    const Params params = parse({L"a=b=c", L"bare", L"=x", L"empty=", L"--flag"});
    EXPECT_EQ(params.values(), (Values{{L"a", L"b=c"}, {L"bare", L""}, {L"", L"x"}, {L"empty", L""}, {L"--flag", L""}}));
}

TEST(ParamsConstruction, LastOccurrenceOfANameWinsAndABareRepeatEmptiesIt) {
    EXPECT_EQ(parse({L"a=1", L"a=2"}).values(), (Values{{L"a", L"2"}}));
    EXPECT_EQ(parse({L"a=1", L"a"}).values(), (Values{{L"a", L""}}));
    EXPECT_EQ(parse({L"a", L"a=3"}).values(), (Values{{L"a", L"3"}}));
    // A name differing only in letter case is another parameter.
    EXPECT_EQ(parse({L"a=1", L"A=2"}).values(), (Values{{L"A", L"2"}, {L"a", L"1"}}));
}

TEST(ParamsConstruction, NonPositiveCountReadsNothing) {
    EXPECT_TRUE(Params(0, nullptr).values().empty());
    EXPECT_TRUE(Params(-1, nullptr).values().empty());
}

TEST(ParamsConstruction, NamesAreOrderedByUtf16CodeUnits) {
    // U+1F600 is stored as the surrogates D83D DE00, which sort below U+FF21
    // in code units although the code point is larger.
    const Params params = parse({L"b", L"a", L"_", L"B", L"\uFF21", L"\U0001F600", L"\u00E9"});
    std::vector<std::wstring> names;
    for (const auto& entry : params.values()) names.push_back(entry.first);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"B", L"_", L"a", L"b", L"\u00E9", L"\U0001F600", L"\uFF21"}));
}

TEST(ParamsPossibleParameters, ListsRequiredPlainAndOptionalInBrackets) {
    EXPECT_EQ(Params::possibleParameters(L"req\0", L"opt\0"), L"Possible parameters:\n    req\n    [opt]");
    EXPECT_EQ(Params::possibleParameters(L"r1\0r2\0", nullptr), L"Possible parameters:\n    r1\n    r2");
    EXPECT_EQ(Params::possibleParameters(nullptr, L"o1\0o2\0"), L"Possible parameters:\n    [o1]\n    [o2]");
    EXPECT_EQ(Params::possibleParameters(L"", L"o\0"), L"Possible parameters:\n    [o]");
    EXPECT_EQ(Params::possibleParameters(L"--a\0--b\0", L"--c\0"),
              L"Possible parameters:\n    --a\n    --b\n    [--c]");
}

TEST(ParamsPossibleParameters, EmptyWhenBothListsAreNullOrEmpty) {
    EXPECT_EQ(Params::possibleParameters(nullptr, nullptr), L"");
    EXPECT_EQ(Params::possibleParameters(L"", L""), L"");
    EXPECT_EQ(Params::possibleParameters(L"", nullptr), L"");
    // The list ends at its first empty string: nothing after it counts.
    EXPECT_EQ(Params::possibleParameters(L"\0hidden\0", nullptr), L"");
}

TEST(ParamsCheck, AcceptsListedNamesWhateverTheirValue) {
    const Params params = parse({L"--req=", L"--opt=v"});
    EXPECT_NO_THROW(params.check(L"--req\0", L"--opt\0"));
    EXPECT_NO_THROW(parse({L"--req"}).check(L"--req\0", L"--opt\0"));
    EXPECT_NO_THROW(parse({}).check(nullptr, L"--opt\0"));
    EXPECT_NO_THROW(parse({}).check(nullptr, nullptr));
}

TEST(ParamsCheck, MissingRequiredNamesTheFirstInListOrder) {
    const vexception e = checkError(parse({L"--opt=1"}), L"--z\0--a\0", L"--opt\0");
    EXPECT_EQ(e.message(),
              L"Missing required parameter --z. Possible parameters:\n    --z\n    --a\n    [--opt]");
    expectSingleRaiseSite(e, 72);
}

TEST(ParamsCheck, MissingRequiredIsReportedBeforeAnUnexpectedName) {
    const vexception e = checkError(parse({L"--stray"}), L"--req\0", nullptr);
    EXPECT_EQ(e.message(), L"Missing required parameter --req. Possible parameters:\n    --req");
    expectSingleRaiseSite(e, 72);
}

TEST(ParamsCheck, UnexpectedNameIsTheSmallestInCodeUnitOrder) {
    const vexception e = checkError(parse({L"--b", L"--a"}), nullptr, L"--opt\0");
    EXPECT_EQ(e.message(), L"Unexpected parameter --a. Possible parameters:\n    [--opt]");
    expectSingleRaiseSite(e, 105);
}

TEST(ParamsCheck, UnexpectedMessageEndsAfterTheNameWhenNothingIsPossible) {
    EXPECT_EQ(checkError(parse({L"extra"}), nullptr, nullptr).message(), L"Unexpected parameter extra. ");
    EXPECT_EQ(checkError(parse({L"extra=1"}), L"", L"").message(), L"Unexpected parameter extra. ");
    EXPECT_EQ(checkError(parse({L"=x"}), nullptr, nullptr).message(), L"Unexpected parameter . ");
}

TEST(ParamsCheck, NamesMatchExactlyAndCaseSensitively) {
    EXPECT_EQ(checkError(parse({L"--Opt"}), nullptr, L"--opt\0").message(),
              L"Unexpected parameter --Opt. Possible parameters:\n    [--opt]");
    EXPECT_EQ(checkError(parse({L"--op"}), nullptr, L"--opt\0").message(),
              L"Unexpected parameter --op. Possible parameters:\n    [--opt]");
    EXPECT_EQ(checkError(parse({L"--req"}), L"--Req\0", nullptr).message(),
              L"Missing required parameter --Req. Possible parameters:\n    --Req");
}

TEST(ParamsCheck, InternalPackageNameIsAlwaysAccepted) {
    EXPECT_NO_THROW(parse({L"--internal-package-name"}).check(nullptr, nullptr));
    EXPECT_NO_THROW(parse({L"--internal-package-name=anything=at all"}).check(nullptr, nullptr));
    EXPECT_NO_THROW(parse({L"--internal-package-name=x", L"--req=1"}).check(L"--req\0", nullptr));
    // Only the exact name: no case folding, no prefix.
    EXPECT_EQ(checkError(parse({L"--Internal-Package-Name"}), nullptr, nullptr).message(),
              L"Unexpected parameter --Internal-Package-Name. ");
    EXPECT_EQ(checkError(parse({L"--internal-package-name2"}), nullptr, nullptr).message(),
              L"Unexpected parameter --internal-package-name2. ");
    EXPECT_EQ(checkError(parse({L"--internal-package-nam"}), nullptr, nullptr).message(),
              L"Unexpected parameter --internal-package-nam. ");
    // It does not stand in for a missing required name.
    EXPECT_EQ(checkError(parse({L"--internal-package-name"}), L"--req\0", nullptr).message(),
              L"Missing required parameter --req. Possible parameters:\n    --req");
}
