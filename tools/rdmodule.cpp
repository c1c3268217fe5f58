// rdmodule: a DLL built on the runtime, for the tests of what modules of one process share. It logs through its own log
// manager and reports the execute context it found.
#include <windows.h>

#include "log/logmanager.h"
#include "runtime/execute_context.h"

extern "C" __declspec(dllexport) ExecuteContext* rdmoduleContext() { return &executeContext(); }

extern "C" __declspec(dllexport) void rdmoduleLog(int level, const wchar_t* text) {
    LogManager::instance().log(static_cast<LogLevel>(level), L"%s", text);
}
