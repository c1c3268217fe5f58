// rundock-check against installations made for it: a good one, each fault alone, its JSON and command line, and that
// it changes nothing. The check runs from admin\bin64 of the installation, as installed.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <set>

#include "crash/dump_folder.h"
#include "runtime/local_memory.h"
#include "runtime/text.h"
#include "tests/support/config_key.h"
#include "tests/support/json.h"
#include "tests/support/platform.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wine_trace.h"

namespace {

struct Line {
    std::string id, verdict, check, text;
    bool operator==(const Line&) const = default;
    friend void PrintTo(const Line& line, std::ostream* out) { *out << line.verdict << " " << line.check << ": " << line.text; }
};

struct Result {
    DWORD exitCode;
    std::vector<Line> lines;
    // The line of check; an empty one when it printed none.
    Line of(const std::string& check) const {
        for (const Line& line : lines)
            if (line.check == check) return line;
        return {};
    }
    std::vector<std::string> ids() const {
        std::vector<std::string> ids;
        for (const Line& line : lines) ids.push_back(line.id);
        return ids;
    }
};

std::string trimmed(const std::string& text) { return text.substr(0, text.find_last_not_of(' ') + 1); }

// The text form: verdict in 8 columns, check in 14, a blank, the text.
std::vector<Line> textLines(const std::string& output) {
    std::vector<Line> lines;
    for (std::size_t at = 0, end; (end = output.find("\r\n", at)) != std::string::npos; at = end + 2)
        if (end - at > 23) lines.push_back({"", trimmed(output.substr(at, 8)), trimmed(output.substr(at + 8, 14)),
                         output.substr(at + 23, end - at - 23)});
    return lines;
}

class Installation {
public:
    Installation() {
        for (const wchar_t* folder : {L"admin", L"admin\\bin", L"admin\\bin64", L"admin\\logs"})
            CreateDirectoryW((root_ / folder).c_str(), nullptr);
        install(L"rundock-check.exe", L"admin\\bin64\\rundock-check.exe");
        install(L"eventmsg.dll", L"admin\\bin64\\eventmsg.dll");
        install(L"rdsender.exe", L"admin\\bin\\send-error-report.exe");
        config_.set(L"PRODUCT_ROOT_D", root_.path());
        for (const wchar_t* name : {L"Debug", L"log_debug_enabled", L"SendFeedback", L"CrashDumpsEnabled",
                                    L"CrashDumpsLocation", L"CrashDumpsMaxCount", L"opentracing_enabled"})
            config_.remove(name);
    }
    void install(const std::wstring& built, const std::wstring& name) {
        ASSERT_TRUE(CopyFileW(test_process::siblingPath(built).c_str(), path(name).c_str(), FALSE));
    }
    std::wstring path(const std::wstring& name) const { return root_ / name; }
    const std::wstring& root() const { return root_.path(); }
    std::wstring check() const { return path(L"admin\\bin64\\rundock-check.exe"); }
    test_config::ConfigValues& config() { return config_; }
    test_config::ConfigValues& config64() { return config64_; }
    // Kept until the installation goes.
    void keep(std::shared_ptr<void> resource) { kept_.push_back(std::move(resource)); }

    test_process::ProcessResult start(const std::vector<std::wstring>& arguments) const {
        return test_process::run(check(), test_process::commandLine(check(), arguments));
    }
    Result text() const {
        const auto process = start({});
        return {process.exitCode, textLines(process.output)};
    }
    // The JSON form, parsed; its exit code the process's.
    Result run(test_json::Value* document = nullptr) const {
        const auto process = start({L"--json"});
        const test_json::Value json = test_json::parse(process.output);
        Result result{process.exitCode, {}};
        EXPECT_EQ(json["exitCode"].number, process.exitCode);
        for (const test_json::Value& entry : json["checks"].items)
            result.lines.push_back({entry["id"].text, entry["verdict"].text, entry["check"].text, entry["text"].text});
        if (document) *document = json;
        return result;
    }

