// rdlog [threads N] LEVEL TEXT [LEVEL TEXT ...]: logs one record per pair through the log manager, for the tests that
// watch where records of each level go; with "threads N", N threads released together each log them all.
#include <cwchar>
#include <thread>
#include <vector>

#include "log/logmanager.h"

int wmain(int argc, wchar_t** argv) {
    LogManager& log = LogManager::instance();
    log.setConsoleOutput(false);
    const bool threaded = argc > 2 && std::wcscmp(argv[1], L"threads") == 0;
    const int threads = threaded ? int(std::wcstol(argv[2], nullptr, 10)) : 1, first = threaded ? 3 : 1;
    const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&] {
            WaitForSingleObject(go, INFINITE);
            for (int i = first; i + 1 < argc; i += 2)
                log.log(static_cast<LogLevel>(std::wcstol(argv[i], nullptr, 10)), L"%s", argv[i + 1]);
        });
    SetEvent(go);
    for (std::thread& thread : running) thread.join();
    return 0;
}
