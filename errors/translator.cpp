#include "errors/translator.h"

#include <atomic>

#include "errors/vexception.h"

namespace {

thread_local StructuredTranslator t_translator = nullptr;

// Constant-initialised: the crash layer installs its writer from a static
// object built ahead of all others.
std::atomic<FaultDumpWriter> g_dumpWriter{nullptr};

// The fault's record and context live below the faulting stack pointer, where
// the redirected call's frame will overwrite them: keep a copy per thread.
struct FaultCopy {
    EXCEPTION_RECORD record;
    CONTEXT context;
    EXCEPTION_POINTERS pointers;
};
thread_local FaultCopy t_fault;

bool isTranslatable(const EXCEPTION_RECORD& record) {
    // Only error-severity system statuses; C++ throws, debug output and
    // warnings pass. A stack overflow has no stack left to throw on, and a
    // non-continuable exception cannot be redirected.
    if ((record.ExceptionCode & 0xF0000000u) != 0xC0000000u) return false;
    if (record.ExceptionCode == STATUS_STACK_OVERFLOW) return false;
    if (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) return false;
    return true;
}

HMODULE moduleAt(DWORD64 address) noexcept {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(address), &module);
    return module;
}

LONG CALLBACK vectoredHandler(EXCEPTION_POINTERS* info);

// A vectored handler sees a fault before any frame-based handler, so it
// would take faults away from DLLs that probe memory under handlers of their
// own. Walk the frames from the fault outward to the innermost frame of this
// module: a frame of another module with an exception handler on the way
// gets the fault. (GCC's C++ frames with clean-ups carry a handler too.)
bool foreignHandlerOnTheWay(const CONTEXT& fault) noexcept {
    static const HMODULE self = moduleAt(reinterpret_cast<DWORD64>(&vectoredHandler));
    CONTEXT context = fault;
    constexpr int kDeepest = 256;
    for (int depth = 0; depth < kDeepest && context.Rip; ++depth) {
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        const HMODULE module = function ? reinterpret_cast<HMODULE>(imageBase) : moduleAt(context.Rip);
        if (module == self) return false;
        if (!function) {
            // A leaf function: its return address is on top of the stack.
            context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
            context.Rsp += sizeof(DWORD64);
            continue;
        }
        PVOID handlerData = nullptr;
        DWORD64 establisherFrame = 0;
        if (RtlVirtualUnwind(UNW_FLAG_EHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                             &establisherFrame, nullptr))
            return true;
    }
    return false;
}

[[noreturn]] __attribute__((noinline, used)) void throwFromFault(StructuredTranslator translator) {
    translator(t_fault.record.ExceptionCode, &t_fault.pointers);
    // A translator must throw; one that returns still must not resume the fault.
    throw cwrpexception(t_fault.record.ExceptionCode);
}

// The redirected call's entry: calls throwFromFault (rdx) with the translator
// (rcx) on a 16-aligned stack. A function without a frame of its own need not
// keep the stack aligned, and on a misaligned stack the throw faults again
// (the fxsave of RtlCaptureContext): that access violation would replace the
// fault's code. The frame pointer lets the unwinder step over the realignment.
extern "C" void rdAlignedFaultCall();
asm(R"(
    .text
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

LONG CALLBACK vectoredHandler(EXCEPTION_POINTERS* info) {
    const StructuredTranslator translator = t_translator;
    if (!translator) return EXCEPTION_CONTINUE_SEARCH;
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    if (!isTranslatable(record) || foreignHandlerOnTheWay(*info->ContextRecord)) return EXCEPTION_CONTINUE_SEARCH;

    t_fault.record = record;
    t_fault.record.ExceptionRecord = nullptr;
    t_fault.context = *info->ContextRecord;
    t_fault.pointers.ExceptionRecord = &t_fault.record;
    t_fault.pointers.ContextRecord = &t_fault.context;

    // Enter rdAlignedFaultCall as if the faulting instruction had called it. The
    // return address is one past the fault's start, because the unwinder looks
    // up the caller's handler at return address - 1: that byte must lie inside
    // the faulting instruction. There is no red zone on x64 Windows.
    CONTEXT& context = *info->ContextRecord;
    context.Rsp -= sizeof(DWORD64);
    *reinterpret_cast<DWORD64*>(context.Rsp) = context.Rip + 1;
    context.Rip = reinterpret_cast<DWORD64>(&rdAlignedFaultCall);
    context.Rcx = reinterpret_cast<DWORD64>(translator);
    context.Rdx = reinterpret_cast<DWORD64>(&throwFromFault);
    return EXCEPTION_CONTINUE_EXECUTION;
}

// One handler per module, first in line; removed when the module goes away
// so that a DLL carrying the runtime leaves no dangling handler behind.
struct VectoredHandlerRegistration {
    PVOID handle = AddVectoredExceptionHandler(1, &vectoredHandler);
    ~VectoredHandlerRegistration() {
        if (handle) RemoveVectoredExceptionHandler(handle);
    }
};

}  // namespace

void setFaultDumpWriter(FaultDumpWriter writer) noexcept { g_dumpWriter.store(writer); }

StructuredTranslator setStructuredTranslator(StructuredTranslator translator) noexcept {
    static VectoredHandlerRegistration registration;
    const StructuredTranslator previous = t_translator;
    t_translator = translator;
    return previous;
}

void translateStructuredException(std::uint32_t code, EXCEPTION_POINTERS* pointers) {
    {
        // A fault while the dump is written is not translated again.
        const StructuredTranslator previous = setStructuredTranslator(nullptr);
        try {
            if (const FaultDumpWriter write = g_dumpWriter.load()) write(code, pointers);
        } catch (...) {
            // The fault still becomes a cwrpexception.
        }
        setStructuredTranslator(previous);
    }
    throw cwrpexception(code);
}
