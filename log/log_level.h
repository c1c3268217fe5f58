// The levels of a log record and their names.
#pragma once

enum LogLevel : int { Info = 0, Warning = 1, Result = 2, Error = 3, Unexpected = 4, Crash = 5 };

// "Info" … "Crash"; "Unknown level" outside 0 to 5.
const wchar_t* logLevelName(int level) noexcept;
