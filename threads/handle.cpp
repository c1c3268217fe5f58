#include "threads/handle.h"

#include "errors/vexception.h"

namespace RunTime {

void AutoHandle::duplicateHandle(HANDLE source, bool inheritable) {
    close();
    const HANDLE process = GetCurrentProcess();
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(process, source, process, &duplicate, 0, inheritable, DUPLICATE_SAME_ACCESS))
        throwLastOsError(L"Unable to duplicate handle", "RunTime::AutoHandle::duplicateHandle", 829);
    reset(duplicate);
}

}  // namespace RunTime
