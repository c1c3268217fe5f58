// rdprobe: a DLL that probes memory under an exception handler of its own,
// as system DLLs do: reading a bad address answers -1 instead of faulting.
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
)");
