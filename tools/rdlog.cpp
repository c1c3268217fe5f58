// rdlog [console] [mutex PREFIX] [module] [threads N] LEVEL TEXT [LEVEL TEXT ...]: logs one record per pair through the
// log manager, for the tests that watch where records of each level go; with "threads N", N threads released together
// each log them all ("module": every second one through rdmodule.dll). The console shows nothing unless asked; "mutex"
// gives the log file's mutex a prefix.
#include <windows.h>

#include <cwchar>
#include <thread>
#include <vector>

#include "log/logfile.h"
#include "log/logmanager.h"

int wmain(int argc, wchar_t** argv) {
    LogManager& log = LogManager::instance();
    bool console = false;
    int threads = 1, first = 1;
    void (*moduleLog)(int, const wchar_t*) = nullptr;
    for (;; ++first) {
        const auto option = [&](const wchar_t* name) { return first + 1 < argc && std::wcscmp(argv[first], name) == 0; };
        if (first < argc && std::wcscmp(argv[first], L"console") == 0) console = true;
        else if (option(L"mutex")) setLogFileMutexPrefix(argv[++first]);
        else if (option(L"threads")) threads = int(std::wcstol(argv[++first], nullptr, 10));
        else if (option(L"module"))
            moduleLog = reinterpret_cast<void (*)(int, const wchar_t*)>(
                GetProcAddress(LoadLibraryW(L"rdmodule.dll"), "rdmoduleLog"));
        else break;
    }
    log.setConsoleOutput(console);
    const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&, t] {
            WaitForSingleObject(go, INFINITE);
            for (int i = first; i + 1 < argc; i += 2) {
                const int level = int(std::wcstol(argv[i], nullptr, 10));
                if (moduleLog && t % 2) moduleLog(level, argv[i + 1]);
                else log.log(static_cast<LogLevel>(level), L"%s", argv[i + 1]);
            }
        });
    SetEvent(go);
    for (std::thread& thread : running) thread.join();
    return 0;
}
