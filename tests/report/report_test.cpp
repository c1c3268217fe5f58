// Error reports: the handler's rules with a substitute system, then the real
// helpers, the stand-in sender (rdsender) and the agent end to end.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <regex>
#include <thread>

#include "exec/quoting.h"
#include "report/handler.h"
#include "runtime/text.h"
#include "tests/support/agent_run.h"

namespace {

using SendErrorReport::LogHandler;

// The tags of a document, in order.
std::vector<std::string> tagsOf(const std::string& xml) {
    std::vector<std::string> tags;
    static const std::regex tag("<([a-z_A-Z]+)>");
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), tag); it != std::sregex_iterator(); ++it)
        tags.push_back((*it)[1]);
    return tags;
}

// The text of the first element called name, as an XML reader gets it: the
// serialiser writes line ends as CRLF and a carriage return as "&#13;".
std::string elementText(const std::string& xml, const std::string& name) {
    const std::size_t start = xml.find("<" + name + ">");
    if (start == std::string::npos) return "<absent>";
    const std::size_t from = start + name.size() + 2;
    std::string text = xml.substr(from, xml.find("</" + name + ">", from) - from);
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\r\n") == 0) continue;
        bool entity = false;
        for (const auto& [reference, character] : {std::pair{"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'},
                                                   {"&#13;", '\r'}, {"&amp;", '&'}})
            if (text.compare(i, strlen(reference), reference) == 0) {
                decoded += character;
                i += strlen(reference) - 1;
                entity = true;
                break;
            }
        if (!entity) decoded += text[i];
    }
    return decoded;
}

const std::vector<std::string> kTags = {"error",   "source",   "severity", "datetime",        "summary",
                                        "component", "message", "hits",     "additional_info", "command_line",
                                        "processId", "threadId"};

// The substitute system: a clock moved by hand, and senders that only keep
// what they are given.
class FakeSystem : public SendErrorReport::ISystemHelper {
public:
    struct Report {
        std::wstring commandLine;
        std::string document;
    };
    class Process : public SendErrorReport::IProcessHelper {
    public:
        Process(FakeSystem& system, std::wstring commandLine) : system_(system), commandLine_(std::move(commandLine)) {}
        void start() override {
            if (system_.failStart) throw vexception(L"start failed", raiseSite("test", 1));
        }
        void write(const std::string& data) override { system_.reports.push_back({commandLine_, data}); }

    private:
        FakeSystem& system_;
        std::wstring commandLine_;
    };

    bool isFeedbackEnabled() override { return feedback; }
    std::wstring getProductRoot() override { return L"C:\\Product Root"; }
    std::wstring getProductData() override { return L"C:\\data"; }
    std::wstring getCurrentTime() override { return L"20261205T070503"; }
    std::wstring moduleName() override {
        if (failModuleName) throw vexception(L"no module", raiseSite("test", 1));
        return L"C:\\Product Root\\admin\\bin64\\rundock.exe";
    }
    std::wstring getCommandLine() override { return L"rundock.exe \"--db-password=s3 cret\" -v"; }
    std::uint32_t getProcessId() override { return 77; }
    std::uint32_t getThreadId() override { return 88; }
    std::shared_ptr<SendErrorReport::IProcessHelper> createProcess(const std::wstring& commandLine) override {
        return std::make_shared<Process>(*this, commandLine);
    }
    bool fileExists(const std::wstring& path) override {
        return ticket.has_value() && path == L"C:\\data\\var\\update_ticket";
    }
    std::string readFile(const std::wstring&) override {
        if (*ticket == "<unreadable>") throw vexception(L"unreadable", raiseSite("test", 1));
        return *ticket;
    }
    SYSTEMTIME getLocalTime() override {
        FILETIME base;
        const SYSTEMTIME start{2026, 12, 6, 5, 7, 5, 3, 0};
        SystemTimeToFileTime(&start, &base);
        ULARGE_INTEGER at{{base.dwLowDateTime, base.dwHighDateTime}};
        at.QuadPart += minutes * 600000000ULL;
        const FILETIME moved{at.LowPart, at.HighPart};
        SYSTEMTIME now;
        FileTimeToSystemTime(&moved, &now);
        return now;
    }

    bool feedback = true;
    bool failStart = false;
    bool failModuleName = false;
    std::optional<std::string> ticket;
    std::uint64_t minutes = 0;
    std::vector<Report> reports;
};

