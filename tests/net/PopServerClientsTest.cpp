#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "PopServerFixture.h"
#include "support/ProgramRun.h"

// The local POP3 server against real mail clients that nobody here wrote: curl, Python's
// poplib and fetchmail, each fetching an account's 200 messages of about 5 KB over loopback.
using namespace vorla;
using namespace vorla::test;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

namespace {

constexpr int kMessageCount = 200;
constexpr std::chrono::milliseconds kClientTimeout = 120s;

std::string Unix(std::string text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
}

// received is original (line ends aside) with nothing but whole header lines put in front.
::testing::AssertionResult SameMessage(const std::string& original, const std::string& received) {
    const std::string want = Unix(original);
    const std::string got = Unix(received);
    if (got.size() < want.size() || got.compare(got.size() - want.size(), want.size(), want) != 0) {
        std::size_t at = 0;
        while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
        return ::testing::AssertionFailure() << "differs from byte " << at << ": got \""
                                             << got.substr(at > 40 ? at - 40 : 0, 120) << "\"";
    }
    const std::string added = got.substr(0, got.size() - want.size());
    static const std::regex headerLine("([!-9;-~]+:.*|[ \t].*)");
    std::size_t start = 0;
    while (start < added.size()) {
        const std::size_t end = added.find('\n', start);
        const std::string line = added.substr(start, end - start);
        if (!std::regex_match(line, headerLine))
            return ::testing::AssertionFailure() << "the client added a line that is no header line: " << line;
        start = end == std::string::npos ? added.size() : end + 1;
    }
    return ::testing::AssertionSuccess();
}

class PopServerClientsTest : public PopServerFixture {
protected:
    void SetUp() override {
        m_texts = Texts(kMessageCount);
        m_account = &AddAccount("alice", "secret", m_texts);
        Start();
        m_out = m_dir.Path() + "out/";
        std::filesystem::create_directories(m_out);
    }

    std::string Url(const std::string& path = "") const {
        return "pop3://127.0.0.1:" + std::to_string(m_port) + "/" + path;
    }

    // Every file in m_out is one of the messages, each message arrived once, and intact.
    void ExpectAllDelivered() {
        static const std::regex subject("\nSubject: Message number ([0-9]+)\r?\n");
        std::set<int> seen;
        int files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(m_out)) {
            ++files;
            const std::string text = ReadFile(entry.path().string());
            std::smatch match;
            ASSERT_TRUE(std::regex_search(text, match, subject)) << entry.path();
            const int n = std::stoi(match[1]);
            ASSERT_TRUE(n >= 1 && n <= kMessageCount) << n;
            SCOPED_TRACE("message " + std::to_string(n));
            EXPECT_TRUE(seen.insert(n).second);
            EXPECT_TRUE(SameMessage(m_texts[static_cast<std::size_t>(n - 1)], text));
        }
        EXPECT_EQ(files, kMessageCount);
        EXPECT_EQ(seen.size(), static_cast<std::size_t>(kMessageCount));
    }

    std::size_t StoredCount() const { return MessageFiles(m_account->folderPath).size(); }

    std::vector<std::string> m_texts;
    TAccount* m_account = nullptr;
    std::string m_out;
};

TEST_F(PopServerClientsTest, CurlListsRetrievesAndDeletesEveryMessage) {
    if (!ProgramExists("curl")) GTEST_SKIP() << "curl is not installed (scripts/deps)";
    const std::vector<std::string> login = {"curl", "--silent", "--show-error", "--max-time", "60", "-u", "alice:secret"};
    auto run = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = login;
        argv.insert(argv.end(), args.begin(), args.end());
        TProgramResult result = RunProgram(argv, {}, kClientTimeout);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result;
    };

    const TProgramResult listing = run({Url()});
    std::string expected;
    for (int n = 1; n <= kMessageCount; ++n)
        expected += std::to_string(n) + " " + std::to_string(FileForm(m_texts[static_cast<std::size_t>(n - 1)]).size()) + "\r\n";
    EXPECT_EQ(listing.out, expected);
    // One message's listing line: curl sends LIST n (and shows the one-line answer only in its
    // verbose report).
    const TProgramResult one = run({"--verbose", "--list-only", Url("7")});
    EXPECT_THAT(one.err, HasSubstr("> LIST 7\r\n< +OK 7 " + std::to_string(FileForm(m_texts[6]).size()) + "\r\n"));

    run({Url("[1-" + std::to_string(kMessageCount) + "]"), "-o", m_out + "#1.eml"});
    ExpectAllDelivered();
    EXPECT_EQ(StoredCount(), static_cast<std::size_t>(kMessageCount));  // retrieving deletes nothing

    run({"-X", "DELE", "-I", Url("[1-" + std::to_string(kMessageCount) + "]")});
    EXPECT_EQ(StoredCount(), 0u);
    EXPECT_EQ(m_account->folder->Count(), 0);
}

