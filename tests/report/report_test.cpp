// Error reports: the handler's rules with a substitute system, then the real
// helpers with the stand-in sender (rdsender), and the agent end to end.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <regex>

#include "exec/quoting.h"
#include "report/handler.h"
#include "report/xml_document.h"
#include "runtime/datetime.h"
#include "runtime/text.h"
#include "tests/support/agent_run.h"
#include "tests/support/platform.h"

namespace {

using SendErrorReport::LogHandler;

// An element's text as an XML reader gets it: the writer makes line ends CRLF, a lone CR "&#13;".
std::string elementText(const std::string& xml, const std::string& name) {
    const std::size_t start = xml.find("<" + name + ">") + name.size() + 2;
    std::string text = xml.substr(start, xml.find("</" + name + ">", start) - start);
    for (const auto& [from, to] : {std::pair{"\r\n", "\n"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""},
                                   {"&#13;", "\r"}, {"&amp;", "&"}})
        for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += strlen(to))
            text.replace(at, strlen(from), to);
    return text;
}

// A clock moved by hand, and senders that only keep what they are given.
struct FakeSystem : SendErrorReport::ISystemHelper {
    struct Sender : SendErrorReport::IProcessHelper {
        Sender(FakeSystem& s, std::wstring line) : system(s), commandLine(std::move(line)) {}
        void start() override { if (system.failStart) throw vexception(L"start failed", raiseSite("test", 1)); }
        void write(const std::string& data) override { system.reports.push_back({commandLine, data}); }
        FakeSystem& system;
        std::wstring commandLine;
    };
    bool isFeedbackEnabled() override { return feedback; }
    std::wstring getProductRoot() override { return L"C:\\Product Root"; }
    std::wstring getProductData() override { return L"C:\\data"; }
    std::wstring getCurrentTime() override { return L"20261205T070503"; }
    std::wstring moduleName() override {
        if (broken) throw vexception(L"gone", raiseSite("test", 2));
        return L"C:\\Product Root\\admin\\bin64\\rundock.exe";
    }
    std::wstring getCommandLine() override { return L"rundock.exe \"--db-password=s3 cret\" -v"; }
    std::uint32_t getProcessId() override { return 77; }
    std::uint32_t getThreadId() override { return 88; }
    std::shared_ptr<SendErrorReport::IProcessHelper> createProcess(const std::wstring& line) override {
        return std::make_shared<Sender>(*this, line);
    }
    bool fileExists(const std::wstring& path) override { return path == L"C:\\data\\var\\update_ticket"; }
    std::string readFile(const std::wstring&) override {
        return broken ? throw vexception(L"unreadable", raiseSite("test", 3)) : " T-7\r\n";
    }
    SYSTEMTIME getLocalTime() override {
        return {2026, 12, 0, WORD(5 + minutes / 1440), WORD(minutes / 60 % 24), WORD(minutes % 60), 0, 0};
    }

    bool feedback = true, failStart = false, broken = false;  // broken: no module name, an unreadable ticket
    unsigned minutes = 0;  // since midnight of the 5th
    std::vector<std::pair<std::wstring, std::string>> reports;  // the sender's command line and input
};

struct Handled {
    std::shared_ptr<FakeSystem> system = std::make_shared<FakeSystem>();
    LogHandler handler{system};
    Handled& at(unsigned minutes) { return system->minutes = minutes, *this; }
    // The hits of the report the record gave; 0 for none.
    std::uint32_t log(const std::wstring& text, LogLevel level = Error) {
        const std::size_t before = system->reports.size();
        handler.handleMessage(level, text);
        return system->reports.size() == before ? 0 : std::stoul(elementText(system->reports.back().second, "hits"));
    }
};

// The stand-in sender installed as the panel's under root; its directory.
std::wstring installSender(const std::wstring& root) {
    for (const wchar_t* directory : {L"\\admin", L"\\admin\\bin", L"\\var"})
        CreateDirectoryW((root + directory).c_str(), nullptr);
    EXPECT_TRUE(CopyFileW(test_process::siblingPath(L"rdsender.exe").c_str(),
                          (root + L"\\admin\\bin\\send-error-report.exe").c_str(), FALSE));
    return root + L"\\admin\\bin";
}

