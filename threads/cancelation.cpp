#include "threads/cancelation.h"

#include <unwind.h>

#include <exception>
#include <memory>
#include <string>

#include "errors/translator.h"
#include "errors/vexception.h"
#include "runtime/critical_section.h"
#include "runtime/execute_context.h"
#include "threads/cancelation_registry.h"
#include "threads/sync.h"

namespace ThreadCancelation {

namespace {

// How a cancelled thread ends. A C++ throw would need a handler at the
// bottom of every thread, and a forced unwind runs off the end of the stack
// into an unhandled exception. So the thread is unwound with RtlUnwindEx to
// the first system frame below its own code, carrying an exception object of
// a class of its own: GCC's frames run their clean-ups for it, catch (...)
// blocks see it, and when they rethrow, the stop function below resumes the
// same unwind. At the target frame execution continues in a stub that ends
// the thread with exit code 0.
constexpr _Unwind_Exception_Class kClass = 0x52444341'4E43454CULL;  // "RDCANCEL"

struct ThreadUnwind {
    _Unwind_Exception exception{};
};

// Constant-initialised: the log installs its notice from a static object.
std::atomic<CancelationNotice> g_notice{nullptr};

class RegistryLock : public RunTime::CriticalSectionLock {
public:
    explicit RegistryLock(CancelationRegistry& registry) noexcept : CriticalSectionLock(registry.guard) {}
};

ThreadUnwind* runningUnwind() noexcept {
    ExecuteContext& context = executeContext();
    if (!context.registry) return nullptr;
    return static_cast<ThreadUnwind*>(TlsGetValue(context.registry->unwindSlot));
}

void setRunningUnwind(ThreadUnwind* unwind) noexcept {
    if (ExecuteContext& context = executeContext(); context.registry) TlsSetValue(context.registry->unwindSlot, unwind);
}

HMODULE moduleOf(DWORD64 address) noexcept {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(address), &module);
    return module;
}

// The establisher frame of the first system frame below the thread's own
// code (BaseThreadInitThunk for an ordinary thread); 0 when there is none.
DWORD64 threadEndFrame() noexcept {
    const HMODULE system[] = {GetModuleHandleW(L"ntdll.dll"), GetModuleHandleW(L"kernel32.dll"),
                              GetModuleHandleW(L"kernelbase.dll")};
    const auto isSystem = [&](HMODULE module) {
        return module && (module == system[0] || module == system[1] || module == system[2]);
    };
    // The committed region around this frame reaches up to the stack's base.
    MEMORY_BASIC_INFORMATION stack{};
    VirtualQuery(&stack, &stack, sizeof stack);
    const DWORD64 stackBase = reinterpret_cast<DWORD64>(stack.BaseAddress) + stack.RegionSize;
    CONTEXT context;
    RtlCaptureContext(&context);
    DWORD64 target = 0;
    bool belowOwnCode = false;
    for (int depth = 0; depth < 4096 && context.Rip != 0 && context.Rsp < stackBase; ++depth) {
        const bool systemFrame = isSystem(moduleOf(context.Rip));
        DWORD64 imageBase = 0;
        DWORD64 establisher = context.Rsp;
        if (PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr)) {
            void* handlerData = nullptr;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                             &establisher, nullptr);
        } else {
            // A leaf function: the return address is on top of the stack.
            context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
            context.Rsp += 8;
        }
        if (systemFrame && belowOwnCode) target = establisher;
        belowOwnCode = !systemFrame;
    }
    return target;
}

// Not noexcept: the unwind passes through this very frame.
[[noreturn]] void resumeUnwinding(_Unwind_Exception& exception) {
    CONTEXT context;
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = kGccThrowCode;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.NumberParameters = 4;
    record.ExceptionInformation[0] = reinterpret_cast<ULONG_PTR>(&exception);
    record.ExceptionInformation[1] = exception.private_[1];
    record.ExceptionInformation[2] = exception.private_[2];
    RtlUnwindEx(reinterpret_cast<void*>(exception.private_[1]), reinterpret_cast<void*>(exception.private_[2]),
                &record, &exception, &context, nullptr);
    // Only a corrupt stack gets here; ending the thread is all that is left.
    ExitThread(0);
}

// Called by libgcc when a catch (...) block rethrows the cancellation.
_Unwind_Reason_Code continueUnwinding(int, _Unwind_Action, _Unwind_Exception_Class, _Unwind_Exception* exception,
                                      _Unwind_Context*, void*) {
    resumeUnwinding(*exception);
}

// Called when a catch (...) block ends without rethrowing: the thread lives on.
void swallowed(_Unwind_Reason_Code, _Unwind_Exception* exception) {
    setRunningUnwind(nullptr);
    delete reinterpret_cast<ThreadUnwind*>(exception);
}

}  // namespace

extern "C" [[noreturn]] void rdFinishCanceledThread() {
    delete runningUnwind();
    setRunningUnwind(nullptr);
    ExitThread(0);
}

// The target of the unwind: it starts on the stack of a frame that no longer
// exists, so it aligns the stack itself before calling into C++.
extern "C" void rdExitCanceledThread();
asm(".text\n"
    ".globl rdExitCanceledThread\n"
    "rdExitCanceledThread:\n"
    "    andq $-16, %rsp\n"
    "    subq $32, %rsp\n"
    "    call rdFinishCanceledThread\n"
    "    int3\n");

