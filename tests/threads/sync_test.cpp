// Mutexes and exclusive tasks across processes.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <string>

#include "errors/vexception.h"
#include "runtime/datetime.h"
#include "runtime/security.h"
#include "tests/support/process_runner.h"
#include "tests/support/raised.h"
#include "threads/sync.h"

TEST(Mutexes, ANamedMutexHeldElsewhereTimesOutThenCountsAsAcquiredWhenAbandoned) {
    const std::wstring name = L"rdtest-mutex-" + RunTime::uniqueName(true);
    const std::wstring event = L"rdtest-ready-" + RunTime::uniqueName(true);
    const RunTime::AutoHandle ready(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    // rdchild takes the mutex and keeps it until it ends.
    const std::wstring child = test_process::siblingPath(L"rdchild.exe");
    std::wstring line;
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(createProcessRetried([&] {
        line = test_process::commandLine(child, {L"hold", name, event, L"sleep", L"60000"});
        return CreateProcessW(child.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                              &startup, &info);
    }));
    const RunTime::AutoHandle process(info.hProcess), thread(info.hThread);
    const HANDLE both[] = {ready.get(), process.get()};
    ASSERT_EQ(WaitForMultipleObjects(2, both, FALSE, 30000), WAIT_OBJECT_0) << "the holder did not take the mutex";

    ExclusiveTask task;
    EXPECT_EQ(task.Initialize(name, 100), static_cast<std::uint32_t>(WAIT_TIMEOUT));
    VMutex mutex(false, name.c_str());
    EXPECT_FALSE(mutex.lock(0));
    TerminateProcess(process.get(), 0);  // without releasing: the mutex is abandoned
    WaitForSingleObject(process.get(), 30000);
    EXPECT_TRUE(mutex.lock(INFINITE));
    mutex.unlock();
    EXPECT_EQ(task.Initialize(name, 0), static_cast<std::uint32_t>(WAIT_OBJECT_0));
}

// Agents of other users share the log file's mutex.
TEST(Mutexes, AVMutexGrantsEveryoneFullAccessAndFailuresNameIt) {
    VMutex mutex(false, (L"rdtest-dacl-" + RunTime::uniqueName(true)).c_str());
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(mutex.handle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor), 0u);
    const RunTime::LocalMemory<void> owner(descriptor);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(dacl && dacl->AceCount == 1 && GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_TRUE(ace->Mask == GENERIC_ALL || ace->Mask == MUTEX_ALL_ACCESS) << std::hex << ace->Mask;
    EXPECT_TRUE(EqualSid(&ace->SidStart, VSID::everyone().get()));

    // A name with a backslash outside a namespace prefix is invalid.
    EXPECT_NE(test_support::messageOf<vexception>([] { VMutex(false, L"no\\such\\namespace"); })
                  .find(L"Create mutex with name 'no\\such\\namespace'"), std::wstring::npos);
}
