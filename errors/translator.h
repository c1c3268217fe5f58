// The structured-exception translator of guarded operations.
//
// MinGW has no working _set_se_translator, and GCC's frames decline every
// structured exception. So a guarded body runs through a small boundary
// frame whose frame-based handler the system asks only after every deeper
// frame declined: a DLL that handles its own fault keeps it. The handler
// writes the dump and makes the innermost frame of this module throw a
// cwrpexception (code built with -fnon-call-exceptions runs its destructors).
// A stack overflow, which leaves no stack for frame handlers, is taken back
// to the boundary by a vectored handler and thrown from there.
#pragma once

#include <windows.h>

#include <cstdint>
#include <type_traits>

// libgcc's C++ throw (STATUS_GCC_THROW), never translated: its own frames'
// handlers take it.
inline constexpr DWORD kGccThrowCode = 0x20474343;

// Never returns; throws cwrpexception holding code after the dump step.
[[noreturn]] void translateStructuredException(std::uint32_t code, EXCEPTION_POINTERS* pointers);

// The translator writes a crash dump of every fault before it throws, but
// crash dumps belong to a layer above this one: that layer installs its
// writer here when it sets crash dumps up (crash/crashdump.cpp), and until
// then faults are translated without a dump. This setter is the translator's
// only tie to crash dumps. Process-wide within the module; null removes it.
using FaultDumpWriter = void (*)(std::uint32_t code, EXCEPTION_POINTERS* pointers);
void setFaultDumpWriter(FaultDumpWriter writer) noexcept;

// What a stack overflow that cannot go back to a boundary is handed to (on
// its exhausted stack: it must hand the work to another thread). The
// log's last chance installs it. Process-wide within the module.
void setUnrecoverableOverflow(PVECTORED_EXCEPTION_HANDLER handler) noexcept;

// Marks the calling thread as writing a fault's dump for its lifetime. While
// it is marked, no guarded operation of the thread translates a fault, so a
// fault in the dump code is not dumped again; owns() is false when an outer
// scope of the thread marked it already. Allocates nothing.
class FaultDumpScope {
public:
    FaultDumpScope() noexcept;
    ~FaultDumpScope();
    FaultDumpScope(const FaultDumpScope&) = delete;
    FaultDumpScope& operator=(const FaultDumpScope&) = delete;
    bool owns() const noexcept { return owns_; }

private:
    bool owns_;
};

// Asks, once per thread, that the part of the stack the handler chain and
// the last chance need stay usable when the stack overflows; by default
// Windows promises none. Every guarded operation asks for its thread; the
// last chance's installation for the thread that starts the process.
void guaranteeStackHeadroom() noexcept;

// Puts the stack's guard back after an overflow was recovered, just below
// the calling frame and as large as the thread's guarantee and a page, so
// that the next one is caught too, with that headroom; false when there is
// no room for it.
bool resetStackGuard() noexcept;

// The boundary: calls call(context) under the translating frame handler.
extern "C" void rdTranslatedCall(void (*call)(void*), void* context);

// Runs body() under the translator; body may be a temporary, which lives
// until the call returns.
template <class Body>
void translated(Body&& body) {
    using Callable = std::remove_reference_t<Body>;
    rdTranslatedCall([](void* context) { (*static_cast<Callable*>(context))(); }, &body);
}
