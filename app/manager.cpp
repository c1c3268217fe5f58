#include "app/manager.h"

#include <cstdio>

#include "errors/vexception.h"
#include "log/logmanager.h"
#include "task/adapter.h"
#include "task/system_helper.h"

namespace Rundock {

Manager::Manager() { command = L"--run-task"; }

int Manager::go(int count, wchar_t** parameters) {
    const Params params(count, parameters);
    const auto systemHelper = std::make_shared<DefaultSystemHelper>();
    Adapter adapter(systemHelper);
    std::wstring commands = L"   --help";
    if (command == L"--help") {
        usage();
        return 0;
    }
    commands += L"\n   --run-task";
    if (command == L"--run-task") {
        params.check(nullptr, nullptr);
        // A task run writes nothing to the console; the child's result is
        // reported only through the exit-code file.
        LogManager::instance().setConsoleOutput(false);
        adapter.runTask();
        return 0;
    }
    cmdNotSupported(commands);
}

int Manager::usage() {
    const int printed = std::wprintf(L"\nusage: rundock [options] ...\n\n\n--help\n\n--run-task\n");
    std::fflush(stdout);
    return printed;
}

}  // namespace Rundock
