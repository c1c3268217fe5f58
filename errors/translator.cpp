#include "errors/translator.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "errors/vexception.h"

namespace {

// Constant-initialised: the crash layer installs its writer from a static
// object built ahead of all others.
std::atomic<FaultDumpWriter> g_dumpWriter{nullptr};
std::atomic<PVECTORED_EXCEPTION_HANDLER> g_unrecoverableOverflow{nullptr};

constexpr DWORD kMsvcThrow = 0xE06D7363;  // the Microsoft C++ throw

// The boundary's frame, as rdTranslatedCall lays it out below its pushes.
struct BoundaryFrame {
    char shadow[32];
    char xmm[160];    // xmm6 to xmm15, restored when a throw leaves the frame
    void* previous;   // the thread's slot value when the boundary was entered
};

// The thread's innermost boundary, in a slot of its own: MinGW's
// thread_local allocates on a thread's first use, which a fault must not
// need. Bit 0 marks a thread that is writing a fault's dump, bit 1 one that
// has asked for its stack headroom.
constexpr std::uintptr_t kDumping = 1, kHeadroom = 2, kFlags = kDumping | kHeadroom;
// What the handler chain and the last chance may use of an overflowed stack:
// the vectored handler, and the last chance's hand-over to its helper.
constexpr ULONG kStackHeadroom = 32 * 1024;
std::atomic<DWORD> g_slot{TLS_OUT_OF_INDEXES};

LONG CALLBACK overflowHandler(EXCEPTION_POINTERS* info);

// One vectored handler per module, removed when the module goes away so
// that a DLL carrying the runtime leaves no dangling handler behind.
struct OverflowHandlerRegistration {
    PVOID handle = AddVectoredExceptionHandler(1, &overflowHandler);
    ~OverflowHandlerRegistration() {
        if (handle) RemoveVectoredExceptionHandler(handle);
    }
};

DWORD slot() noexcept {
    DWORD index = g_slot.load(std::memory_order_acquire);
    if (index != TLS_OUT_OF_INDEXES) return index;
    static OverflowHandlerRegistration registration;
    const DWORD made = TlsAlloc();
    if (!g_slot.compare_exchange_strong(index, made)) TlsFree(made);
    return g_slot.load();
}

// Made at start-up, so that a fault never needs to make it.
const DWORD g_slotAtStart = slot();

std::uintptr_t slotValue() noexcept { return reinterpret_cast<std::uintptr_t>(TlsGetValue(slot())); }
void setSlotValue(std::uintptr_t value) noexcept { TlsSetValue(slot(), reinterpret_cast<void*>(value)); }

HMODULE moduleAt(DWORD64 address) noexcept {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(address), &module);
    return module;
}

// The dump step, never twice on one thread at once; errors are swallowed.
void writeDump(std::uint32_t code, EXCEPTION_POINTERS* pointers) noexcept {
    const FaultDumpScope scope;
    if (!scope.owns()) return;
    try {
        if (const FaultDumpWriter write = g_dumpWriter.load()) write(code, pointers);
    } catch (...) {
        // The fault still becomes a cwrpexception.
    }
}

// Every structured exception but a C++ throw. A stack overflow is the
// vectored handler's: a frame handler would run on the exhausted stack.
bool isTranslatable(const EXCEPTION_RECORD& record) noexcept {
    const DWORD code = record.ExceptionCode;
    if (code == kGccThrowCode || code == kMsvcThrow || code == STATUS_STACK_OVERFLOW) return false;
    return (slotValue() & kDumping) == 0;
}

// A stack overflow's record and context, kept for the dump that is written
// back at the boundary: one overflow at a time.
struct OverflowCopy {
    EXCEPTION_RECORD record;
    CONTEXT context;
};
OverflowCopy g_overflow;
std::atomic<bool> g_overflowTaken{false};

[[noreturn]] __attribute__((noinline, used)) void throwStructured(std::uint32_t code) { throw cwrpexception(code); }

}  // namespace

