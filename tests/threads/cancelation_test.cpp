// Thread cancellation through the waits, against real threads and APCs.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "errors/guard.h"
#include "tests/support/log_records.h"
#include "threads/cancelation.h"
#include "threads/sync.h"

namespace {

using ThreadCancelation::CancelationPoint;

struct Counted {
    std::atomic<int>& count;
    ~Counted() { ++count; }
};

// A thread that opens an asynchronous point of its own, reports it, and then
// runs body three guarded operations deep, with an object to destroy on each
// level. Whatever the body's wait is, the point's APC reaches it.
class Victim {
public:
    explicit Victim(std::function<void()> body) : body_(std::move(body)) {
        thread_ = CreateThread(nullptr, 0, &Victim::main, this, 0, &id_);
        while (!point_) Sleep(1);
    }
    ~Victim() { CloseHandle(thread_); }
    CancelationPoint& point() { return *point_; }
    bool running() const { return WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT; }
    // The thread's exit code (cancelled: 0, returned: 7), or STILL_ACTIVE when it did not end in time.
    DWORD join() {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(thread_, 10000) == WAIT_OBJECT_0) GetExitCodeThread(thread_, &code);
        return code;
    }

    std::atomic<int> destroyed{0};
    std::atomic<bool> bodyReturned{false};
    DWORD id_ = 0;

private:
    static DWORD WINAPI main(void* self) {
        static_cast<Victim*>(self)->run();
        return 7;
    }
    void run() {
        static constexpr GuardedOperation kOperation{"Tests::operation", L"operation()", 1, 2};
        Counted thread{destroyed};
        CancelationPoint point(ThreadCancelation::Asynchronous);
        point_ = &point;
        guarded(kOperation, [&] {
            Counted outer{destroyed};
            guarded(kOperation, [&] {
                Counted inner{destroyed};
                body_();
                bodyReturned = true;
            });
        });
    }

    std::function<void()> body_;
    HANDLE thread_ = nullptr;
    std::atomic<CancelationPoint*> point_{nullptr};
};

HANDLE neverSignalled() {
    static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

}  // namespace

TEST(Cancelation, AnApcEndsAThreadBlockedInEveryWaitWithAllDestructorsRun) {
    VMutex held(true, nullptr);  // owned by this thread, so the victim blocks
    const HANDLE two[] = {neverSignalled(), neverSignalled()};
    const std::pair<const char*, std::function<void()>> waits[] = {
        {"single", [] { VSyncObject::waitForSingleObject(neverSignalled(), INFINITE); }},
        {"multiple", [&] { VSyncObject::waitForMultipleObjects(2, two, false, INFINITE); }},
        {"lock", [&] { held.lock(INFINITE); }},
        {"sleep", [] { cancellableSleep(600000); }},
    };
    for (const auto& [name, wait] : waits) {
        SCOPED_TRACE(name);
        test_log::Recorder recorder;
        Victim victim(wait);
        victim.point().cancel();
        victim.point().cancel();  // a second request changes nothing
        EXPECT_EQ(victim.join(), 0u);
        EXPECT_EQ(victim.destroyed, 3);
        EXPECT_FALSE(victim.bodyReturned);
        EXPECT_EQ(recorder.records, std::vector<std::wstring>{L"Info: Thread #" + std::to_wstring(victim.id_) +
                                                              L" is going to be canceled!"});
    }
}

TEST(Cancelation, CatchAllBlocksThatRethrowDoNotStopIt) {
    std::atomic<int> caught{0};
    Victim victim([&] {
        try {
            try {
                cancellableSleep(600000);
            } catch (const std::exception&) {
                caught += 100;  // a typed handler never sees it
            }
        } catch (...) {
            ++caught;
            throw;
        }
    });
    victim.point().cancel();
    EXPECT_EQ(victim.join(), 0u);
    EXPECT_EQ(caught, 1);
    EXPECT_EQ(victim.destroyed, 3);
}

TEST(Cancelation, ASynchronousPointHoldsTheRequestUntilItCloses) {
    const RunTime::AutoHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<CancelationPoint*> point{nullptr};
    std::atomic<bool> waited{false}, afterClose{false};
    Victim victim([&] {
        {
            CancelationPoint synchronous(ThreadCancelation::Synchronous);
            point = &synchronous;
            WaitForSingleObjectEx(go.get(), INFINITE, TRUE);  // alertable, yet no APC comes
            waited = true;
        }
        afterClose = true;
    });
    while (!point) Sleep(1);
    point.load()->cancel();
    EXPECT_TRUE(victim.running());
    SetEvent(go.get());
    EXPECT_EQ(victim.join(), 0u);
    EXPECT_TRUE(waited);
    EXPECT_FALSE(afterClose);
    EXPECT_EQ(victim.destroyed, 3);
}

TEST(Cancelation, PointsChainAndUnchainInOrderAndInheritSynchronousModes) {
    EXPECT_EQ(ThreadCancelation::innermost(), nullptr);
    {
        CancelationPoint outer(ThreadCancelation::Synchronous);
        {
            CancelationPoint inner(ThreadCancelation::Asynchronous);
            EXPECT_EQ(ThreadCancelation::innermost(), &inner);
            EXPECT_EQ(inner.previous(), &outer);
            EXPECT_TRUE(inner.ownsThreadHandle());
        }
        {
            CancelationPoint inherited(ThreadCancelation::SynchronousInherited);
            CancelationPoint nested(ThreadCancelation::Asynchronous);
            EXPECT_EQ(nested.mode(), ThreadCancelation::SynchronousInherited);
            EXPECT_FALSE(nested.ownsThreadHandle());
        }
        EXPECT_EQ(ThreadCancelation::innermost(), &outer);
    }
    EXPECT_EQ(ThreadCancelation::innermost(), nullptr);
}

TEST(Waits, ApcsThatDoNotCancelAreAbsorbedAndTheDeadlineHolds) {
    std::atomic<DWORD> result{0};
    std::atomic<ULONGLONG> elapsed{0};
    std::atomic<int> apcs{0};
    Victim victim([&] {
        const ULONGLONG start = GetTickCount64();
        result = VSyncObject::waitForSingleObject(neverSignalled(), 400);
        elapsed = GetTickCount64() - start;
    });
    const RunTime::AutoHandle thread(OpenThread(THREAD_SET_CONTEXT, FALSE, victim.id_));
    for (int i = 0; i < 5; ++i)
        QueueUserAPC([](ULONG_PTR count) { ++*reinterpret_cast<std::atomic<int>*>(count); }, thread.get(),
                     reinterpret_cast<ULONG_PTR>(&apcs));
    EXPECT_EQ(victim.join(), 7u);
    EXPECT_EQ(result, WAIT_TIMEOUT);
    EXPECT_EQ(apcs, 5);
    EXPECT_GE(elapsed, 390u);
}
