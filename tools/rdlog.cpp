// rdlog LEVEL TEXT [LEVEL TEXT ...]: logs one record per pair through the log
// manager, for the tests that watch where records of each level go.
#include <cwchar>

#include "log/logmanager.h"

int wmain(int argc, wchar_t** argv) {
    LogManager& log = LogManager::instance();
    log.setConsoleOutput(false);
    for (int i = 1; i + 1 < argc; i += 2)
        log.log(static_cast<LogLevel>(std::wcstol(argv[i], nullptr, 10)), L"%s", argv[i + 1]);
    return 0;
}