TEST_F(PopServerClientsTest, PythonPoplibRetrievesAndDeletesEveryMessage) {
    const std::string script = std::string(TEST_DATA_DIR) + "/../support/poplib_client.py";
    TProgramResult result = RunProgram(
        {"/usr/bin/python3", script, "127.0.0.1", std::to_string(m_port), "alice", "secret", m_out, "dele"}, {},
        kClientTimeout);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    ExpectAllDelivered();
    EXPECT_EQ(StoredCount(), 0u);

    long long total = 0;
    for (const std::string& text : m_texts) total += static_cast<long long>(FileForm(text).size());
    EXPECT_THAT(result.out, HasSubstr("\"stat\": [200, " + std::to_string(total) + "]"));
    EXPECT_THAT(result.out, HasSubstr("\"capa\": [\"PIPELINING\", \"TOP\", \"UIDL\", \"USER\"]"));
    EXPECT_THAT(result.out, HasSubstr("\"list\": [\"1 " + std::to_string(FileForm(m_texts[0]).size()) + "\""));
    // The top of message 1: its header, the empty line and two body lines.
    EXPECT_THAT(result.out, HasSubstr("Content-Type: text/plain; charset=us-ascii\\r\\n\\r\\nLine 000 of message 1"));
    EXPECT_THAT(result.out, HasSubstr("Line 001 of message 1: the quick brown fox jumps over the lazy dog"));
    EXPECT_THAT(result.out, ::testing::Not(HasSubstr("Line 002 of message 1")));
    std::smatch ids;
    std::set<std::string> unique;
    std::string rest = result.out;
    static const std::regex uidLine("\"([0-9]+) ([0-9a-f]{24}(-[0-9]+)?)\"");
    while (std::regex_search(rest, ids, uidLine)) {
        unique.insert(ids[2]);
        rest = ids.suffix();
    }
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kMessageCount));
}

class FetchmailTest : public PopServerClientsTest {
protected:
    // Writes the rc file (mode 0600) for a run with its own FETCHMAILHOME; each message goes to
    // the delivery script, which files it as the next numbered file in m_out.
    void Prepare(const std::string& home, bool keep) {
        std::filesystem::create_directories(home);
        WriteFile(home + "deliver.sh", "#!/bin/sh\nn=$(ls '" + m_out + "' | wc -l)\ncat > '" + m_out +
                                           "'$(printf %05d $((n + 1))).eml\n");
        const std::string rc = home + "fetchmailrc";
        WriteFile(rc, "set no bouncemail\n"
                      "poll 127.0.0.1 with service " + std::to_string(m_port) +
                          " protocol pop3 uidl auth password\n"
                          "  user 'alice' there with password 'secret' is 'root' here\n"
                          "  sslproto '' no sslcertck\n"
                          "  no rewrite\n"
                          "  mda '/bin/sh " + home + "deliver.sh'\n" +
                          (keep ? "  keep\n" : "  no keep\n"));
        ::chmod(rc.c_str(), 0600);
    }

    TProgramResult Fetch(const std::string& home) {
        return RunProgram({"fetchmail", "--nodetach", "-v", "--pidfile", home + "fetchmail.pid", "-f", home + "fetchmailrc"},
                          {"FETCHMAILHOME=" + home, "HOME=" + home}, kClientTimeout);
    }
};

TEST_F(FetchmailTest, KeepingMailOnTheServerFetchesEachMessageOnce) {
    if (!ProgramExists("fetchmail")) GTEST_SKIP() << "fetchmail is not installed (scripts/deps)";
    const std::string home = m_dir.Path() + "fetchmail-keep/";
    Prepare(home, true);
    const TProgramResult first = Fetch(home);
    ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
    ExpectAllDelivered();
    EXPECT_EQ(StoredCount(), static_cast<std::size_t>(kMessageCount));

    // After a restart of the server (nothing remembered), the second run recognises every
    // message by its UIDL id: nothing new (exit code 1).
    Start();
    Prepare(home, true);
    const TProgramResult second = Fetch(home);
    EXPECT_EQ(second.exitCode, 1) << second.out << second.err;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_out), std::filesystem::directory_iterator()),
              kMessageCount);
    EXPECT_EQ(StoredCount(), static_cast<std::size_t>(kMessageCount));
}

TEST_F(FetchmailTest, FetchingWithoutKeepEmptiesTheFolder) {
    if (!ProgramExists("fetchmail")) GTEST_SKIP() << "fetchmail is not installed (scripts/deps)";
    const std::string home = m_dir.Path() + "fetchmail-flush/";
    Prepare(home, false);
    const TProgramResult result = Fetch(home);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    ExpectAllDelivered();
    EXPECT_EQ(StoredCount(), 0u);
    EXPECT_EQ(m_account->folder->Count(), 0);
}

}  // namespace