    // Every path below the root, folders marked with a trailing '\'.
    std::set<std::wstring> tree(const std::wstring& below = L"") const {
        std::set<std::wstring> entries;
        for (const bool folders : {false, true})
            for (const std::wstring& name : test_support::fileNames(path(below + L"*"), folders)) {
                entries.insert(below + name + (folders ? L"\\" : L""));
                if (folders) entries.merge(tree(below + name + L"\\"));
            }
        return entries;
    }

private:
    test_support::TempDir root_{L"rdcheck-\u00e9-"};  // a name beyond ASCII, which the JSON keeps in UTF-8
    test_config::ConfigValues config_;
    test_config::ConfigValues config64_{KEY_WOW64_64KEY};
    std::vector<std::shared_ptr<void>> kept_;
};

}  // namespace

// The event source's message file, registered for a test and put back after it: the agent's runs in other tests
// register their own.
std::shared_ptr<test_config::ConfigValues> registered(const std::wstring& messageFile) {
    auto source = std::make_shared<test_config::ConfigValues>(
        KEY_WOW64_64KEY, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Korvo\\rundock.exe");
    source->set(L"EventMessageFile", messageFile);
    return source;
}

// A good installation: nothing stops the agent, whatever the account and the free space (those are warnings at most).
// Each fault alone gives its verdict and names what to mend; every state prints the same checks in the same order.
TEST(InstallationCheck, GoodInstallationHasNoProblemAndEachFaultAloneNamesWhatToMend) {
    std::vector<std::string> ids;
    {
        Installation good;
        const auto source = registered(good.path(L"admin\\bin64\\eventmsg.dll"));
        const Result result = good.run();
        EXPECT_EQ(result.exitCode, 0u);
        for (const Line& line : result.lines) EXPECT_NE(line.verdict, "problem") << line.check << ": " << line.text;
        for (const char* check : {"configuration", "root", "value types", "unknown values", "log file", "log folder",
                                  "message file", "reports"})
            EXPECT_EQ(result.of(check).verdict, "ok") << check;
        EXPECT_EQ(result.of("tracing").verdict, "info");
        ids = result.ids();
        ASSERT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 19u);
        EXPECT_EQ(result.of("dump space").id, "dump-space");
    }
    const DWORD taken = GetLogicalDrives();
    std::wstring absent = L"?:";
    for (wchar_t drive = L'Q'; drive <= L'Y' && absent[0] == L'?'; ++drive)
        if (!(taken & (1u << (drive - L'A')))) absent[0] = drive;
    struct Broken {
        const char* what;
        std::function<void(Installation&)> make;
        std::string check, verdict;
        std::wstring named;  // what the text names; {root} stands for the installation's root
        bool last = false;   // named ends the text
    };
    const std::vector<Broken> cases = {
        {"root missing", [](Installation& i) { i.config().remove(L"PRODUCT_ROOT_D"); }, "root", "problem",
         L"PRODUCT_ROOT_D"},
        {"root in the 64-bit view only", [](Installation& i) {
             i.config64().set(L"PRODUCT_ROOT_D", i.path(L""));
             i.config().remove(L"PRODUCT_ROOT_D");
         }, "root", "problem", L"only in the 64-bit view"},
        // What reg add /d "C:\Korvo\" stores: the backslash keeps the closing quote.
        {"root with a quote", [](Installation& i) { i.config().set(L"PRODUCT_ROOT_D", i.root() + L"\""); }, "root",
         "problem", L"/t REG_SZ /d \"{root}\"", true},
        {"root empty", [](Installation& i) { i.config().set(L"PRODUCT_ROOT_D", std::wstring()); }, "root", "problem",
         L"PRODUCT_ROOT_D is empty"},
        // Nor are the three dump values blamed.
        {"root a number", [](Installation& i) { i.config().set(L"PRODUCT_ROOT_D", DWORD{1}); }, "root", "problem",
         L"PRODUCT_ROOT_D is a REG_DWORD"},
        {"message file missing", [](Installation& i) { DeleteFileW(i.path(L"admin\\bin64\\eventmsg.dll").c_str()); },
         "message file", "problem", L"admin\\bin64\\eventmsg.dll"},
        {"log folder a file", [](Installation& i) {
             RemoveDirectoryW(i.path(L"admin\\logs").c_str());
             test_support::writeBytes(i.path(L"admin\\logs"), "");
         }, "log folder", "problem", L"admin\\logs is a file"},
        {"provider on but absent", [](Installation& i) { i.config().set(L"opentracing_enabled", DWORD{1}); },
         "tracing", "problem", L"admin\\bin64\\opentracingprovider.dll"},
        {"provider without an entry point", [](Installation& i) {
             i.config().set(L"opentracing_enabled", DWORD{1});
             i.install(L"rdprovider_partial.dll", L"admin\\bin64\\opentracingprovider.dll");
         }, "tracing", "problem", L"OpenTracingProviderInjectCurrentSpan"},
        {"provider a 32-bit DLL", [](Installation& i) {
             i.config().set(L"opentracing_enabled", DWORD{1});
             std::string image = test_support::readBytes(test_process::siblingPath(L"rdprovider.dll"));
             const LONG headers = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data())->e_lfanew;
             const WORD magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
             image.replace(headers + offsetof(IMAGE_NT_HEADERS64, OptionalHeader), 2, reinterpret_cast<const char*>(&magic), 2);
             test_support::writeBytes(i.path(L"admin\\bin64\\opentracingprovider.dll"), image);
         }, "tracing", "problem", L"is a 32-bit DLL"},
        // Forwarded to a DLL that is not there: the agent's GetProcAddress would not find it.
        {"provider forwarding an entry point nowhere", [](Installation& i) {
             i.config().set(L"opentracing_enabled", DWORD{1});
             std::string image = test_support::readBytes(test_process::siblingPath(L"rdprovider.dll"));
             const auto at = [&](std::size_t offset) { return image.data() + offset; };
             auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(at(reinterpret_cast<IMAGE_DOS_HEADER*>(at(0))->e_lfanew));
             const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
             const auto file = [&](DWORD rva) {
                 for (WORD s = 0;; ++s)
                     if (rva - sections[s].VirtualAddress < sections[s].SizeOfRawData)
                         return at(sections[s].PointerToRawData + rva - sections[s].VirtualAddress);
             };
             const auto& table = *reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(file(nt->OptionalHeader.DataDirectory[0].VirtualAddress));
             const auto* ordinals = reinterpret_cast<WORD*>(file(table.AddressOfNameOrdinals));
             for (DWORD n = 0; n < table.NumberOfNames; ++n)
                 if (std::string(file(reinterpret_cast<DWORD*>(file(table.AddressOfNames))[n])) ==
                     "OpenTracingProviderInjectCurrentSpan")  // now forwarded to "rdprovider.dll", the DLL's own name
                     reinterpret_cast<DWORD*>(file(table.AddressOfFunctions))[ordinals[n]] = table.Name;
             test_support::writeBytes(i.path(L"admin\\bin64\\opentracingprovider.dll"), image);
         }, "tracing", "problem", L"does not export OpenTracingProviderInjectCurrentSpan"},
        {"tracing switched on as a text", [](Installation& i) { i.config().set(L"opentracing_enabled", std::wstring(L"1")); },
         "tracing", "warning", L"/t REG_DWORD /d \"1\""},
        {"sender missing", [](Installation& i) { DeleteFileW(i.path(L"admin\\bin\\send-error-report.exe").c_str()); },
         "reports", "warning", L"admin\\bin\\send-error-report.exe"},
        {"reports off in another case", [](Installation& i) { i.config().set(L"SendFeedback", std::wstring(L"False")); },
         "reports", "warning", L"only the text \"false\", in lower case, turns reports off"},
        {"Debug as a text", [](Installation& i) { i.config().set(L"Debug", std::wstring(L"1")); }, "debug", "warning",
         L"/v Debug /t REG_DWORD /d \"1\""},
        {"PipeConnectTryCount as a text", [](Installation& i) { i.config().set(L"PipeConnectTryCount", std::wstring(L"5")); },
         "value types", "warning", L"PipeConnectTryCount is a REG_SZ (\"5\")"},
        {"a misspelt name", [](Installation& i) { i.config().set(L"Dbug", DWORD{1}); }, "unknown values", "info",
         L"Dbug"},
        // Only the agent's values, and only those missing from its view.
        {"values only in the 64-bit view", [](Installation& i) {
             i.config64().set(L"PRODUCT_DATA_D", i.path(L""));
             i.config64().set(L"Debug", DWORD{1});
             i.config().set(L"Debug", DWORD{0});
             i.config64().set(L"Dbug", DWORD{1});
         }, "64-bit view", "warning", L"PRODUCT_DATA_D only in the 64-bit view"},
        {"dump count as a text", [](Installation& i) { i.config().set(L"CrashDumpsMaxCount", std::wstring(L"3")); },
         "crash dumps", "problem", L"CrashDumpsMaxCount is a REG_SZ (\"3\")"},
        {"dump folder below a file", [](Installation& i) {
             test_support::writeBytes(i.path(L"etc"), "");
             i.config().set(L"CrashDumpsLocation", i.path(L"etc\\crashdumps"));
         }, "dump folder", "problem", L"etc is a file, so no folder can be made below it"},
        {"dump folder too long", [](Installation& i) {
             i.config().set(L"CrashDumpsLocation", i.path(std::wstring(240, L'd')));
         }, "crash dumps", "problem", L"is too long for a dump's name"},
        {"dump folder relative", [](Installation& i) { i.config().set(L"CrashDumpsLocation", std::wstring(L"dumps")); },
         "crash dumps", "problem", L"is no full path"},
        {"dump folder on a drive that does not exist", [&](Installation& i) {
             i.config().set(L"CrashDumpsLocation", absent + L"\\dumps");
         }, "dump folder", "problem", L"drive " + absent + L" does not exist"},
        {"registered message file elsewhere and missing", [](Installation& i) {
             i.keep(registered(i.path(L"old\\eventmsg.dll")));
         }, "message file", "warning", L"old\\eventmsg.dll is missing, the registered message file"},
    };
    for (const Broken& broken : cases) {
        Installation installation;
        broken.make(installation);
        const Result result = installation.run();
        EXPECT_EQ(result.exitCode, broken.verdict == "problem" ? 1u : 0u) << broken.what;
        EXPECT_EQ(result.ids(), ids) << broken.what;
        std::vector<std::string> problems;
        for (const Line& line : result.lines)
            if (line.verdict == "problem") problems.push_back(line.check);
        // The root's absence leaves the checks that need it unchecked, not failed.
        EXPECT_EQ(problems, broken.verdict == "problem" ? std::vector<std::string>{broken.check}
                                                        : std::vector<std::string>{})
            << broken.what;
        EXPECT_EQ(result.of(broken.check).verdict, broken.verdict) << broken.what;
        std::wstring named = broken.named;
        if (const std::size_t at = named.find(L"{root}"); at != std::wstring::npos) named.replace(at, 6, installation.root());
        const std::wstring text = wstr(result.of(broken.check).text, CP_UTF8);
        const std::size_t at = broken.last ? text.rfind(named) : text.find(named);
        EXPECT_TRUE(at != std::wstring::npos && (!broken.last || at + named.size() == text.size()))
            << broken.what << ": " << result.of(broken.check).text;
    }
}

