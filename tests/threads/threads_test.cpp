// Thread cancellation through the waits, against real threads and APCs; mutexes and exclusive tasks across processes.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "errors/vexception.h"
#include "runtime/datetime.h"
#include "runtime/local_memory.h"
#include "runtime/sid.h"
#include "tests/support/log_records.h"
#include "tests/support/platform.h"
#include "tests/support/process_runner.h"
#include "tests/support/raised.h"
#include "threads/cancelation.h"
#include "threads/guard.h"
#include "threads/sync.h"

namespace {

using ThreadCancelation::CancelationPoint;

const HANDLE kNeverSignalled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
constexpr GuardedOperation kOperation{"Tests::operation", L"operation()", 1, 2};

// A thread that opens an asynchronous point of its own and runs body two guarded operations deep, counting the objects
// each level destroys. It ends with 7 when body returns, with 0 when cancelled.
class Victim {
public:
    explicit Victim(std::function<void()> body) : body_(std::move(body)) {
        thread_.reset(CreateThread(nullptr, 0, &Victim::main, this, 0, &id));
        while (!point_) Sleep(1);
    }
    // The exit code, or STILL_ACTIVE when the thread did not end in time.
    DWORD join(DWORD ms = 10000) {
        DWORD code = 0;
        WaitForSingleObject(thread_.get(), ms);
        return GetExitCodeThread(thread_.get(), &code) ? code : 0xFFFFFFFFu;
    }

    RunTime::AutoHandle thread_;
    DWORD id = 0;
    std::atomic<int> destroyed{0};
    std::atomic<CancelationPoint*> point_{nullptr};

private:
    struct Counted {
        std::atomic<int>& count;
        ~Counted() { ++count; }
    };
    static DWORD WINAPI main(void* self) { return static_cast<Victim*>(self)->run(); }
    DWORD run() {
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
        return 7;
    }

    std::function<void()> body_;
};

}  // namespace