// What each sender that has finished in directory kept, its command line split; waits up to 20 s for count of them.
std::vector<std::pair<std::vector<std::wstring>, std::string>> sent(const std::wstring& directory, std::size_t count) {
    std::vector<std::wstring> names;
    for (int i = 0; i < 400 && (names = test_support::fileNames(directory + L"\\sent-*.txt")).size() < count; ++i)
        Sleep(50);
    std::vector<std::pair<std::vector<std::wstring>, std::string>> kept;
    for (const std::wstring& name : names) {
        const std::string text = test_support::readBytes(directory + L"\\" + name);
        const std::size_t end = text.find('\n');
        kept.push_back({splitCommandLine(wstr(text.substr(0, end), CP_UTF8)), text.substr(end + 1)});
    }
    return kept;
}

}  // namespace

TEST(ReportHandler, ReportsEachTextOncePerDayWithItsHits) {
    Handled h;
    EXPECT_EQ(h.log(L"warned", Warning), 0u);
    EXPECT_EQ(h.log(L""), 0u);
    EXPECT_EQ(h.log(L"failed"), 1u);
    EXPECT_EQ(h.at(30).log(L"failed", Crash), 0u);
    EXPECT_EQ(h.at(24 * 60 - 1).log(L"failed"), 0u);
    EXPECT_EQ(h.at(24 * 60).log(L"failed"), 4u);
    EXPECT_EQ(h.at(48 * 60).log(L"failed"), 2u);
    h.system->feedback = false;
    EXPECT_EQ(h.at(96 * 60).log(L"failed"), 0u);
    // A report that fails is counted all the same.
    h.system->feedback = h.system->failStart = true;
    EXPECT_NO_THROW(h.log(L"lost"));
    h.system->failStart = false;
    EXPECT_EQ(h.log(L"lost"), 0u);
    // Beyond a hundred texts the oldest is forgotten; of texts stamped in one minute, never the one just added.
    for (int i = 0; i < 150; ++i) ASSERT_EQ(h.log(L"same " + std::to_wstring(i)), 1u);
    EXPECT_EQ(h.log(L"same 149"), 0u);
    Handled fresh;  // the text reported longest ago is forgotten with the 101st, so reported anew the same day
    fresh.log(L"oldest");
    for (int i = 0; i < 99; ++i) fresh.at(1).log(std::to_wstring(i));
    EXPECT_EQ(fresh.log(L"oldest"), 0u);
    fresh.log(L"99");
    EXPECT_EQ(fresh.log(L"oldest"), 1u);
}

TEST(ReportHandler, DocumentHoldsTheRecordAndNoSecret) {
    Handled h;
    h.log(L"\r\nfirst <line> & \"more\"\r\nsecond \u00e9");
    ASSERT_EQ(h.system->reports.size(), 1u);
    const auto& [commandLine, document] = h.system->reports[0];
    EXPECT_EQ(commandLine, L"\"C:\\Product Root\\admin\\bin\\send-error-report.exe\" backend");
    EXPECT_EQ(std::regex_replace(document, std::regex(">[^<]*"), ">"),
              "<error><source></source><severity></severity><datetime></datetime><summary></summary>"
              "<component></component><message></message><hits></hits><additional_info><command_line></command_line>"
              "<processId></processId><threadId></threadId><update_ticket></update_ticket></additional_info></error>");
    for (const auto& [tag, text] : std::vector<std::pair<std::string, std::string>>{
             {"source", "backend"}, {"severity", "error"}, {"datetime", "20261205T070503"},
             {"summary", "first <line> & \"more\""}, {"component", "rundock.exe"},
             {"message", "\r\nfirst <line> & \"more\"\r\nsecond \xc3\xa9"}, {"hits", "1"},
             {"command_line", "rundock.exe \"--db-password=*\" -v"}, {"processId", "77"}, {"threadId", "88"},
             {"update_ticket", "T-7"}})
        EXPECT_EQ(elementText(document, tag), text) << tag;
    h.system->broken = true;  // the report goes without what it cannot learn
    h.log(L"again");
    EXPECT_EQ(elementText(h.system->reports.back().second, "component"), "Unknown");
    EXPECT_EQ(h.system->reports.back().second.find("update_ticket"), std::string::npos);
}