// The JSON form holds what the text form prints, with the format, the versions and the ids, and keeps the root's
// name beyond ASCII in UTF-8.
TEST(InstallationCheck, JsonHoldsTheTextsVerdictsVersionsAndAWholeProvider) {
    Installation installation;
    installation.install(L"rundock.exe", L"admin\\bin64\\rundock.exe");
    installation.config().set(L"opentracing_enabled", DWORD{1});
    installation.install(L"rdprovider.dll", L"admin\\bin64\\opentracingprovider.dll");
    installation.config().set(L"log_debug_enabled", DWORD{0});
    test_json::Value document;
    Result json = installation.run(&document);
    EXPECT_EQ(json.of("tracing").verdict, "ok");
    EXPECT_EQ(json.of("log file").verdict, "warning");
    EXPECT_EQ(document["format"].number, 1);
    EXPECT_EQ(document["version"].text, RD_VERSION);
    EXPECT_EQ(document["agentVersion"].text, RD_VERSION);
    EXPECT_EQ(json.of("root").text, "PRODUCT_ROOT_D is " + cstr(installation.root(), CP_UTF8));
    // The free space may change between the two runs.
    std::vector<Line> text = installation.text().lines;
    for (std::vector<Line>* form : {&json.lines, &text})
        for (Line& line : *form) {
            if (line.check == "dump space") line.text.clear();
            line.id.clear();
        }
    EXPECT_EQ(json.lines, text);
}

