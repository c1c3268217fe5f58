// The last chance for a fault that nothing handled: a fault outside every
// guarded operation, or one the translator cannot take. It leaves one dump
// (when dumps are on) and one Error record naming the code and the faulting
// module with the offset, then ends the process with the fault's code: never
// a debugger prompt, a hang or a silent end. The filter is the process's
// top-level one, which the system never passes on to a child, unlike an
// error mode. A stack overflow's work is done on another thread.
#pragma once

#include <windows.h>

// Installs lastChanceFilter as the top-level filter and as the translator's
// taker of a stack overflow outside every guarded operation (which under
// Wine never reaches the top-level filter); the log's static set-up calls it.
void installLastChance() noexcept;

LONG WINAPI lastChanceFilter(EXCEPTION_POINTERS* pointers);