// What XML 1.0 forbids becomes U+FFFD, one for each unit; pairs, tab, line ends and everything else stay.
TEST(ReportText, CharactersXmlForbidsBecomeTheReplacementCharacter) {
    const std::wstring allowed = L"a\t\r\n\x7f\x85\xfffd\xfdd0\xdbff\xdfff<&";
    EXPECT_EQ(SendErrorReport::xmlSafeText(allowed), allowed);
    const wchar_t forbidden[] = {0, 0x1b, 0x1f, 0xd800, 'x', 0xdc00, 0xd800, 0xfffe, 0xffff, 0xd83d};
    EXPECT_EQ(SendErrorReport::xmlSafeText({forbidden, 10}), L"\xfffd\xfffd\xfffd\xfffdx\xfffd\xfffd\xfffd\xfffd\xfffd");
}

// The real helpers: a long text with markup, non-ASCII and what XML forbids (ESC, noise, a lone surrogate; replaced)
// arrives whole; a sender that never reads holds the caller for the write's time limit, not for ever.
TEST(ReportSender, LongTextsArriveWholeAndASenderThatNeverReadsHoldsNobody) {
    test_support::TempDir root(L"rdreport-");
    test_config::ConfigValues config;
    for (const wchar_t* name : {L"PRODUCT_ROOT_D", L"PRODUCT_DATA_D"}) config.set(name, root.path());
    config.remove(L"SendFeedback");
    EXPECT_NO_THROW(LogHandler().handleMessage(Error, L"no sender yet"));  // a sender that cannot start harms nobody
    const std::wstring bin = installSender(root.path());
    std::wstring text = L"summary line\r\n";
    while (text.size() < 30000) text += L"<tag attr=\"v\">&amp; \u00e9\u4e2d\U0001F600</tag>\n";
    std::wstring expected = text + L"\xfffd[31m\xfffd\xfffd\x7f\xfffd \xfffd!";
    text += L"\x1b[31m\x01\x02\x7f\x1f \xdc01!";
    test_support::writeBytes(root / L"var\\update_ticket", "\xef\xbb\xbf T-\xc3\xa9 \n");
    SYSTEMTIME before, after;
    GetSystemTime(&before);
    before.wMilliseconds = 0;  // the stamp keeps whole seconds
    LogHandler().handleMessage(Error, text);
    GetSystemTime(&after);
    const auto kept = sent(bin, 1);
    ASSERT_EQ(kept.size(), 1u);
    // In UTC, told from the local time of the zone the test runs in.
    SYSTEMTIME stamped{};
    EXPECT_EQ(std::sscanf(elementText(kept[0].second, "datetime").c_str(), "%4hu%2hu%2huT%2hu%2hu%2hu", &stamped.wYear,
                          &stamped.wMonth, &stamped.wDay, &stamped.wHour, &stamped.wMinute, &stamped.wSecond), 6);
    EXPECT_TRUE(!(VDateTime(stamped) < VDateTime(before)) && !(VDateTime(after) < VDateTime(stamped)))
        << elementText(kept[0].second, "datetime");
    EXPECT_EQ(kept[0].first, (std::vector<std::wstring>{bin + L"\\send-error-report.exe", L"backend"}));
    EXPECT_TRUE(elementText(kept[0].second, "message") == cstr(expected, CP_UTF8)) << "the message differs";
    // Well-formed for a strict reader: no C0 control but tab and line ends (Windows' MSXML would write them).
    EXPECT_EQ(kept[0].second.find_first_of(std::string("\0\x01\x02\x1b\x1f", 5)), std::string::npos);
    EXPECT_EQ(elementText(kept[0].second, "update_ticket"), "\xef\xbb\xbf T-\xc3\xa9");

    SetEnvironmentVariableW(L"RDSENDER_MODE", L"stall");
    auto done = std::async(std::launch::async, [] { LogHandler().handleMessage(Error, std::wstring(1 << 20, 'x')); });
    const std::future_status status = done.wait_for(std::chrono::seconds(30));
    SetEnvironmentVariableW(L"RDSENDER_MODE", nullptr);
    ASSERT_EQ(status, std::future_status::ready);
}

