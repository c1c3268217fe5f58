// Mutexes and exclusive tasks across processes.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <string>

#include "errors/vexception.h"
#include "runtime/datetime.h"
#include "runtime/security.h"
#include "tests/support/process_runner.h"
#include "threads/sync.h"

namespace {

// rdchild taking the named mutex and keeping it until it ends.
class Holder {
public:
    explicit Holder(const std::wstring& mutex) {
        const std::wstring event = L"rdtest-ready-" + RunTime::uniqueName(true);
        ready_.reset(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
        const std::wstring child = test_process::siblingPath(L"rdchild.exe");
        const std::wstring line = test_process::commandLine(child, {L"hold", mutex, event, L"sleep", L"60000"});
        STARTUPINFOW startup{sizeof startup};
        PROCESS_INFORMATION info{};
        std::wstring mutableLine;
        if (!createProcessRetried([&] {
                mutableLine = line;
                return CreateProcessW(child.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                      nullptr, nullptr, &startup, &info);
            }))
            throw test_process::osFailure("CreateProcessW");
        process_.reset(info.hProcess);
        CloseHandle(info.hThread);
        const HANDLE both[] = {ready_.get(), process_.get()};
        if (WaitForMultipleObjects(2, both, FALSE, 30000) != WAIT_OBJECT_0)
            throw std::runtime_error("the holder did not take the mutex");
    }
    ~Holder() { end(); }
    // Ends the holder without releasing: the mutex is abandoned.
    void end() {
        if (!process_.valid()) return;
        TerminateProcess(process_.get(), 0);
        WaitForSingleObject(process_.get(), 30000);
        process_.close();
    }

private:
    RunTime::AutoHandle ready_;
    RunTime::AutoHandle process_;
};

}  // namespace

TEST(Mutexes, ANamedMutexHeldElsewhereTimesOutThenCountsAsAcquiredWhenAbandoned) {
    const std::wstring name = L"rdtest-mutex-" + RunTime::uniqueName(true);
    Holder holder(name);
    ExclusiveTask task;
    EXPECT_EQ(task.Initialize(name, 100), static_cast<std::uint32_t>(WAIT_TIMEOUT));
    VMutex mutex(false, name.c_str());
    EXPECT_FALSE(mutex.lock(0));

    holder.end();
    EXPECT_TRUE(mutex.lock(INFINITE));  // abandoned
    mutex.unlock();
    EXPECT_EQ(task.Initialize(name, 0), static_cast<std::uint32_t>(WAIT_OBJECT_0));
}

TEST(Mutexes, AVMutexGrantsEveryoneFullAccess) {
    VMutex mutex(false, (L"rdtest-dacl-" + RunTime::uniqueName(true)).c_str());
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(mutex.handle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    const RunTime::LocalMemory<void> owner(descriptor);
    ASSERT_NE(dacl, nullptr);
    ASSERT_EQ(dacl->AceCount, 1);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_TRUE(ace->Mask == GENERIC_ALL || ace->Mask == MUTEX_ALL_ACCESS) << std::hex << ace->Mask;
    EXPECT_TRUE(EqualSid(&ace->SidStart, VSID::everyone().get()));
}

TEST(Mutexes, CreationFailuresNameTheMutex) {
    // A name with a backslash outside a namespace prefix is invalid.
    try {
        VMutex mutex(false, L"no\\such\\namespace");
        FAIL() << "created";
    } catch (const vexception& e) {
        EXPECT_NE(e.message().find(L"Create mutex with name 'no\\such\\namespace'"), std::wstring::npos);
    }
}
