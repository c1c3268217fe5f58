#include "threads/handle.h"

#include "errors/vexception.h"

namespace RunTime {

void AutoHandle::duplicateHandle(HANDLE source, bool inheritable) {
    close();
    const HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, source, process, &handle_, 0, inheritable, DUPLICATE_SAME_ACCESS)) {
        handle_ = nullptr;
        throwOsError(L"Unable to duplicate handle", GetLastError(),
                     raiseSite("RunTime::AutoHandle::duplicateHandle", 829));
    }
}

}  // namespace RunTime