struct Handled {
    std::shared_ptr<FakeSystem> system = std::make_shared<FakeSystem>();
    LogHandler handler{system};
    // The hits of the report each record gave; 0 for none.
    std::uint32_t log(const std::wstring& text, LogLevel level = Error) {
        const std::size_t before = system->reports.size();
        handler.handleMessage(level, text);
        if (system->reports.size() == before) return 0;
        return std::stoul(elementText(system->reports.back().document, "hits"));
    }
};

}  // namespace

TEST(ReportHandler, ReportsEachTextOncePerDayWithItsHits) {
    Handled h;
    EXPECT_EQ(h.log(L"warned", Warning), 0u);
    EXPECT_EQ(h.log(L""), 0u);
    EXPECT_EQ(h.log(L"failed"), 1u);
    h.system->minutes = 30;
    EXPECT_EQ(h.log(L"failed"), 0u);
    EXPECT_EQ(h.log(L"failed", Crash), 0u);
    EXPECT_EQ(h.log(L"other"), 1u);
    h.system->minutes = 24 * 60 - 1;
    EXPECT_EQ(h.log(L"failed"), 0u);
    h.system->minutes = 24 * 60;
    EXPECT_EQ(h.log(L"failed"), 5u);
    EXPECT_EQ(h.log(L"failed"), 0u);
    h.system->feedback = false;
    h.system->minutes = 96 * 60;
    EXPECT_EQ(h.log(L"failed"), 0u);
    // A report that fails is counted all the same.
    h.system->feedback = true;
    h.system->failStart = true;
    EXPECT_NO_THROW(h.log(L"lost"));
    h.system->failStart = false;
    EXPECT_EQ(h.log(L"lost"), 0u);
}

TEST(ReportHandler, RemembersTheHundredLatestTexts) {
    Handled h;
    for (int i = 0; i < 101; ++i) {
        h.system->minutes = i;
        ASSERT_EQ(h.log(L"text " + std::to_wstring(i)), 1u);
    }
    // The 101st evicted the oldest, which is new again; the others are known.
    EXPECT_EQ(h.log(L"text 0"), 1u);
    EXPECT_EQ(h.log(L"text 2"), 0u);
    // Texts stamped in the same minute: the one just added is never the one evicted.
    Handled same;
    for (int i = 0; i < 150; ++i) ASSERT_EQ(same.log(L"same " + std::to_wstring(i)), 1u);
    EXPECT_EQ(same.log(L"same 149"), 0u);
}

TEST(ReportHandler, DocumentHoldsTheRecordElementByElement) {
    Handled h;
    h.log(L"\r\nfirst <line> & \"more\"\r\nsecond \u00e9");
    ASSERT_EQ(h.system->reports.size(), 1u);
    const FakeSystem::Report& report = h.system->reports[0];
    EXPECT_EQ(report.commandLine, L"\"C:\\Product Root\\admin\\bin\\send-error-report.exe\" backend");
    EXPECT_EQ(tagsOf(report.document), kTags);
    EXPECT_EQ(elementText(report.document, "source"), "backend");
    EXPECT_EQ(elementText(report.document, "severity"), "error");
    EXPECT_EQ(elementText(report.document, "datetime"), "20261205T070503");
    EXPECT_EQ(elementText(report.document, "summary"), "first <line> & \"more\"");
    EXPECT_EQ(elementText(report.document, "component"), "rundock.exe");
    EXPECT_EQ(elementText(report.document, "message"), "\r\nfirst <line> & \"more\"\r\nsecond \xc3\xa9");
    EXPECT_EQ(elementText(report.document, "command_line"), "rundock.exe \"--db-password=*\" -v");
    EXPECT_EQ(elementText(report.document, "processId"), "77");
    EXPECT_EQ(elementText(report.document, "threadId"), "88");
    EXPECT_EQ(report.document.find("s3"), std::string::npos);
    EXPECT_EQ(report.document.rfind("<error>", 0), 0u) << "no declaration before the root";

    // The ticket, trimmed, when it can be read; "Unknown" for a missing module name.
    h.system->ticket = " \tT-1\r\n";
    h.system->failModuleName = true;
    h.log(L"with ticket");
    std::vector<std::string> withTicket = kTags;
    withTicket.push_back("update_ticket");
    EXPECT_EQ(tagsOf(h.system->reports.back().document), withTicket);
    EXPECT_EQ(elementText(h.system->reports.back().document, "update_ticket"), "T-1");
    EXPECT_EQ(elementText(h.system->reports.back().document, "component"), "Unknown");
    EXPECT_EQ(elementText(h.system->reports.back().document, "summary"), "with ticket");
    h.system->ticket = "<unreadable>";
    h.log(L"unreadable ticket");
    EXPECT_EQ(tagsOf(h.system->reports.back().document), kTags);
}

