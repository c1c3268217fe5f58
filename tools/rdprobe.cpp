// rdprobe: a DLL that probes memory under an exception handler of its own,
// as system DLLs do: reading a bad address answers -1 instead of faulting.
// rdprobeCall stands for code of another compiler that calls back into ours
// and handles its own C++ throws on the way out.
#include <windows.h>

extern "C" {
int rdprobeRead(const volatile int* address);
void rdprobeRecovered();

// The frame handler of rdprobeRead: an access violation resumes at the function's return with -1.
EXCEPTION_DISPOSITION rdprobeHandler(EXCEPTION_RECORD* record, void*, CONTEXT* context, void*) {
    if (record->ExceptionFlags & EXCEPTION_UNWIND) return ExceptionContinueSearch;
    if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) return ExceptionContinueSearch;
    context->Rax = DWORD64(-1);
    context->Rip = reinterpret_cast<DWORD64>(&rdprobeRecovered);
    return ExceptionContinueExecution;
}

__declspec(dllexport) int rdprobe(const volatile int* address) { return rdprobeRead(address); }

void rdprobeCallThrough(void (*call)(void*), void* context);
LONG g_cppThrows = 0;

// The frame handler of rdprobeCallThrough: a Microsoft C++ throw is counted and resumed (the tests raise it continuable).
EXCEPTION_DISPOSITION rdprobeCallHandler(EXCEPTION_RECORD* record, void*, CONTEXT*, void*) {
    if ((record->ExceptionFlags & EXCEPTION_UNWIND) || record->ExceptionCode != 0xE06D7363) return ExceptionContinueSearch;
    ++g_cppThrows;
    return ExceptionContinueExecution;
}

// call(context); answers how many such throws reached the handler.
__declspec(dllexport) int rdprobeCall(void (*call)(void*), void* context) {
    const LONG before = g_cppThrows;
    rdprobeCallThrough(call, context);
    return int(g_cppThrows - before);
}
}

asm(R"(
    .text
    .globl rdprobeRead
    .globl rdprobeRecovered
    .def rdprobeRead; .scl 2; .type 32; .endef
    .seh_proc rdprobeRead
rdprobeRead:
    .seh_handler rdprobeHandler, @except
    .seh_endprologue
    movl (%rcx), %eax
rdprobeRecovered:
    ret
    .seh_endproc

    .globl rdprobeCallThrough
    .def rdprobeCallThrough; .scl 2; .type 32; .endef
    .seh_proc rdprobeCallThrough
rdprobeCallThrough:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler rdprobeCallHandler, @except
    movq %rcx, %rax
    movq %rdx, %rcx
    call *%rax
    nop
    addq $40, %rsp
    ret
    .seh_endproc
)");