extern "C" {
void rdTranslatedCallRecover();
void rdAlignedFaultCall();

void rdTranslatedCallEnter(BoundaryFrame* frame) noexcept {
    if ((slotValue() & kHeadroom) == 0) guaranteeStackHeadroom();
    const std::uintptr_t previous = slotValue();
    frame->previous = reinterpret_cast<void*>(previous);
    setSlotValue(reinterpret_cast<std::uintptr_t>(frame) | (previous & kFlags));
}

void rdTranslatedCallLeave(BoundaryFrame* frame) noexcept {
    setSlotValue(reinterpret_cast<std::uintptr_t>(frame->previous));
}

// Entered at the boundary, on its own frame, after a stack overflow or a
// non-continuable exception was taken back there.
[[noreturn]] void rdTranslatedCallRecovered(std::uint32_t code) {
    if (code != STATUS_STACK_OVERFLOW) throwStructured(code);
    EXCEPTION_POINTERS pointers{&g_overflow.record, &g_overflow.context};
    if (!resetStackGuard()) {
        // Without its guard page the next overflow would end the process
        // without a trace: this one is not recovered but ends it, with one.
        if (const PVECTORED_EXCEPTION_HANDLER last = g_unrecoverableOverflow.load()) last(&pointers);
        TerminateProcess(GetCurrentProcess(), code);
    }
    writeDump(code, &pointers);
    g_overflowTaken.store(false);
    throwStructured(code);
}

EXCEPTION_DISPOSITION rdTranslatedCallHandler(EXCEPTION_RECORD* record, void* establisher, CONTEXT* context,
                                              DISPATCHER_CONTEXT* dispatcher);
}

namespace {

// This module, found at start-up: a fault must not be the first to ask.
const HMODULE g_self = moduleAt(reinterpret_cast<DWORD64>(&rdTranslatedCallHandler));

// Makes the innermost frame of this module throw: at the fault itself when
// the fault is in this module, else at its call into the faulting module.
// The frames in between belong to others and are left as an __except would
// leave them; GCC's frames would not run their clean-ups for a structured
// exception anyway. With no frame of this module below the boundary, the
// boundary itself throws.
void throwFromInnermostOwnFrame(CONTEXT& fault, BoundaryFrame* boundary, std::uint32_t code) noexcept {
    constexpr int kDeepest = 256;
    CONTEXT walk = fault;
    bool atFault = true;
    DWORD64 below = 0;  // the stack pointer of the frame before: a sound stack only climbs
    for (int depth = 0;; atFault = false, ++depth) {
        // A corrupt stack, which would not climb, or one too deep: the boundary throws.
        if (walk.Rsp >= reinterpret_cast<DWORD64>(boundary) || !walk.Rip || walk.Rsp <= below || depth == kDeepest) {
            fault.Rsp = reinterpret_cast<DWORD64>(boundary);
            fault.Rip = reinterpret_cast<DWORD64>(&rdTranslatedCallRecover);
            fault.Rax = code;
            return;
        }
        below = walk.Rsp;
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(walk.Rip, &imageBase, nullptr);
        if ((function ? reinterpret_cast<HMODULE>(imageBase) : moduleAt(walk.Rip)) == g_self) break;
        if (function) {
            PVOID handlerData = nullptr;
            DWORD64 establisherFrame = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, walk.Rip, function, &walk, &handlerData,
                             &establisherFrame, nullptr);
        } else {
            // A leaf function: its return address is on top of the stack.
            walk.Rip = *reinterpret_cast<const DWORD64*>(walk.Rsp);
            walk.Rsp += sizeof(DWORD64);
        }
    }
    // Enter rdAlignedFaultCall as if that frame had called it. The unwinder
    // looks up the caller's handler at return address - 1, which must lie in
    // the faulting instruction, or in the call. No red zone on x64 Windows.
    walk.Rsp -= sizeof(DWORD64);
    *reinterpret_cast<DWORD64*>(walk.Rsp) = atFault ? walk.Rip + 1 : walk.Rip;
    walk.Rip = reinterpret_cast<DWORD64>(&rdAlignedFaultCall);
    walk.Rcx = code;
    walk.Rdx = reinterpret_cast<DWORD64>(&throwStructured);
    fault = walk;
}