namespace {

// The real helpers with the stand-in sender installed as the panel's.
class ReportSender : public testing::Test {
protected:
    void SetUp() override { install(); }
    // A fresh installation root: a sender of an earlier one may still run.
    void install() {
        root_.emplace(L"rdreport-");
        CreateDirectoryW((root_ / L"admin").c_str(), nullptr);
        CreateDirectoryW((root_ / L"admin\\bin").c_str(), nullptr);
        CreateDirectoryW((root_ / L"var").c_str(), nullptr);
        ASSERT_TRUE(CopyFileW(test_process::siblingPath(L"rdsender.exe").c_str(), sender().c_str(), FALSE));
        config_.set(L"PRODUCT_ROOT_D", root_->path());
        config_.set(L"PRODUCT_DATA_D", root_->path());
        config_.remove(L"SendFeedback");
    }
    void TearDown() override { SetEnvironmentVariableW(L"RDSENDER_MODE", nullptr); }

    std::wstring sender() const { return root_ / L"admin\\bin\\send-error-report.exe"; }

    // The kept input of every sender that has finished, waiting up to 20 s
    // for count of them.
    std::vector<std::string> sent(std::size_t count) const {
        std::vector<std::wstring> names;
        for (int i = 0; i < 400; ++i) {
            names = test_support::fileNames(root_ / L"admin\\bin\\sent-*.txt");
            if (names.size() >= count) break;
            Sleep(50);
        }
        std::vector<std::string> kept;
        for (const std::wstring& name : names) kept.push_back(test_support::readBytes(root_ / (L"admin\\bin\\" + name)));
        return kept;
    }

    // Declared first: the values it set are put back before it goes.
    struct Root : std::optional<test_support::TempDir> {
        std::wstring operator/(const std::wstring& name) const { return **this / name; }
    } root_;
    test_config::ConfigValues config_;
};

}  // namespace

TEST_F(ReportSender, FeedbackIsOffOnlyForTheExactWordFalse) {
    SendErrorReport::DefaultSystemHelper system;
    EXPECT_TRUE(system.isFeedbackEnabled());
    for (const auto& [text, enabled] : {std::pair{L"false", false}, {L"False", true}, {L"FALSE", true},
                                        {L"0", true}, {L"", true}, {L"false ", true}}) {
        config_.set(L"SendFeedback", text);
        EXPECT_EQ(system.isFeedbackEnabled(), enabled) << testing::PrintToString(std::wstring(text));
    }
    config_.set(L"SendFeedback", DWORD{0});
    EXPECT_THROW(system.isFeedbackEnabled(), vexception);
    config_.remove(L"PRODUCT_DATA_D");
    try {
        system.getProductData();
        ADD_FAILURE() << "no error for a missing PRODUCT_DATA_D";
    } catch (const VFileNotFoundException& e) {
        EXPECT_NE(e.message().find(L"value=PRODUCT_DATA_D"), std::wstring::npos);
    }
}

TEST_F(ReportSender, LongMarkupAndNonAsciiTextArrivesWhole) {
    std::wstring text = L"summary line\r\n";
    while (text.size() < 30000) text += L"<tag attr=\"v\">&amp; \u00e9\u4e2d\U0001F600</tag>\n";
    test_support::writeBytes(root_ / L"var\\update_ticket", "\xef\xbb\xbf T-\xc3\xa9 \n");
    LogHandler handler;
    handler.handleMessage(Error, text);
    const std::vector<std::string> kept = sent(1);
    ASSERT_EQ(kept.size(), 1u);
    const std::string document = kept[0].substr(kept[0].find('\n') + 1);
    EXPECT_EQ(splitCommandLine(wstr(kept[0].substr(0, kept[0].find('\n')), CP_UTF8)),
              (std::vector<std::wstring>{sender(), L"backend"}));
    EXPECT_TRUE(elementText(document, "message") == cstr(text, CP_UTF8)) << "the message differs";
    EXPECT_EQ(elementText(document, "summary"), "summary line");
    EXPECT_EQ(elementText(document, "update_ticket"), "\xef\xbb\xbf T-\xc3\xa9");
}

