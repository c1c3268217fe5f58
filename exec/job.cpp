#include "exec/job.h"

#include "errors/vexception.h"

VJob VJob::contain(HANDLE process) {
    VJob job;
    job.handle_.reset(CreateJobObjectW(nullptr, nullptr));
    if (!job.handle_.valid()) throwLastOsError(L"CreateJobObject", "VJob::contain", __LINE__);
    if (!AssignProcessToJobObject(job.handle_.get(), process))
        throwLastOsError(L"AssignProcessToJobObject", "VJob::contain", __LINE__);
    return job;
}

void VJob::terminate(std::uint32_t exitCode) {
    if (!TerminateJobObject(handle_.get(), exitCode))
        throwLastOsError(L"TerminateJobObject", "VJob::terminate", __LINE__);
}
