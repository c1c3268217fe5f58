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
};

// Through the open configuration key. Off when CrashDumpsEnabled is 0 or the
// installation root is missing or empty. A wrongly typed value throws (the
// set-up then leaves dumps off).
CrashDumpSettings readCrashDumpSettings(HKEY configKey);
