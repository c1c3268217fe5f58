#include "app/consoleapp.h"

#include <windows.h>

#include <vector>

#include "exec/quoting.h"
#include "log/logmanager.h"
#include "threads/guard.h"

namespace {

constexpr wchar_t kInternalPackageName[] = L"--internal-package-name";

std::vector<std::wstring> multiString(const wchar_t* list) {
    std::vector<std::wstring> names;
    for (const wchar_t* p = list; p && *p; p += std::wcslen(p) + 1) names.emplace_back(p);
    return names;
}

bool listed(const std::vector<std::wstring>& names, const std::wstring& name) {
    for (const std::wstring& n : names)
        if (n == name) return true;
    return false;
}

// A password typed in the command's place must not reach the log either.
std::wstring displayedCommand(const std::wstring& command) { return maskedSecret(command).value_or(command); }

}  // namespace

Params::Params(int count, wchar_t** first) {
    for (int i = 0; i < count; ++i) {
        const std::wstring argument = first[i];
        const std::size_t equals = argument.find(L'=');
        if (equals == std::wstring::npos)
            values_[argument].clear();
        else
            values_[argument.substr(0, equals)] = argument.substr(equals + 1);
    }
}

std::wstring Params::possibleParameters(const wchar_t* required, const wchar_t* optional) {
    std::wstring text;
    for (const std::wstring& name : multiString(required)) text += (text.empty() ? L"" : L"\n") + (L"    " + name);
    for (const std::wstring& name : multiString(optional))
        text += (text.empty() ? L"" : L"\n") + (L"    [" + name + L"]");
    return text.empty() ? text : L"Possible parameters:\n" + text;
}

void Params::check(const wchar_t* required, const wchar_t* optional) const {
    const std::vector<std::wstring> requiredNames = multiString(required);
    const std::vector<std::wstring> optionalNames = multiString(optional);
    for (const std::wstring& name : requiredNames)
        if (!contains(name))
            throw vexception(L"Missing required parameter " + name + L". " + possibleParameters(required, optional),
                             raiseSite("Params::check", 72));
    for (const auto& [name, value] : values_) {
        if (name == kInternalPackageName || listed(requiredNames, name) || listed(optionalNames, name)) continue;
        throw vexception(L"Unexpected parameter " + name + L". " + possibleParameters(required, optional),
                         raiseSite("Params::check", 105));
    }
}

vconsoleapp::vconsoleapp() {
    // No Windows error box when the process crashes. Children get the mode
    // as it was (exec/launcher.cpp read it at start-up).
    SetErrorMode(SetErrorMode(0) | SEM_NOGPFAULTERRORBOX);
    LogManager::instance().setConsoleOutput(true);
}

int vconsoleapp::go(int, wchar_t**) {
    throw vexception(L"Invalid command " + displayedCommand(command), raiseSite("vconsoleapp::go", 68));
}

int vconsoleapp::usage() { throw vexception(L"Missing command parameter", raiseSite("vconsoleapp::usage", 100)); }

void vconsoleapp::cmdNotSupported(const std::wstring& possibleCommands) {
    throw vexception(L"command " + displayedCommand(command) + L" not supported. Possible commands:\n" + possibleCommands,
                     raiseSite("vconsoleapp::cmdNotSupported", 56));
}

int vconsoleapp::start(int count, wchar_t** arguments) {
    static constexpr GuardedOperation kStart{"vconsoleapp::start", L"Unable to execute console command: '%s'", 77, 95};
    std::wstring maskedCommand = maskArgument(command);
    return guarded(
        kStart,
        [&] {
            if (count > 1) {
                command = arguments[1];
                maskedCommand = maskArgument(command);
                return go(count - 2, arguments + 2);
            }
            if (command.empty()) {
                usage();
                return 1;
            }
            return go(0, arguments + count);
        },
        maskedCommand);
}

int vconsoleapp::run(int count, wchar_t** arguments) {
    static constexpr GuardedOperation kRun{"vconsoleapp::run", L"Unable to execute command: '%s'", 108, 117};
    std::wstring commandLine;
    try {
        return guarded(
            kRun,
            [&] {
                // The masked form is the only one in which the command line is logged.
                commandLine = maskSecrets(GetCommandLineW());
                LogManager::instance().log(Info, L"Start command: '%s'", commandLine);
                const int result = start(count, arguments);
                LogManager::instance().log(Info, L"End command '%s' with code: %d", commandLine, result);
                return result;
            },
            commandLine);
    } catch (const vexception& e) {
        LogManager::instance().log(Error, e);
        return 1;
    }
}
