#include "exec/job.h"

#include "errors/vexception.h"

namespace {

// Kill-on-close is an extended limit: only the extended structure sets it.
void setKillOnClose(HANDLE job, bool kill) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = kill ? JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE : 0;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        throwLastOsError(L"SetInformationJobObject", "VJob::setKillOnClose", __LINE__);
}

}  // namespace

VJob VJob::contain(HANDLE process) {
    VJob job;
    job.handle_.reset(CreateJobObjectW(nullptr, nullptr));
    if (!job.handle_.valid()) throwLastOsError(L"CreateJobObject", "VJob::contain", __LINE__);
    // Before the process is in it: a job that cannot take the limit holds nothing.
    setKillOnClose(job.handle_.get(), true);
    if (!AssignProcessToJobObject(job.handle_.get(), process))
        throwLastOsError(L"AssignProcessToJobObject", "VJob::contain", __LINE__);
    return job;
}

void VJob::terminate(std::uint32_t exitCode) {
    if (!TerminateJobObject(handle_.get(), exitCode))
        throwLastOsError(L"TerminateJobObject", "VJob::terminate", __LINE__);
}

void VJob::keepProcessesOnClose() { setKillOnClose(handle_.get(), false); }

bool VJob::childMustBreakAway() {
    BOOL inJob = FALSE;
    if (!IsProcessInJob(GetCurrentProcess(), nullptr, &inJob) || !inJob) return false;
    // A null job is the immediate job of this process; a failed query adds nothing.
    JOBOBJECT_BASIC_UI_RESTRICTIONS ui{};
    // Breakaway is an extended limit: only the extended query reports it.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    return QueryInformationJobObject(nullptr, JobObjectBasicUIRestrictions, &ui, sizeof ui, nullptr) &&
           ui.UIRestrictionsClass != 0 &&
           QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits, nullptr) &&
           (limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_BREAKAWAY_OK);
}