CancelationRegistry::CancelationRegistry() {
    InitializeCriticalSection(&guard);
    slot = TlsAlloc();
    unwindSlot = TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES || unwindSlot == TLS_OUT_OF_INDEXES) {
        const DWORD error = GetLastError();
        this->~CancelationRegistry();
        throwOsError(L"TlsAlloc() failed", error,
                     raiseSite("ThreadCancelation::TlsValuePtr<class ThreadCancelation::CancelationPoint>::TlsValuePtr",
                               20));
    }
}

CancelationRegistry::~CancelationRegistry() {
    if (slot != TLS_OUT_OF_INDEXES) TlsFree(slot);
    if (unwindSlot != TLS_OUT_OF_INDEXES) TlsFree(unwindSlot);
    DeleteCriticalSection(&guard);
}

CancelationRegistry& registry() {
    ExecuteContext& context = executeContext();
    if (context.registry) return *context.registry;
    // Modules of one process create the registry one at a time, under a
    // name any process can guess and take first: waited for this long, then
    // gone on without (modules rarely start their first points at once).
    constexpr std::uint32_t kCreationLockWaitMs = 5000;
    static LockBudget budget(kCreationLockWaitMs);
    ExclusiveTask creation;
    const std::wstring name = L"{D660A9E0-ED82-4a76-A607-E7B8471B868E}:" + std::to_wstring(GetCurrentProcessId());
    creation.hold(name, budget);
    if (!context.registry) {
        context.registry = new CancelationRegistry;
        context.destroyRegistry = [](CancelationRegistry* registry) noexcept { delete registry; };
    }
    return *context.registry;
}

void setCancelationNotice(CancelationNotice notice) noexcept { g_notice.store(notice); }

CancelationPoint* innermost() noexcept {
    ExecuteContext& context = executeContext();
    return context.registry ? static_cast<CancelationPoint*>(TlsGetValue(context.registry->slot)) : nullptr;
}

bool isCanceling() noexcept {
    // The unwind carries no C++ exception, so a handler that caught it sees
    // none as the current one; one that sees a C++ exception caught an error
    // that a clean-up raised on the way, and rethrowing that would take it
    // out of the destructor running the clean-up and end the process.
    return runningUnwind() != nullptr && !std::current_exception();
}

CancelationPoint::CancelationPoint(std::uint32_t mode) {
    CancelationRegistry& points = registry();
    previous_ = static_cast<CancelationPoint*>(TlsGetValue(points.slot));
    TlsSetValue(points.slot, this);
    if (previous_ && previous_->mode_ == SynchronousInherited) {
        mode_ = SynchronousInherited;
        return;
    }
    mode_ = mode;
    if (mode != Asynchronous) return;
    try {
        auto handle = std::make_unique<RunTime::AutoHandle>();
        handle->duplicateHandle(GetCurrentThread(), false);
        threadHandle_ = std::move(handle);
    } catch (...) {
        // No later point may reach this one.
        TlsSetValue(points.slot, previous_);
        throw;
    }
}

void CancelationPoint::cancel() {
    CancelationRegistry& points = registry();
    RegistryLock lock(points);
    if (closed_ || cancelRequested_.exchange(true)) return;
    if (mode_ == Asynchronous && threadHandle_ &&
        !QueueUserAPC(&CancelationPoint::cancelByApc, threadHandle_->get(), reinterpret_cast<ULONG_PTR>(this)))
        throwLastOsError(L"Unable to queue asynchronous cancel", "ThreadCancelation::AsyncCancelationPoint::cancel", 118);
}

void CALLBACK CancelationPoint::cancelByApc(ULONG_PTR parameter) {
    // The APC may run after its point has closed, in a later wait: act only
    // while the point is still on this thread's chain.
    for (CancelationPoint* point = innermost(); point; point = point->previous_)
        if (reinterpret_cast<ULONG_PTR>(point) == parameter) return cancelThreadOf(*point);
}

void CancelationPoint::close() noexcept(false) {
    if (closed_) return;
    CancelationRegistry& points = registry();
    bool requested;
    {
        RegistryLock lock(points);
        closed_ = true;
        requested = cancelRequested_;
    }
    threadHandle_.reset();
    TlsSetValue(points.slot, previous_);
    previous_ = nullptr;
    if (requested) cancelThreadOf(*this);
}

void cancelThreadOf(CancelationPoint& point) {
    CancelationRegistry& points = registry();
    {
        RegistryLock lock(points);
        // Once per point, and once per thread: the points that close while
        // the thread unwinds must not start it again.
        if (point.canceling_ || runningUnwind()) return;
        point.canceling_ = true;
    }
    if (const CancelationNotice notice = g_notice.load()) notice(GetCurrentThreadId());
    auto* unwind = new ThreadUnwind;
    unwind->exception.exception_class = kClass;
    unwind->exception.exception_cleanup = &swallowed;
    unwind->exception.private_[0] = reinterpret_cast<_Unwind_Word>(&continueUnwinding);
    unwind->exception.private_[1] = threadEndFrame();
    unwind->exception.private_[2] = reinterpret_cast<_Unwind_Word>(&rdExitCanceledThread);
    setRunningUnwind(unwind);
    if (unwind->exception.private_[1] == 0) rdFinishCanceledThread();
    resumeUnwinding(unwind->exception);
}

}  // namespace ThreadCancelation