TEST(Cancelation, AnApcEndsAThreadInEveryWaitPastCatchAllBlocksButASynchronousPointHoldsItUntilItCloses) {
    VMutex held(true, nullptr);  // owned by this thread, so the victim blocks
    const HANDLE two[] = {kNeverSignalled, kNeverSignalled};
    int caught = 0;
    const std::pair<const char*, std::function<void()>> waits[] = {
        {"single", [] { VSyncObject::waitForSingleObject(kNeverSignalled, INFINITE); }},
        {"multiple", [&] { VSyncObject::waitForMultipleObjects(2, two, false, INFINITE); }},
        {"lock", [&] { held.lock(INFINITE); }},
        {"sleep in handlers", [&] {
             try {  // a typed handler never sees it; one that rethrows does not stop it
                 try { cancellableSleep(600000); } catch (const std::exception&) { caught += 100; }
             } catch (...) {
                 ++caught;
                 throw;
             }
         }},
        {"failing clean-up", [] {
             struct CleanUp {  // as a log handler that fails in a destructor: its error must stay inside
                 ~CleanUp() { try { throw 1; } catch (...) { if (ThreadCancelation::isCanceling()) throw; } }
             } cleanUp;
             cancellableSleep(600000);
         }},
        // Closed while the thread unwinds its cancellation: the point's own request starts no second one.
        {"requested point closing on the way", [] {
             ThreadCancelation::innermost()->cancel();
             cancellableSleep(600000);
         }},
    };
    for (const auto& [name, wait] : waits) {
        SCOPED_TRACE(name);
        test_log::Recorder recorder;
        Victim victim(wait);
        // Both requests queue behind an APC that holds the victim, so the second finds its point open.
        const RunTime::AutoHandle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const auto hold = [](ULONG_PTR event) { WaitForSingleObject(reinterpret_cast<HANDLE>(event), INFINITE); };
        ASSERT_TRUE(QueueUserAPC(hold, victim.thread_.get(), reinterpret_cast<ULONG_PTR>(gate.get())));
        victim.point_.load()->cancel();
        victim.point_.load()->cancel();  // a second request changes nothing
        SetEvent(gate.get());
        EXPECT_EQ(victim.join(), 0u);
        EXPECT_EQ(victim.destroyed, 3);
        EXPECT_EQ(recorder.records,
                  std::vector<std::wstring>{L"Info: Thread #" + std::to_wstring(victim.id) + L" is going to be canceled!"});
    }
    EXPECT_EQ(caught, 1);
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

TEST(Waits, ApcsThatDoNotCancelAreAbsorbedAndTheDeadlineHolds) {
    int apcs = 0;
    for (int i = 0; i < 5; ++i)  // pending when the wait begins
        QueueUserAPC([](ULONG_PTR n) { ++*reinterpret_cast<int*>(n); }, GetCurrentThread(), ULONG_PTR(&apcs));
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(VSyncObject::waitForSingleObject(kNeverSignalled, 400), WAIT_TIMEOUT);
    EXPECT_GE(GetTickCount64() - start, 390u);
    EXPECT_EQ(apcs, 5);
}

TEST(Mutexes, HeldElsewhereTimesOutAndSpendsTheBudgetAbandonedCountsAsAcquiredEveryoneMayOnlyUseThemAndFailuresNameIt) {
    const std::wstring name = L"rdtest-mutex-" + RunTime::uniqueName(true);
    test_process::MutexHolder holder(name);

    ExclusiveTask task;
    EXPECT_EQ(task.Initialize(name, 100), static_cast<std::uint32_t>(WAIT_TIMEOUT));
    // A wait that ran out leaves no time to wait for later ones.
    LockBudget budget(100);
    for (const auto& [setting, bound] : {std::pair(L"50", 50u), {L"5000", 100u}, {L"", 100u}, {L"5s", 100u}})
        EXPECT_EQ(shortenedBound(100, setting), bound) << setting;  // the test setting only shortens it
    EXPECT_FALSE(task.hold(name, budget));
    EXPECT_EQ(budget.left(), 0u);
    VMutex mutex(false, name.c_str());
    EXPECT_FALSE(mutex.lock(0));
    holder.end();  // without releasing: the mutex is abandoned
    EXPECT_TRUE(mutex.lock(INFINITE));
    mutex.unlock();
    EXPECT_TRUE(task.hold(name, budget));  // it still takes a free one
    task.release();
    // Agents of other users share them: they wait and release, nothing more, and an entry for OWNER RIGHTS takes from
    // the creator, as owner, its implicit rights to read and re-list them ("Well-known SIDs"). Wine gives an owner every
    // right whatever the list, so there the list is read back; on Windows the owner is refused.
    using Entry = std::tuple<BYTE, ACCESS_MASK, std::wstring>;  // type, rights, SID
    const auto listOf = [](const std::wstring& name) {
        const RunTime::AutoHandle readable(OpenMutexW(READ_CONTROL, FALSE, name.c_str()));
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        std::vector<Entry> entries;
        if (GetSecurityInfo(readable.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &descriptor) != ERROR_SUCCESS)
            return entries;
        const RunTime::LocalMemory<void> owner(descriptor);
        ACCESS_ALLOWED_ACE* ace = nullptr;
        for (DWORD i = 0; dacl && i < dacl->AceCount && GetAce(dacl, i, reinterpret_cast<void**>(&ace)); ++i)
            entries.emplace_back(ace->Header.AceType, ace->Mask, RunTime::Sid(&ace->SidStart).toSidString());
        return entries;
    };
    const std::vector<Entry> narrow{{ACCESS_ALLOWED_ACE_TYPE, SYNCHRONIZE | MUTEX_MODIFY_STATE, L"S-1-1-0"},
                                    {ACCESS_ALLOWED_ACE_TYPE, SYNCHRONIZE | MUTEX_MODIFY_STATE, L"S-1-3-4"}};
    const std::wstring shared = L"rdtest-dacl-" + RunTime::uniqueName(true);
    const VMutex created(false, shared.c_str()), opened(false, shared.c_str());
    ASSERT_EQ(task.Initialize(name + L"-new", 0), static_cast<std::uint32_t>(WAIT_OBJECT_0));
    for (const std::wstring& made : {shared, name + L"-new"}) {
        if (test_support::runningUnderWine()) {
            EXPECT_EQ(listOf(made), narrow);
        } else {
            const RunTime::AutoHandle relisting(OpenMutexW(WRITE_DAC, FALSE, made.c_str()));
            EXPECT_EQ(relisting.valid() ? 0 : GetLastError(), DWORD{ERROR_ACCESS_DENIED});
        }
    }
    task.release();
    EXPECT_EQ(SetSecurityInfo(opened.handle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // A name with a backslash outside a namespace prefix is invalid.
    EXPECT_NE(test_support::messageOf<vexception>([] { VMutex(false, L"no\\such\\namespace"); })
                  .find(L"Create mutex with name 'no\\such\\namespace'"), std::wstring::npos);
}
