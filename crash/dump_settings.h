// The crash-dump settings as the configuration key holds them. Reading them
// creates nothing: the process's set-up (crashdump.cpp), which then makes the
// folder, and rundock-check both read them here.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct CrashDumpSettings {
    bool enabled = false;
    std::wstring location;       // empty while off
    std::uint32_t maxCount = 0;  // the default while off
    // The installation root, when location is its default below it: the
    // agent makes no folder below a root that does not exist (a mistyped
    // one). Empty for a location of its own, made with its parents.
    std::wstring root;
};

// Through the open configuration key. Off when CrashDumpsEnabled is 0 or the
// installation root is missing or empty. A wrongly typed value throws (the
// set-up then leaves dumps off).
CrashDumpSettings readCrashDumpSettings(HKEY configKey);

// location\prefix + yyyymmdd_hhmmss.dmp holds at most kLongestDumpPath characters.
inline constexpr std::size_t kDumpStampLength = 19;
inline constexpr std::size_t kLongestDumpPath = 260;
// Whether a dump of the program called prefix may be named below location:
// its name, in long form and when taken, fits the name's buffer. A location
// too long leaves dumps off.
bool dumpNameFits(const std::wstring& location, const std::wstring& prefix);
