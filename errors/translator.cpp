#include "errors/translator.h"

#include "errors/vexception.h"

namespace {

thread_local StructuredTranslator t_translator = nullptr;

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

// The system's own DLLs probe memory under their own exception handlers;
// a vectored handler runs before those and must leave such faults alone.
bool isInSystemModule(const void* address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
        return false;
    static const HMODULE systemModules[] = {GetModuleHandleW(L"ntdll.dll"), GetModuleHandleW(L"kernelbase.dll"),
                                            GetModuleHandleW(L"kernel32.dll")};
    for (HMODULE m : systemModules)
        if (m && m == module) return true;
    return false;
}

[[noreturn]] __attribute__((noinline, used)) void throwFromFault(StructuredTranslator translator) {
    translator(t_fault.record.ExceptionCode, &t_fault.pointers);
    // A translator must throw; one that returns still must not resume the fault.
    throw cwrpexception(t_fault.record.ExceptionCode);
}

LONG CALLBACK vectoredHandler(EXCEPTION_POINTERS* info) {
    const StructuredTranslator translator = t_translator;
    if (!translator) return EXCEPTION_CONTINUE_SEARCH;
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    if (!isTranslatable(record) || isInSystemModule(record.ExceptionAddress)) return EXCEPTION_CONTINUE_SEARCH;

    t_fault.record = record;
    t_fault.record.ExceptionRecord = nullptr;
    t_fault.context = *info->ContextRecord;
    t_fault.pointers.ExceptionRecord = &t_fault.record;
    t_fault.pointers.ContextRecord = &t_fault.context;

    // Enter throwFromFault as if the faulting instruction had called it. The
    // return address is one past the fault's start, because the unwinder looks
    // up the caller's handler at return address - 1: that byte must lie inside
    // the faulting instruction. There is no red zone on x64 Windows, and the
    // body's stack is 16-aligned, so the entry stack has call alignment.
    CONTEXT& context = *info->ContextRecord;
    context.Rsp -= sizeof(DWORD64);
    *reinterpret_cast<DWORD64*>(context.Rsp) = context.Rip + 1;
    context.Rip = reinterpret_cast<DWORD64>(&throwFromFault);
    context.Rcx = reinterpret_cast<DWORD64>(translator);
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

StructuredTranslator setStructuredTranslator(StructuredTranslator translator) noexcept {
    static VectoredHandlerRegistration registration;
    const StructuredTranslator previous = t_translator;
    t_translator = translator;
    return previous;
}

void translateStructuredException(std::uint32_t code, EXCEPTION_POINTERS*) {
    // The crash dump of the fault belongs here, written with the translator
    // cleared so that a fault while writing it is not translated again.
    throw cwrpexception(code);
}
