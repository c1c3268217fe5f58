// Thread cancellation through the waits, against real threads and APCs.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "log/logmanager.h"
#include "tests/support/log_records.h"
#include "threads/cancelation.h"
#include "threads/guard.h"
#include "threads/sync.h"

namespace {

using ThreadCancelation::CancelationPoint;

const HANDLE kNeverSignalled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
constexpr GuardedOperation kOperation{"Tests::operation", L"operation()", 1, 2};

// A thread that opens an asynchronous point of its own and runs body two
// guarded operations deep, counting the objects each level destroys. It ends
// with 7 when body returns, with 0 when cancelled.
class Victim {
public:
    explicit Victim(std::function<void()> body) : body_(std::move(body)) {
        thread_.reset(CreateThread(nullptr, 0, &Victim::main, this, 0, &id));
        while (!point_) Sleep(1);
    }
    // The exit code, or STILL_ACTIVE when the thread did not end in time.
    DWORD join(DWORD ms = 10000) {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(thread_.get(), ms) == WAIT_OBJECT_0) GetExitCodeThread(thread_.get(), &code);
        return code;
    }

    DWORD id = 0;
    std::atomic<int> destroyed{0};
    std::atomic<CancelationPoint*> point_{nullptr};

private:
    struct Counted {
        std::atomic<int>& count;
        ~Counted() { ++count; }
    };
    static DWORD WINAPI main(void* self) {
        static_cast<Victim*>(self)->run();
        return 7;
    }
    void run() {
        Counted thread{destroyed};
        CancelationPoint point(ThreadCancelation::Asynchronous);
        point_ = &point;
        guarded(kOperation, [&] {
            Counted outer{destroyed};
            guarded(kOperation, [&] {
                Counted inner{destroyed};
                body_();
            });
        });
    }

    std::function<void()> body_;
    RunTime::AutoHandle thread_;
};


}  // namespace

TEST(Cancelation, AnApcEndsAThreadBlockedInEveryWaitWithAllDestructorsRunPastCatchAllBlocks) {
    VMutex held(true, nullptr);  // owned by this thread, so the victim blocks
    const HANDLE two[] = {kNeverSignalled, kNeverSignalled};
    int caught = 0;
    const std::pair<const char*, std::function<void()>> waits[] = {
        {"single", [] { VSyncObject::waitForSingleObject(kNeverSignalled, INFINITE); }},
        {"multiple", [&] { VSyncObject::waitForMultipleObjects(2, two, false, INFINITE); }},
        {"lock", [&] { held.lock(INFINITE); }},
        {"sleep in handlers", [&] {
             try {
                 try {
                     cancellableSleep(600000);
                 } catch (const std::exception&) {
                     caught += 100;  // a typed handler never sees it
                 }
             } catch (...) {
                 ++caught;  // one that rethrows does not stop it
                 throw;
             }
         }},
    };
    for (const auto& [name, wait] : waits) {
        SCOPED_TRACE(name);
        test_log::Recorder recorder;
        Victim victim(wait);
        victim.point_.load()->cancel();
        victim.point_.load()->cancel();  // a second request changes nothing
        EXPECT_EQ(victim.join(), 0u);
        EXPECT_EQ(victim.destroyed, 3);
        EXPECT_EQ(recorder.records,
                  std::vector<std::wstring>{L"Info: Thread #" + std::to_wstring(victim.id) + L" is going to be canceled!"});
    }
    EXPECT_EQ(caught, 1);
}

TEST(Cancelation, ASynchronousPointHoldsTheRequestUntilItCloses) {
    const RunTime::AutoHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<CancelationPoint*> point{nullptr};
    std::atomic<int> steps{0};
    Victim victim([&] {
        {
            CancelationPoint synchronous(ThreadCancelation::Synchronous);
            point = &synchronous;
            WaitForSingleObjectEx(go.get(), INFINITE, TRUE);  // alertable, yet no APC comes
            ++steps;
        }
        ++steps;
    });
    while (!point) Sleep(1);
    point.load()->cancel();
    EXPECT_EQ(victim.join(100), static_cast<DWORD>(STILL_ACTIVE));
    SetEvent(go.get());
    EXPECT_EQ(victim.join(), 0u);
    EXPECT_EQ(steps, 1) << "the thread did not end where the point closed";
}

TEST(Cancelation, PointsChainInOrderAndInheritSynchronousModes) {
    CancelationPoint outer(ThreadCancelation::Synchronous);
    {
        CancelationPoint inner(ThreadCancelation::Asynchronous);
        EXPECT_TRUE(ThreadCancelation::innermost() == &inner && inner.previous() == &outer);
        EXPECT_TRUE(inner.ownsThreadHandle());
    }
    CancelationPoint inherited(ThreadCancelation::SynchronousInherited);
    EXPECT_EQ(inherited.previous(), &outer) << "the closed point stayed in the chain";
    CancelationPoint nested(ThreadCancelation::Asynchronous);
    EXPECT_EQ(nested.mode(), ThreadCancelation::SynchronousInherited);
    EXPECT_FALSE(nested.ownsThreadHandle());
    EXPECT_EQ(nested.previous(), &inherited);
}

TEST(Waits, ApcsThatDoNotCancelAreAbsorbedAndTheDeadlineHolds) {
    std::atomic<DWORD> result{0};
    std::atomic<ULONGLONG> elapsed{0};
    std::atomic<int> apcs{0};
    Victim victim([&] {
        const ULONGLONG start = GetTickCount64();
        result = VSyncObject::waitForSingleObject(kNeverSignalled, 400);
        elapsed = GetTickCount64() - start;
    });
    const RunTime::AutoHandle thread(OpenThread(THREAD_SET_CONTEXT, FALSE, victim.id));
    for (int i = 0; i < 5; ++i)
        QueueUserAPC([](ULONG_PTR count) { ++*reinterpret_cast<std::atomic<int>*>(count); }, thread.get(),
                     reinterpret_cast<ULONG_PTR>(&apcs));
    EXPECT_EQ(victim.join(), 7u);
    EXPECT_EQ(result, WAIT_TIMEOUT);
    EXPECT_EQ(apcs, 5);
    EXPECT_GE(elapsed, 390u);
}
