// The environment loader, from a block and from the process's own.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "errors/vexception.h"
#include "runtime/environment.h"

using Entries = std::vector<std::pair<std::wstring, std::wstring>>;

// A name keeps its first spelling and takes the last value; an entry without
// "=" has an empty value; the per-drive directories ("=C:=C:\x") share the
// empty name, the last one's value winning.
TEST(Environment, NamesKeepTheirFirstSpellingAndTheDriveDirectoriesShareTheEmptyName) {
    EnvironmentMap map{{L"path", L"old"}, {L"Kept", L"1"}};
    VEnvironmentVariables::load(map, L"Path=a\0PATH=b;c=d\0=C:=C:\\x\0=D:=D:\\y\0FLAG\0Empty=\0");
    EXPECT_EQ(Entries(map.begin(), map.end()), (Entries{{L"", L"D:=D:\\y"}, {L"Empty", L""}, {L"FLAG", L""},
                                                        {L"Kept", L"1"}, {L"path", L"b;c=d"}}));
    EXPECT_THROW(VEnvironmentVariables::load(map, nullptr), vexception);

    ASSERT_TRUE(SetEnvironmentVariableW(L"=Z:", L"Z:\\rd") && SetEnvironmentVariableW(L"RdEnvTest", L"a=b"));
    EnvironmentMap process;
    VEnvironmentVariables::load(process);
    SetEnvironmentVariableW(L"=Z:", nullptr);
    SetEnvironmentVariableW(L"RdEnvTest", nullptr);
    EXPECT_EQ(process.find(L"RDENVTEST")->first + L"=" + process[L"RDENVTEST"], L"RdEnvTest=a=b");
    EXPECT_EQ(process[L""], L"Z:=Z:\\rd");  // the last drive of the sorted block
    std::wstring path(32767, L'\0');
    path.resize(GetEnvironmentVariableW(L"pAtH", path.data(), 32767));
    EXPECT_EQ(process[L"PATH"], path);
}
