// rdlogwriter: writes COUNT Info records through the log manager as fast as
// it can and prints the elapsed milliseconds. The file receives them only
// with "Debug" on and PRODUCT_ROOT_D set, which the calling script arranges.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "log/logmanager.h"

int wmain(int argc, wchar_t** argv) {
    const unsigned long count = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 1000;
    LogManager& log = LogManager::instance();
    log.setConsoleOutput(false);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (unsigned long i = 0; i < count; ++i) log.log(Info, L"benchmark record %lu of %lu", i, count);
    QueryPerformanceCounter(&end);
    std::printf("%lld\n", (end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart);
    return 0;
}