TEST_F(ReportSender, BadSettingsOrSendersLoseOnlyTheReport) {
    struct Row {
        const char* name;
        std::function<void()> arrange;
        std::size_t reports;
    };
    const Row rows[] = {
        {"missing sender", [&] { DeleteFileW(sender().c_str()); }, 0},
        {"missing root", [&] { config_.remove(L"PRODUCT_ROOT_D"); }, 0},
        {"sender exits at once", [&] { SetEnvironmentVariableW(L"RDSENDER_MODE", L"exit"); }, 0},
        {"missing data directory", [&] { config_.remove(L"PRODUCT_DATA_D"); }, 1},
        {"unreadable ticket", [&] { CreateDirectoryW((root_ / L"var\\update_ticket").c_str(), nullptr); }, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetEnvironmentVariableW(L"RDSENDER_MODE", nullptr);
        install();
        row.arrange();
        LogHandler handler;
        EXPECT_NO_THROW(handler.handleMessage(Error, L"bad input"));
        const std::vector<std::string> kept = sent(row.reports);
        ASSERT_EQ(kept.size(), row.reports);
        if (row.reports) {
            EXPECT_EQ(tagsOf(kept[0]), kTags);
        }
    }
}

TEST_F(ReportSender, ASenderThatNeverReadsHoldsTheCallerTenSecondsAtMost) {
    SetEnvironmentVariableW(L"RDSENDER_MODE", L"stall");
    auto handled = std::async(std::launch::async, [] {
        LogHandler handler;
        handler.handleMessage(Error, std::wstring(1 << 20, L'x'));
    });
    // Without the bound the write would wait for the sender for ever.
    ASSERT_EQ(handled.wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

TEST(ReportAgent, AFailedRunSendsOneReportAndFeedbackFalseNone) {
    reliability::TaskRun run;
    CreateDirectoryW((run.directory() + L"\\admin\\bin").c_str(), nullptr);
    const std::wstring sender = run.directory() + L"\\admin\\bin\\send-error-report.exe";
    ASSERT_TRUE(CopyFileW(test_process::siblingPath(L"rdsender.exe").c_str(), sender.c_str(), FALSE));
    run.config().set(L"PRODUCT_DATA_D", run.directory());
    run.variables[L"RD_TIMEOUT"] = L"soon";

    run.config().set(L"SendFeedback", L"false");
    ASSERT_EQ(run.run().exitCode, 1u);
    run.config().set(L"SendFeedback", L"False");
    const reliability::AgentResult failed = run.run();
    ASSERT_EQ(failed.exitCode, 1u);
    ASSERT_EQ(failed.errors.size(), 2u);  // both runs log to the one file

    std::vector<std::wstring> names;
    for (int i = 0; i < 400 && names.empty(); ++i, Sleep(50))
        names = test_support::fileNames(run.directory() + L"\\admin\\bin\\sent-*.txt");
    Sleep(300);  // a sender of the first run would have finished by now
    names = test_support::fileNames(run.directory() + L"\\admin\\bin\\sent-*");
    ASSERT_EQ(names.size(), 1u);
    const std::string kept = test_support::readBytes(run.directory() + L"\\admin\\bin\\" + names[0]);
    const std::string document = kept.substr(kept.find('\n') + 1);
    EXPECT_EQ(splitCommandLine(wstr(kept.substr(0, kept.find('\n')), CP_UTF8)),
              (std::vector<std::wstring>{sender, L"backend"}));
    EXPECT_EQ(tagsOf(document), kTags);
    EXPECT_EQ(elementText(document, "message"), cstr(failed.errors.back().substr(7), CP_UTF8));
    EXPECT_EQ(elementText(document, "summary"), "Invalid environment variable RD_TIMEOUT value 'soon'");
    EXPECT_EQ(elementText(document, "component"), "rundock.exe");
    EXPECT_EQ(elementText(document, "hits"), "1");
}