// Feedback is off only for the exact word "false". A scheduler reading the agent's output through a pipe sees it end
// with the agent, not with the sender, which here lives on for 8 s; the report still arrives whole.
TEST(ReportAgent, AFailedRunSendsOneReportAndFeedbackFalseNone) {
    reliability::TaskRun run;
    const std::wstring bin = installSender(run.directory());
    run.config().set(L"PRODUCT_DATA_D", run.directory());
    run.variables[L"RD_TIMEOUT"] = L"soon";
    run.config().set(L"SendFeedback", L"false");
    ASSERT_EQ(run.run().exitCode, 1u);
    run.config().set(L"SendFeedback", L"False");
    SetEnvironmentVariableW(L"RDSENDER_MODE", L"linger");
    const reliability::AgentResult failed = run.run();
    SetEnvironmentVariableW(L"RDSENDER_MODE", nullptr);
    EXPECT_LT(failed.outputEndMs, 1000);
    ASSERT_EQ(failed.errors.size(), 2u);  // both runs log to the one file
    const std::string document = sent(bin, 1).at(0).second;
    Sleep(300);  // a sender of the first run would have finished by now
    ASSERT_EQ(test_support::fileNames(bin + L"\\sent-*").size(), 1u);
    EXPECT_EQ(elementText(document, "message"), cstr(failed.errors.back().substr(7), CP_UTF8));
    for (const std::wstring& name : test_support::fileNames(bin + L"\\sent-*.txt"))  // the lingering sender
        TerminateProcess(RunTime::AutoHandle(OpenProcess(PROCESS_TERMINATE, FALSE, std::stoul(name.substr(5)))).get(), 0);
}

// A start that fails, each way it can, with secrets in the arguments: none reaches the log file, the event log (whose
// strings Wine's trace shows), the console or the report.
TEST(ReportAgent, AFailedStartShowsNoSecretAnywhere) {
    reliability::TaskRun run;
    const std::wstring bin = installSender(run.directory());
    run.config().remove(L"SendFeedback");
    run.config().set(L"Debug", DWORD{1});  // the Info records too
    run.variables[L"RD_CMD_ARGS"] = L"--db-password=s3cret -v \"pwd=two words\"";
    const std::pair<const wchar_t*, std::wstring> failures[] = {
        {L"RD_CMD_BINARY", run.path(L"missing.exe")}, {L"RD_STDIN", run.path(L"missing.txt")},
        {L"RD_STDOUT", run.path(L"no such dir\\out.txt")}, {L"RD_CMD_BINARY", run.path(L"rd\"child.exe")}};
    for (std::size_t i = 0; i < std::size(failures); ++i) {
        SCOPED_TRACE(testing::PrintToString(failures[i].second));
        const std::wstring kept = std::exchange(run.variables[failures[i].first], failures[i].second);
        std::string seen;  // the event log's strings and the console of one run, then the records and reports of all
        // Only Wine shows the strings in a trace; Windows' event log gets the records' own text.
        const std::size_t runs = test_support::runningUnderWine() ? 2 : 1;
        if (runs == 2) {
            for (const std::string& line : run.traced(L"+eventlog", L"trace" + std::to_wstring(i))) seen += line + "\n";
            EXPECT_NE(seen.find("err:eventlog"), std::string::npos) << "no error reported to the event log";
        }
        const reliability::AgentResult result = run.run();
        run.variables[failures[i].first] = kept;
        EXPECT_EQ(result.errors.size(), runs * (i + 1));
        for (const std::wstring& record : result.records) seen += cstr(record, CP_UTF8);
        for (const auto& report : sent(bin, runs * (i + 1))) seen += report.second;
        seen += result.output;
        for (const char* secret : {"s3cret", "two words"}) EXPECT_EQ(seen.find(secret), std::string::npos) << secret;
    }
}

// COM and the DOM cost more than a task run under Wine, DLLs that bring user32 up 9 ms each: a
// run that succeeds loads none of them, one that reports (no sender installed) loads the DOM.
TEST(ReportAgent, OnlyAReportLoadsComAndTheXmlDom) {
    reliability::TaskRun run;
    run.config().remove(L"SendFeedback");
    const std::wstring agent = test_process::siblingPath(L"rundock.exe");
    const auto loadedBy = [&](const wchar_t* timeout) {
        run.variables[L"RD_TIMEOUT"] = timeout;
        return test_process::loadedDlls(agent, test_process::commandLine(agent, {}),
                                        test_process::taskEnvironment(run.variables), run.directory());
    };
    const std::set<std::wstring> succeeded = loadedBy(L"30");
    for (const wchar_t* dll :
         {L"ole32.dll", L"oleaut32.dll", L"msxml6.dll", L"shell32.dll", L"shlwapi.dll", L"user32.dll"})
        EXPECT_EQ(succeeded.count(dll), 0u) << testing::PrintToString(dll) << " loaded by a successful run";
    EXPECT_EQ(loadedBy(L"soon").count(L"msxml6.dll"), 1u);
}
