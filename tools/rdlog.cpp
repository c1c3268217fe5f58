// rdlog [console] [mutex PREFIX] [threads N] LEVEL TEXT [LEVEL TEXT ...]: logs one record per pair through the log
// manager, for the tests that watch where records of each level go; with "threads N", N threads released together
// each log them all. The console shows nothing unless asked; "mutex" gives the log file's mutex a prefix.
#include <cwchar>
#include <thread>
#include <vector>

#include "log/logfile.h"
#include "log/logmanager.h"

int wmain(int argc, wchar_t** argv) {
    LogManager& log = LogManager::instance();
    bool console = false;
    int threads = 1, first = 1;
    for (;; ++first) {
        const auto option = [&](const wchar_t* name) { return first + 1 < argc && std::wcscmp(argv[first], name) == 0; };
        if (first < argc && std::wcscmp(argv[first], L"console") == 0) console = true;
        else if (option(L"mutex")) setLogFileMutexPrefix(argv[++first]);
        else if (option(L"threads")) threads = int(std::wcstol(argv[++first], nullptr, 10));
        else break;
    }
    log.setConsoleOutput(console);
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