// Runs first for every exception of the process, with almost no stack when
// the stack overflowed: nothing here may call deep. Inside a guarded
// operation the thread goes back to its boundary, where there is stack
// again, and throws from there (the frames in between are abandoned).
LONG CALLBACK overflowHandler(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != STATUS_STACK_OVERFLOW) return EXCEPTION_CONTINUE_SEARCH;
    const std::uintptr_t value = slotValue(), boundary = value & ~kFlags;
    if (boundary == 0 || (value & kDumping) || g_overflowTaken.exchange(true)) {
        const PVECTORED_EXCEPTION_HANDLER last = g_unrecoverableOverflow.load();
        return last ? last(info) : EXCEPTION_CONTINUE_SEARCH;
    }
    std::memcpy(&g_overflow.record, info->ExceptionRecord, sizeof g_overflow.record);
    g_overflow.record.ExceptionRecord = nullptr;
    std::memcpy(&g_overflow.context, info->ContextRecord, sizeof g_overflow.context);
    info->ContextRecord->Rsp = boundary;
    info->ContextRecord->Rip = reinterpret_cast<DWORD64>(&rdTranslatedCallRecover);
    info->ContextRecord->Rax = STATUS_STACK_OVERFLOW;
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

// The system asks this handler only after every deeper frame declined.
EXCEPTION_DISPOSITION rdTranslatedCallHandler(EXCEPTION_RECORD* record, void* establisher, CONTEXT* context,
                                              DISPATCHER_CONTEXT* dispatcher) {
    auto* const boundary = static_cast<BoundaryFrame*>(establisher);
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
        // The operation ends with this unwind; leaving twice is harmless.
        rdTranslatedCallLeave(boundary);
        return ExceptionContinueSearch;
    }
    if (!isTranslatable(*record)) return ExceptionContinueSearch;
    const std::uint32_t code = record->ExceptionCode;
    EXCEPTION_POINTERS pointers{record, context};
    writeDump(code, &pointers);
    if (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) {
        // It cannot resume anywhere: unwind to the boundary as __except does.
        RtlUnwindEx(establisher, reinterpret_cast<void*>(&rdTranslatedCallRecover), record,
                    reinterpret_cast<void*>(static_cast<std::uintptr_t>(code)), dispatcher->ContextRecord,
                    dispatcher->HistoryTable);
        return ExceptionContinueSearch;  // only a corrupt stack gets here
    }
    throwFromInnermostOwnFrame(*context, boundary, code);
    return ExceptionContinueExecution;
}

