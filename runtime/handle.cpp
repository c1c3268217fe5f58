#include "runtime/handle.h"

#include "errors/vexception.h"

namespace RunTime {

AutoHandle duplicateHandle(HANDLE source, bool inheritable, const char* function, std::int32_t line) {
    const HANDLE process = GetCurrentProcess();
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(process, source, process, &duplicate, 0, inheritable, DUPLICATE_SAME_ACCESS))
        throwLastOsError(L"Unable to duplicate handle", function, line);
    return AutoHandle(duplicate);
}

void AutoHandle::duplicateHandle(HANDLE source, bool inheritable) {
    close();
    *this = RunTime::duplicateHandle(source, inheritable, "RunTime::AutoHandle::duplicateHandle", 829);
}

}  // namespace RunTime
