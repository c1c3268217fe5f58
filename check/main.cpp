// rundock-check: whether rundock can do its work on this machine, and for
// each problem what to do. It reads what the agent reads, through the same
// code, and changes nothing.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "check/checks.h"
#include "check/folder.h"
#include "errors/vexception.h"
#include "runtime/paths.h"
#include "runtime/text.h"

namespace {

constexpr char kUsage[] =
    "Usage: rundock-check [--json | --version | --help]\n"
    "\n"
    "Checks whether rundock can run tasks here and keep its records, one line a check\n"
    "(ok, info, warning or problem); each warning and problem says what to do.\n"
    "  configuration  the key HKLM\\SOFTWARE\\Korvo\\QRT Config\\Config in the 32-bit view\n"
    "  root           PRODUCT_ROOT_D names a folder (and whether it is only in the 64-bit view)\n"
    "  64-bit view    values of the agent found only in the 64-bit view\n"
    "  debug          what the Debug switch lets through\n"
    "  value types    PRODUCT_DATA_D and PipeConnectTryCount have the type the agent reads\n"
    "  unknown values values of the key the agent does not read (a misspelt name)\n"
    "  log file       log_debug_enabled\n"
    "  log folder     admin\\logs exists and this account can create a file in it\n"
    "  event source   the event source's registration and EventMessageFile\n"
    "  message file   the registered message file (and admin\\bin64\\eventmsg.dll) renders event 1\n"
    "  crash dumps    CrashDumpsEnabled, CrashDumpsLocation, CrashDumpsMaxCount\n"
    "  dump folder    the folder exists (or can be made) and this account can write there\n"
    "  dump space     free space for CrashDumpsMaxCount dumps of about 100 MB\n"
    "  dump readers   whether every local user may read a new dump\n"
    "  reports        with SendFeedback on, admin\\bin\\send-error-report.exe exists\n"
    "  tracing        with opentracing_enabled on, the provider beside this program exports\n"
    "                 the three entry points (read from the file, never loaded)\n"
    "  windows, long paths, account   for information\n"
    "\n"
    "--json prints the same results as one JSON object; --version the versions of this\n"
    "program and of the rundock.exe beside it. Exit code 0 when nothing would stop the\n"
    "agent or lose its records (warnings allowed), 1 when something would (a problem),\n"
    "2 for a wrong command line. Nothing is written: a folder's write test makes one\n"
    "file and removes it at once.\n";

void print(FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// Why a check could not finish, in the operator's words: the system's text for its errors.
std::wstring failure() {
    try {
        throw;
    } catch (const vosexception& e) {
        return Check::errorText(e.code());
    } catch (const vexception& e) {
        return e.message();
    } catch (const std::bad_alloc&) {
        return L"not enough memory";
    } catch (const std::exception& e) {
        return wstr(e.what(), CP_ACP);
    } catch (...) {
        return L"an unexpected error";
    }
}

// "name version path", with what stands in for a version the file lacks.
std::wstring versionLine(const std::wstring& name, const std::wstring& path) {
    const std::wstring version = Check::fileVersion(path);
    return name + L" " +
           (!version.empty() ? version
            : Check::folderState(path) == Check::FolderState::File ? L"(no version resource)"
                                                                    : L"(missing)") +
           L" " + path + L"\n";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring option = argc > 1 ? argv[1] : L"";
    if (argc > 2 || (!option.empty() && option != L"--json" && option != L"--help" && option != L"--version")) {
        print(stderr, kUsage);
        return 2;
    }
    if (option == L"--help") {
        print(stdout, kUsage);
        return 0;
    }
    const std::wstring self = RunTime::executablePath();
    const std::wstring agent = Check::parentOf(self) + L"\\" + Check::kAgentFile;
    if (option == L"--version") {
        print(stdout, cstr(versionLine(L"rundock-check", self) + versionLine(Check::kAgentFile, agent), CP_UTF8));
        return 0;
    }
    Check::Findings findings;
    Check::Installation installation;
    // A check that fails says what could not be checked and why, in its own line, and the others still run.
    const auto run = [&](const wchar_t* name, auto check) {
        const std::size_t start = findings.size();
        try {
            check(installation, findings);
        } catch (...) {
            const Check::Finding failed{name, Check::Verdict::Problem, L"could not be checked: " + failure()};
            const auto same = std::find_if(findings.begin() + start, findings.end(),
                                           [&](const Check::Finding& finding) { return finding.check == name; });
            same != findings.end() ? void(*same = failed) : findings.push_back(failed);
        }
    };
    run(L"configuration", Check::checkConfiguration);
    run(L"log file", Check::checkLogFile);
    run(L"event source", Check::checkEventLog);
    run(L"crash dumps", Check::checkCrashDumps);
    run(L"reports", Check::checkReports);
    run(L"tracing", Check::checkTracing);
    run(L"windows", [](const Check::Installation&, Check::Findings& out) { Check::checkSystem(out); });
    findings = Check::ordered(findings);
    print(stdout, option == L"--json" ? Check::jsonReport(findings, Check::fileVersion(self), Check::fileVersion(agent))
                                      : Check::textReport(findings));
    return Check::exitCode(findings);
}
