#include "app/manager.h"

#include <cstdio>

#include "errors/vexception.h"
#include "log/logmanager.h"

namespace Rundock {

Manager::Manager() { command = L"--run-task"; }

int Manager::go(int count, wchar_t** parameters) {
    const Params params(count, parameters);
    std::wstring commands = L"   --help";
    if (command == L"--help") {
        usage();
        return 0;
    }
    commands += L"\n   --run-task";
    if (command == L"--run-task") {
        params.check(nullptr, nullptr);
        // Refuse rather than pretend: the task run itself is not built yet.
        throw vexception(L"The task run is not available in this build of rundock",
                         raiseSite("Rundock::Manager::go", 30));
    }
    cmdNotSupported(commands);
}

int Manager::usage() {
    const int printed = std::wprintf(L"\nusage: rundock [options] ...\n\n\n--help\n\n--run-task\n");
    std::fflush(stdout);
    return printed;
}

}  // namespace Rundock
