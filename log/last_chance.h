// The last chance for a fault that nothing handled: a fault outside every
// guarded operation, or one the translator cannot take. It leaves one dump
// (when dumps are on) and one Error record naming the code and the faulting
// module with the offset, then ends the process with the fault's code: never
// a debugger prompt, a hang or a silent end. The filter is the process's
// top-level one, which the system never passes on to a child, unlike an
// error mode.
#pragma once

#include <windows.h>

// Installs lastChanceFilter; the log's static set-up calls it.
void installLastChance() noexcept;

LONG WINAPI lastChanceFilter(EXCEPTION_POINTERS* pointers);
