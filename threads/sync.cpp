#include "threads/sync.h"

#include <cstddef>
#include <cwchar>

#include "errors/format.h"
#include "errors/vexception.h"
#include "threads/cancelation.h"

namespace {

// The monotonic performance counter, in 100 ns units: a change of the wall
// clock must neither stretch nor cut short a wait that an APC interrupted.
std::uint64_t nowIn100ns() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    const std::uint64_t ticks = now.QuadPart, perSecond = frequency.QuadPart;
    return ticks / perSecond * 10000000u + ticks % perSecond * 10000000u / perSecond;
}

// Calls wait with the time left until the deadline, again after every APC
// that did not cancel the thread. Returns the last result and its error.
template <class Wait>
std::uint32_t waitUntilDeadline(std::uint32_t timeout, DWORD& error, Wait wait) {
    DWORD result;
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Asynchronous);
    const std::uint64_t deadline = nowIn100ns() + std::uint64_t(timeout) * 10000u;
    do {
        DWORD remaining = INFINITE;
        if (timeout != INFINITE) {
            const std::uint64_t now = nowIn100ns();
            remaining = now >= deadline ? 0 : static_cast<DWORD>((deadline - now) / 10000u);
        }
        result = wait(remaining);
        error = result == WAIT_FAILED ? GetLastError() : ERROR_SUCCESS;
    } while (result == WAIT_IO_COMPLETION);
    return result;
}

// Those who share our named mutexes wait for and release them; nothing more.
// Everyone gets that; so does OWNER RIGHTS, the mutex's owner, whose entry
// takes away the implicit rights an owner has otherwise to read and re-list
// it ("Well-known SIDs"): the account that creates it cannot shut the others
// out later either.
constexpr DWORD kMutexUse = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// That list never changes, so it is one constant self-relative descriptor,
// which the system only reads: nothing is built or freed per mutex.
struct AllowedAce {
    ACE_HEADER header;
    ACCESS_MASK mask;
    SID sid;  // one sub-authority
};
struct MutexDescriptor {
    SECURITY_DESCRIPTOR_RELATIVE header;
    ACL acl;
    AllowedAce everyone, ownerRights;
};
constexpr MutexDescriptor kMutexDescriptor{
    {SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT | SE_SELF_RELATIVE, 0, 0, 0, offsetof(MutexDescriptor, acl)},
    {ACL_REVISION, 0, sizeof(ACL) + 2 * sizeof(AllowedAce), 2, 0},
    {{ACCESS_ALLOWED_ACE_TYPE, 0, sizeof(AllowedAce)},
     kMutexUse,
     {SID_REVISION, 1, SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}}},  // S-1-1-0
    {{ACCESS_ALLOWED_ACE_TYPE, 0, sizeof(AllowedAce)},
     kMutexUse,
     {SID_REVISION, 1, SECURITY_CREATOR_SID_AUTHORITY, {SECURITY_CREATOR_OWNER_RIGHTS_RID}}},  // S-1-3-4
};
static_assert(sizeof(AllowedAce) == 20 && sizeof(MutexDescriptor) == 68, "no padding inside the descriptor");

// CreateMutexW would ask an existing mutex for every right.
HANDLE createMutex(const wchar_t* name, bool initialOwner) {
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), const_cast<MutexDescriptor*>(&kMutexDescriptor), FALSE};
    return CreateMutexExW(&attributes, name, initialOwner ? CREATE_MUTEX_INITIAL_OWNER : 0, kMutexUse);
}

constexpr wchar_t kLockWaitVariable[] = L"RUNDOCK_LOCK_WAIT_MS";

}  // namespace

std::uint32_t shortenedBound(std::uint32_t boundMs, const wchar_t* setting) noexcept {
    if (!*setting) return boundMs;
    wchar_t* end = nullptr;
    const unsigned long shorter = std::wcstoul(setting, &end, 10);
    return *end == 0 && shorter < boundMs ? static_cast<std::uint32_t>(shorter) : boundMs;
}

