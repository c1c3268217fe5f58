// rundock-check: whether rundock can do its work on this machine, and for
// each problem what to do. It reads what the agent reads, through the same
// code, and changes nothing.
#include <windows.h>

#include <cstdio>
#include <string>

#include "check/checks.h"
#include "errors/vexception.h"
#include "runtime/text.h"

namespace {

constexpr char kUsage[] =
    "Usage: rundock-check [--json | --help]\n"
    "\n"
    "Checks whether rundock can run tasks here and keep its records, one line a check\n"
    "(ok, info, warning or problem); each warning and problem says what to do.\n"
    "  configuration  the key HKLM\\SOFTWARE\\Korvo\\QRT Config\\Config in the 32-bit view\n"
    "  root           PRODUCT_ROOT_D names a folder (and whether it is only in the 64-bit view)\n"
    "  64-bit view    values of the agent found only in the 64-bit view\n"
    "  debug          what the Debug switch lets through\n"
    "  log file       log_debug_enabled\n"
    "  log folder     admin\\logs exists and this account can create a file in it\n"
    "  event source   the event source's registration and EventMessageFile\n"
    "  message file   admin\\bin64\\eventmsg.dll renders event 1\n"
    "  crash dumps    CrashDumpsEnabled, CrashDumpsLocation, CrashDumpsMaxCount\n"
    "  dump folder    the folder exists (or can be made) and this account can write there\n"
    "  dump space     free space for CrashDumpsMaxCount dumps of about 100 MB\n"
    "  dump readers   whether every local user may read the dumps\n"
    "  reports        with SendFeedback on, admin\\bin\\send-error-report.exe exists\n"
    "  tracing        with opentracing_enabled on, the provider beside this program exports\n"
    "                 the three entry points (read from the file, never loaded)\n"
    "  windows, long paths, account   for information\n"
    "\n"
    "--json prints the same results as one JSON object. Exit code 1 when something\n"
    "would stop the agent or lose its records (a problem), else 0. Nothing is written:\n"
    "a folder's write test makes one file and removes it at once.\n";

void print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring option = argc > 1 ? argv[1] : L"";
    if (argc > 2 || (!option.empty() && option != L"--json")) {
        print(kUsage);
        return option == L"--help" && argc == 2 ? 0 : 1;
    }
    Check::Findings findings;
    const Check::Installation installation = Check::checkConfiguration(findings);
    // A check that fails on its own says so, and the others still run.
    const auto run = [&](const wchar_t* name, auto check) {
        try {
            check(installation, findings);
        } catch (const vexception& e) {
            findings.push_back({name, Check::Verdict::Problem, L"could not be checked: " + e.message()});
        }
    };
    run(L"log file", Check::checkLogFile);
    run(L"event source", Check::checkEventLog);
    run(L"crash dumps", Check::checkCrashDumps);
    run(L"reports", Check::checkReports);
    run(L"tracing", Check::checkTracing);
    run(L"system", [](const Check::Installation&, Check::Findings& out) { Check::checkSystem(out); });
    print(option == L"--json" ? Check::jsonReport(findings) : Check::textReport(findings));
    return Check::exitCode(findings);
}