TEST(InstallationCheck, ExitsWithTwoForAWrongCommandLineAndPrintsItsVersions) {
    Installation installation;
    for (const std::vector<std::wstring>& line :
         std::vector<std::vector<std::wstring>>{{L"--JSON"}, {L"/?"}, {L"--json", L"--json"}, {L"--help"}}) {
        const auto process = installation.start(line);
        EXPECT_EQ(process.exitCode, line[0] == L"--help" ? 0u : 2u) << cstr(line[0], CP_UTF8);
        EXPECT_EQ(process.output.rfind("Usage: rundock-check", 0), 0u) << process.output;
    }
    installation.install(L"rundock.exe", L"admin\\bin64\\rundock.exe");
    const auto version = installation.start({L"--version"});
    EXPECT_EQ(version.exitCode, 0u);
    EXPECT_EQ(version.output, cstr(L"rundock-check " RD_VERSION " " + installation.check() + L"\r\nrundock.exe " RD_VERSION
                                   " " + installation.path(L"admin\\bin64\\rundock.exe") + L"\r\n", CP_UTF8));
}

// Who may read a new dump is the system's answer for a client holding what every local user holds, weighed against the
// list a file made in the folder inherits. Wine can say neither, and the line says so.
TEST(InstallationCheck, DumpReadersAreWhatEveryLocalUserMayDoWithANewDump) {
    Installation installation;
    const std::wstring folder = installation.path(L"dumps");
    installation.config().set(L"CrashDumpsLocation", folder);
    if (test_support::runningUnderWine()) {
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        const Line readers = installation.run().of("dump readers");
        EXPECT_EQ(readers.verdict, "info");
        EXPECT_NE(readers.text.find("could not be judged"), std::string::npos) << readers.text;
        GTEST_SKIP() << "Wine builds no inherited list for a new file and implements no Authz";
    }
    const auto withList = [&](const wchar_t* sddl) {
        return [&folder, sddl] {
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
            const RunTime::LocalMemory<> owned(descriptor);
            SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), &attributes));
        };
    };
    struct Case {
        const char* what;
        std::function<void()> make;
        std::string verdict;
    };
    const std::vector<Case> cases = {
        {"the agent's own list", [&] { DumpFolder::create(folder, L""); }, "ok"},
        // Inherit-only: the folder itself is closed to Users, its files are not.
        {"files Users may read", withList(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OIIO;FR;;;BU)"), "warning"},
        {"the same with a deny entry", withList(L"D:P(D;OIIO;FR;;;BU)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OIIO;FR;;;BU)"),
         "ok"},
    };
    for (const Case& list : cases) {
        RemoveDirectoryW(folder.c_str());
        list.make();
        const Line readers = installation.run().of("dump readers");
        EXPECT_EQ(readers.verdict, list.verdict) << list.what << ": " << readers.text;
    }
}

