// The process environment as a map whose names compare without letter case.
#pragma once

#include <map>
#include <string>

struct CaseInsensitiveLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
};
using EnvironmentMap = std::map<std::wstring, std::wstring, CaseInsensitiveLess>;

class VEnvironmentVariables {
public:
    // Fills map from the process's own environment block.
    static void load(EnvironmentMap& map);
    // From a block of name=value strings ended by an empty one. A name seen
    // again keeps its first spelling and takes the later value.
    static void load(EnvironmentMap& map, const wchar_t* block);
};
