// The last chance for an end that nothing handled: a fault outside every
// guarded operation, one the translator cannot take, or an end the C runtime
// was asked for (abort(), std::terminate). It leaves one dump (when dumps are
// on) and one Error record saying how the process ended, trims the dump
// folder, then ends the process with the fault's code (or kRuntimeEndCode):
// never a debugger prompt, a hang or a silent end. The filter is the
// process's top-level one, which the system never passes on to a child,
// unlike an error mode. A stack overflow's work is done by a helper thread
// made at start-up.
#pragma once

#include <windows.h>

#include <string>

// The private code of an end the C runtime was asked for, in the dump's
// exception stream (whose context is where the process stood) and as the
// process's exit code.
inline constexpr DWORD kRuntimeEndCode = 0xE0524401;

// Installs lastChanceFilter as the top-level filter and as the translator's
// taker of a stack overflow outside every guarded operation (which under
// Wine never reaches the top-level filter), the terminate handler of this
// module and the process's SIGABRT handler; parks the helper thread and
// asks for stack headroom on the calling thread. The log's static set-up
// calls it.
void installLastChance() noexcept;

LONG WINAPI lastChanceFilter(EXCEPTION_POINTERS* pointers);

// Ends the process the last chance's way, the record reading how.
[[noreturn]] void endThroughLastChance(const std::wstring& how) noexcept;

// Ends the process at once, by RaiseFailFastException, which no handler
// sees: for a thread that must not run on, not even through its clean-ups.
// First an Error record reading how, then a dump (when dumps are on and no
// other thread is writing one), neither waiting for any lock; nothing here
// throws.
[[noreturn]] void failFastWithTrace(const std::wstring& how) noexcept;