std::uint32_t LockBudget::left() const noexcept {
    static const struct Setting {
        wchar_t text[16] = {};
        Setting() noexcept {
            if (GetEnvironmentVariableW(kLockWaitVariable, text, 16) >= 16) text[0] = 0;
        }
    } setting;
    return exhausted_ ? 0 : shortenedBound(bound_, setting.text);
}

std::uint32_t VSyncObject::waitForSingleObject(HANDLE handle, std::uint32_t timeout) {
    DWORD error = ERROR_SUCCESS;
    const std::uint32_t result =
        waitUntilDeadline(timeout, error, [&](DWORD remaining) { return WaitForSingleObjectEx(handle, remaining, TRUE); });
    if (result == WAIT_FAILED)
        throwOsError(L"Wait for single object", error, raiseSite("VSyncObject::waitForSingleObject", 112));
    return result;
}

std::uint32_t VSyncObject::waitForSingleObject(std::uint32_t timeout) { return waitForSingleObject(handle(), timeout); }

std::uint32_t VSyncObject::waitForMultipleObjects(std::uint32_t count, const HANDLE* handles, bool waitAll,
                                                  std::uint32_t timeout) {
    DWORD error = ERROR_SUCCESS;
    const std::uint32_t result = waitUntilDeadline(timeout, error, [&](DWORD remaining) {
        return WaitForMultipleObjectsEx(count, handles, waitAll, remaining, TRUE);
    });
    SetLastError(error);
    return result;
}

bool VSyncObject::lock(std::uint32_t timeout) {
    // As in waitForExit: a failure is raised by the wait itself.
    return waitForSingleObject(timeout) != WAIT_TIMEOUT;
}

VMutex::VMutex(bool initialOwner, const wchar_t* name) {
    handle_.reset(createMutex(name, initialOwner));
    if (!handle_.valid()) {
        const DWORD error = GetLastError();
        if (name)
            throwOsError(formatString(L"Create mutex with name '%s'", name), error, raiseSite("VMutex::VMutex", 194));
        throwOsError(L"Create mutex", error, raiseSite("VMutex::VMutex", 197));
    }
}

void VMutex::unlock() {
    if (!ReleaseMutex(handle())) throwLastOsError(L"ReleaseMutex", "VMutex::unlock", 234);
}

std::uint32_t ExclusiveTask::Initialize(const std::wstring& name, std::uint32_t timeout) {
    release();
    mutex_.reset(createMutex(name.c_str(), false));
    if (!mutex_.valid()) {
        throwLastOsError([&] { return L"create mutex " + name; }, "ExclusiveTask::Initialize", 182);
    }
    // Deliberately not alertable: the cancellation registry itself is
    // created under this mutex.
    const DWORD result = WaitForSingleObject(mutex_.get(), timeout);
    if (result == WAIT_FAILED) {
        const DWORD error = GetLastError();
        mutex_.close();
        throwOsError(L"WaitForSingleObject failed for mutex " + name, error,
                     raiseSite("ExclusiveTask::Initialize", 188));
    }
    held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    return result;
}

bool ExclusiveTask::hold(const std::wstring& name, LockBudget& budget) {
    return budget.wait([&](std::uint32_t ms) {
        try {
            return Initialize(name, ms) != WAIT_TIMEOUT;
        } catch (const vexception&) {
            return false;
        }
    });
}

void ExclusiveTask::release() noexcept {
    if (held_) ReleaseMutex(mutex_.get());
    held_ = false;
    mutex_.close();
}

void cancellableSleep(std::uint32_t milliseconds) {
    // The waits' deadline loop: after an APC that did not cancel, it sleeps
    // only for the time left, and never past the end.
    DWORD error = ERROR_SUCCESS;
    waitUntilDeadline(milliseconds, error, [](DWORD remaining) { return SleepEx(remaining, TRUE); });
}
