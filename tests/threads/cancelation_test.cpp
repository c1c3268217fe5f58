// Thread cancellation through the waits, against real threads and APCs.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "log/logmanager.h"
#include "threads/cancelation.h"
#include "threads/guard.h"
#include "threads/sync.h"

namespace {

using ThreadCancelation::CancelationPoint;

struct CancelRecorder : ILogHandler {
    std::vector<std::wstring> records;
    CRITICAL_SECTION lock;
    CancelRecorder() {
        InitializeCriticalSection(&lock);
        LogManager::instance().addHandler(this);
    }
    ~CancelRecorder() override {
        LogManager::instance().removeHandler(this);
        DeleteCriticalSection(&lock);
    }
    void handleMessage(LogLevel level, const std::wstring& text) override {
        EnterCriticalSection(&lock);
        records.push_back(std::wstring(logLevelName(level)) + L": " + text);
        LeaveCriticalSection(&lock);
    }
};

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
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, &Victim::main, this, 0, &id_);
        EXPECT_EQ(WaitForSingleObject(ready_, 10000), WAIT_OBJECT_0);
    }
    ~Victim() {
        CloseHandle(thread_);
        CloseHandle(ready_);
    }
    CancelationPoint& point() { return *point_; }
    bool running() const { return WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT; }
    DWORD id() const { return id_; }
    // The thread's exit code, or STILL_ACTIVE when it did not end in time.
    DWORD join() {
        if (WaitForSingleObject(thread_, 10000) != WAIT_OBJECT_0) return STILL_ACTIVE;
        DWORD code = STILL_ACTIVE;
        GetExitCodeThread(thread_, &code);
        return code;
    }

    std::atomic<int> destroyed{0};
    std::atomic<bool> bodyReturned{false};

private:
    static DWORD WINAPI main(void* self) {
        static_cast<Victim*>(self)->run();
        return 7;
    }
    void run() {
        static constexpr GuardedOperation kOuter{"Tests::outer", L"outer()", 1, 2};
        static constexpr GuardedOperation kMiddle{"Tests::middle", L"middle()", 3, 4};
        static constexpr GuardedOperation kInner{"Tests::inner", L"inner()", 5, 6};
        Counted thread{destroyed};
        CancelationPoint point(ThreadCancelation::Asynchronous);
        point_ = &point;
        SetEvent(ready_);
        guarded(kOuter, [&] {
            Counted outer{destroyed};
            guarded(kMiddle, [&] {
                Counted middle{destroyed};
                guarded(kInner, [&] {
                    Counted inner{destroyed};
                    body_();
                    bodyReturned = true;
                });
            });
        });
    }

    std::function<void()> body_;
    HANDLE ready_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD id_ = 0;
    CancelationPoint* point_ = nullptr;
};

std::wstring cancelLine(DWORD thread) {
    return L"Info: Thread #" + std::to_wstring(thread) + L" is going to be canceled!";
}

HANDLE neverSignalled() {
    static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

}  // namespace

TEST(Cancelation, AnApcEndsAThreadBlockedInEveryWaitWithAllDestructorsRun) {
    VMutex held(true, nullptr);  // owned by this thread, so the victim blocks
    const std::vector<std::pair<const char*, std::function<void()>>> waits = {
        {"single", [] { VSyncObject::waitForSingleObject(neverSignalled(), INFINITE); }},
        {"multiple",
         [] {
             const HANDLE handles[] = {neverSignalled(), neverSignalled()};
             VSyncObject::waitForMultipleObjects(2, handles, false, INFINITE);
         }},
        {"lock", [&] { held.lock(INFINITE); }},
        {"sleep", [] { cancellableSleep(600000); }},
    };
    for (const auto& [name, wait] : waits) {
        SCOPED_TRACE(name);
        CancelRecorder recorder;
        Victim victim(wait);
        victim.point().cancel();
        victim.point().cancel();  // a second request changes nothing
        EXPECT_EQ(victim.join(), 0u);
        EXPECT_EQ(victim.destroyed, 4);
        EXPECT_FALSE(victim.bodyReturned);
        EXPECT_EQ(recorder.records, std::vector<std::wstring>{cancelLine(victim.id())});
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
    EXPECT_EQ(victim.destroyed, 4);
}

TEST(Cancelation, ASynchronousPointHoldsTheRequestUntilItCloses) {
    const HANDLE published = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<CancelationPoint*> point{nullptr};
    std::atomic<bool> waited{false};
    std::atomic<bool> afterClose{false};
    Victim victim([&] {
        {
            CancelationPoint synchronous(ThreadCancelation::Synchronous);
            point = &synchronous;
            SetEvent(published);
            WaitForSingleObjectEx(go, INFINITE, TRUE);  // alertable, yet no APC comes
            waited = true;
        }
        afterClose = true;
    });
    ASSERT_EQ(WaitForSingleObject(published, 10000), WAIT_OBJECT_0);
    point.load()->cancel();
    EXPECT_TRUE(victim.running());
    SetEvent(go);
    EXPECT_EQ(victim.join(), 0u);
    EXPECT_TRUE(waited);
    EXPECT_FALSE(afterClose);
    EXPECT_EQ(victim.destroyed, 4);
    CloseHandle(go);
    CloseHandle(published);
}

TEST(Cancelation, PointsChainAndUnchainInOrder) {
    EXPECT_EQ(ThreadCancelation::innermost(), nullptr);
    {
        CancelationPoint outer(ThreadCancelation::Synchronous);
        EXPECT_EQ(ThreadCancelation::innermost(), &outer);
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
    const HANDLE thread = OpenThread(THREAD_SET_CONTEXT, FALSE, victim.id());
    for (int i = 0; i < 5; ++i)
        QueueUserAPC([](ULONG_PTR count) { ++*reinterpret_cast<std::atomic<int>*>(count); }, thread,
                     reinterpret_cast<ULONG_PTR>(&apcs));
    CloseHandle(thread);
    EXPECT_EQ(victim.join(), 7u);
    EXPECT_EQ(result, WAIT_TIMEOUT);
    EXPECT_EQ(apcs, 5);
    EXPECT_GE(elapsed, 390u);
    EXPECT_EQ(VSyncObject::waitForSingleObject(neverSignalled(), 0), WAIT_TIMEOUT);
}