// Wine's +reg trace shows every key created and every value set. Wine's own process set-up makes keys of its own (the
// user's environment, the time zone), so the trace is searched for the keys and values of the agent.
TEST(InstallationCheck, ChangesNoKeyNoValueAndLeavesNoFileOrFolder) {
    if (!test_support::runningUnderWine()) GTEST_SKIP() << "reads Wine's registry trace";
    Installation installation;
    installation.config().set(L"CrashDumpsLocation", installation.path(L"dumps"));
    installation.config().set(L"opentracing_enabled", DWORD{1});
    const std::set<std::wstring> before = installation.tree();
    test_support::TempDir traceDir(L"rdchecktrace-");
    const std::vector<std::string> trace = test_wine::trace(L"+reg", installation.check(), {}, traceDir / L"trace.txt");
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back(), "exit 1");  // the provider is missing
    std::size_t reads = 0;
    for (const std::string& line : trace) {
        reads += line.find("NtQueryValueKey") != std::string::npos && line.find("PRODUCT_ROOT_D") != std::string::npos;
        const bool writes = line.find("NtCreateKey (") != std::string::npos ||
                            line.find("NtSetValueKey (") != std::string::npos ||
                            line.find("NtDelete") != std::string::npos;
        for (const char* ours : {"Korvo", "EventLog", "rundock", "PRODUCT_", "Crash", "Types", "MaxSize", "Retention"})
            EXPECT_FALSE(writes && line.find(ours) != std::string::npos) << line;
    }
    EXPECT_GT(reads, 0u);  // the trace does show the check's own reads
    EXPECT_EQ(installation.tree(), before);
}