// rdTranslatedCall(call, context): saves every non-volatile register, so that
// a throw from the boundary itself restores the caller's, records the frame
// as the thread's innermost boundary and calls call(context).
//
// rdAlignedFaultCall: calls rdx(rcx) on a 16-aligned stack. A function
// without a frame of its own need not keep the stack aligned, and on a
// misaligned stack the throw faults again (the fxsave of RtlCaptureContext).
// The frame pointer lets the unwinder step over the realignment.
asm(R"(
    .text
    .globl rdTranslatedCall
    .def rdTranslatedCall; .scl 2; .type 32; .endef
    .seh_proc rdTranslatedCall
rdTranslatedCall:
    pushq %rbp
    .seh_pushreg %rbp
    pushq %rbx
    .seh_pushreg %rbx
    pushq %rsi
    .seh_pushreg %rsi
    pushq %rdi
    .seh_pushreg %rdi
    pushq %r12
    .seh_pushreg %r12
    pushq %r13
    .seh_pushreg %r13
    pushq %r14
    .seh_pushreg %r14
    pushq %r15
    .seh_pushreg %r15
    subq $216, %rsp
    .seh_stackalloc 216
    movaps %xmm6, 32(%rsp)
    .seh_savexmm %xmm6, 32
    movaps %xmm7, 48(%rsp)
    .seh_savexmm %xmm7, 48
    movaps %xmm8, 64(%rsp)
    .seh_savexmm %xmm8, 64
    movaps %xmm9, 80(%rsp)
    .seh_savexmm %xmm9, 80
    movaps %xmm10, 96(%rsp)
    .seh_savexmm %xmm10, 96
    movaps %xmm11, 112(%rsp)
    .seh_savexmm %xmm11, 112
    movaps %xmm12, 128(%rsp)
    .seh_savexmm %xmm12, 128
    movaps %xmm13, 144(%rsp)
    .seh_savexmm %xmm13, 144
    movaps %xmm14, 160(%rsp)
    .seh_savexmm %xmm14, 160
    movaps %xmm15, 176(%rsp)
    .seh_savexmm %xmm15, 176
    .seh_endprologue
    .seh_handler rdTranslatedCallHandler, @except, @unwind
    movq %rcx, %rbx
    movq %rdx, %rsi
    movq %rsp, %rcx
    call rdTranslatedCallEnter
    movq %rsi, %rcx
    call *%rbx
    movq %rsp, %rcx
    call rdTranslatedCallLeave
    addq $216, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rdi
    popq %rsi
    popq %rbx
    popq %rbp
    ret
    .globl rdTranslatedCallRecover
rdTranslatedCallRecover:
    movl %eax, %ecx
    call rdTranslatedCallRecovered
    int3
    .seh_endproc

    .def rdAlignedFaultCall; .scl 3; .type 32; .endef
    .seh_proc rdAlignedFaultCall
rdAlignedFaultCall:
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    call *%rdx
    int3
    .seh_endproc
)");

void setFaultDumpWriter(FaultDumpWriter writer) noexcept { g_dumpWriter.store(writer); }

void setUnrecoverableOverflow(PVECTORED_EXCEPTION_HANDLER handler) noexcept { g_unrecoverableOverflow.store(handler); }

void translateStructuredException(std::uint32_t code, EXCEPTION_POINTERS* pointers) {
    writeDump(code, pointers);
    throwStructured(code);
}

FaultDumpScope::FaultDumpScope() noexcept {
    const std::uintptr_t value = slotValue();
    owns_ = (value & kDumping) == 0;
    if (owns_) setSlotValue(value | kDumping);
}

FaultDumpScope::~FaultDumpScope() {
    if (owns_) setSlotValue(slotValue() & ~kDumping);
}

void guaranteeStackHeadroom() noexcept {
    ULONG size = kStackHeadroom;
    SetThreadStackGuarantee(&size);
    setSlotValue(slotValue() | kHeadroom);
}

bool resetStackGuard() noexcept {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const std::uintptr_t page = system.dwPageSize;
    MEMORY_BASIC_INFORMATION stack{};
    if (!VirtualQuery(&stack, &stack, sizeof stack)) return false;
    // As _resetstkoflw does: a guard region just below the stack pointer, as
    // large as the thread's guarantee and one page more, so that the next
    // overflow comes with that headroom again. Below it the stack may be
    // committed (Wine commits it whole) or reserved (Windows grows it on
    // demand); the system moves the guard down as the thread reaches it.
    ULONG guarantee = 0;  // 0 asks for the current one
    if (!SetThreadStackGuarantee(&guarantee)) guarantee = 0;
    const std::uintptr_t size = (guarantee + page - 1) / page * page + page;
    const std::uintptr_t top = reinterpret_cast<std::uintptr_t>(&stack) & ~(page - 1);
    // Never within a page of the stack's end.
    if (top - reinterpret_cast<std::uintptr_t>(stack.AllocationBase) < size + page) return false;
    void* const guard = reinterpret_cast<void*>(top - size);
    DWORD old = 0;
    return VirtualAlloc(guard, size, MEM_COMMIT, PAGE_READWRITE) &&
           VirtualProtect(guard, size, PAGE_READWRITE | PAGE_GUARD, &old);
}
