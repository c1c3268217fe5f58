#include "threads/sync.h"

#include "errors/vexception.h"
#include "threads/cancelation.h"

namespace {

std::uint64_t nowIn100ns() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace

std::uint32_t VSyncObject::waitForSingleObject(HANDLE handle, std::uint32_t timeout) {
    DWORD result;
    DWORD error = ERROR_SUCCESS;
    {
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Asynchronous);
        const std::uint64_t deadline = nowIn100ns() + std::uint64_t(timeout) * 10000u;
        do {
            DWORD remaining = INFINITE;
            if (timeout != INFINITE) {
                const std::uint64_t now = nowIn100ns();
                remaining = now >= deadline ? 0 : static_cast<DWORD>((deadline - now) / 10000u);
            }
            // Alertable, so that a cancellation APC can reach the thread;
            // any other APC only costs a new wait for the time left.
            result = WaitForSingleObjectEx(handle, remaining, TRUE);
            if (result == WAIT_FAILED) error = GetLastError();
        } while (result == WAIT_IO_COMPLETION);
    }
    if (result == WAIT_FAILED)
        throwOsError(L"Wait for single object", error, raiseSite("VSyncObject::waitForSingleObject", 112));
    return result;
}
