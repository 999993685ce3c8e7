#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/IniFile.h"
#include "support/VorlaProcess.h"
#include "support/DovecotServer.h"
#include "support/ProgramRun.h"
#include "support/SmtpServer.h"
#include "support/TempDir.h"

// The whole road of mail through Vorla with real peers on loopback, every one a process of its
// own: Dovecot holds the uplink mailbox, "vorla fetch" classifies and files it and sends the
// away replies through an aiosmtpd server, and fetchmail collects the accepted mail from the
// local POP3 server of "vorla --headless".
namespace vorla {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto kRunTimeout = 90s;

using TServiceProcess = test::TVorlaProcess;

// Whether something accepts connections on 127.0.0.1:port within timeout.
bool WaitForListener(std::uint16_t port, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (connected) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// Text with every CR LF pair made a lone LF.
std::string Unix(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
}

// The header block (up to the first empty line) and the body after it, LF line ends.
std::pair<std::string, std::string> SplitMessage(const std::string& text) {
    const std::string unix = Unix(text);
    const std::size_t gap = unix.find("\n\n");
    if (gap == std::string::npos) return {unix, ""};
    return {unix.substr(0, gap + 1), unix.substr(gap + 2)};
}

// One message of the uplink mailbox as a mail server delivered it (LF line ends). The
// Received line is what a delivering server leaves; Vorla puts its stamp above it.
struct TUplinkMail {
    std::string sender;   // the From address
    std::string subject;
    std::string body;
    std::string Text() const {
        return "Received: from mx.example.org (mx.example.org [192.0.2.10])\n"
               "\tby mail.example.net with ESMTP id 4F2A; Mon, 4 Mar 2024 10:00:00 +0000\n"
               "From: Sender <" + sender + ">\n"
               "To: Fay <fay@example.net>\n"
               "Subject: " + subject + "\n"
               "Date: Mon, 4 Mar 2024 10:00:00 +0000\n"
               "Message-ID: <" + subject.substr(0, 4) + "@example.org>\n"
               "MIME-Version: 1.0\n"
               "Content-Type: text/plain; charset=utf-8\n"
               "Content-Transfer-Encoding: 8bit\n"
               "\n" + body;
    }
};

// Bodies that a careless POP3 or store path would change: dot lines (stuffed on the wire),
// a lone dot, trailing blanks and tabs, eight-bit text, a long line, an empty line in the
// middle and one line that looks like a header.
const std::vector<TUplinkMail> kAccepted = {
    {"ann@friends.example", "Lunch on Friday",
     "Hi Fay,\n.\n..two dots\n.leading dot\n\ntrailing blanks   \n\ttab first\nGr\xC3\xBC\xC3\x9F"
     "e aus K\xC3\xB6ln\nFrom: not a header here\n"},
    {"bob@friends.example", "Quarterly report",
     "Numbers:\n" + std::string(900, 'x') + "\n. \nend.\n"},
};
const TUplinkMail kRejected{"seller@junk.example", "cheap pills today", "Buy now.\n"};
const TUplinkMail kUndecided{"carl@stranger.example", "Hello from Carl", "Do we know each other?\n"};

const char kAwayText[] = "I am away until Monday.\r\nYour mail will wait for me.\r\n";

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = test::TDovecotServer::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        if (!test::ProgramExists("fetchmail")) GTEST_SKIP() << "fetchmail is not installed (scripts/deps)";
        m_dovecot = std::make_unique<test::TDovecotServer>(std::vector<test::TPopUser>{{"fay", "faypw"}});
        m_smtp = std::make_unique<test::TSmtpServer>();
        ForceDirectories(m_dir / "run/");
        ForceDirectories(m_out);
    }

    std::vector<std::string> Env() const {
        return {"XDG_RUNTIME_DIR=" + (m_dir / "run"), "XDG_CONFIG_HOME=" + (m_dir / "config")};
    }
    test::TProgramResult Vorla(std::vector<std::string> args) {
        args.insert(args.begin(), {VORLA_BINARY, "--home", m_home});
        return test::RunProgram(args, Env(), kRunTimeout);
    }
    // Paths of the message files in one of the account's folders.
    std::vector<std::string> Stored(const std::string& folder) const {
        const std::string path = m_home + "accounts/" + m_folder + "/" + folder + "/";
        std::vector<std::string> files = FindFiles(path, "*.msg");
        for (std::string& name : files) name = path + name;
        return files;
    }

    // fetchmail with its own home and rc file (0600), collecting "fay" from the local server
    // without keeping; each message goes to the delivery script as the next file in m_out.
    test::TProgramResult Fetchmail(std::uint16_t port) {
        const std::string home = m_dir / "fetchmail/";
        ForceDirectories(home);
        test::WriteFile(home + "deliver.sh", "#!/bin/sh\nn=$(ls '" + m_out + "' | wc -l)\ncat > '" + m_out +
                                                 "'$(printf %05d $((n + 1))).eml\n");
        const std::string rc = home + "fetchmailrc";
        test::WriteFile(rc, "set no bouncemail\n"
                            "poll 127.0.0.1 with service " + std::to_string(port) +
                                " protocol pop3 uidl auth password\n"
                                "  user 'fay' there with password 'faypw' is 'root' here\n"
                                "  sslproto '' no sslcertck\n"
                                "  no rewrite\n"
                                "  mda '/bin/sh " + home + "deliver.sh'\n"
                                "  no keep\n");
        ::chmod(rc.c_str(), 0600);
        return test::RunProgram({"fetchmail", "--nodetach", "-v", "--pidfile", home + "fetchmail.pid", "-f", rc}, {"FETCHMAILHOME=" + home, "HOME=" + home},
                                kRunTimeout);
    }

    test::TTempDir m_dir;
    std::string m_home = m_dir / "home/";
    std::string m_out = m_dir / "delivered/";
    std::string m_folder;  // the account's folder name under accounts/
    std::unique_ptr<test::TDovecotServer> m_dovecot;
    std::unique_ptr<test::TSmtpServer> m_smtp;
};

TEST_F(EndToEndTest, MailTravelsFromTheUplinkThroughTheFiltersToTheMailClient) {
    // ---- The account, its away text and the global rules, set up as a user would.
    const test::TProgramResult added =
        Vorla({"account", "add", "Fay", "email=fay@example.net", "popserver=127.0.0.1",
               "popport=" + std::to_string(m_dovecot->Port()), "loginname=fay", "password=faypw", "enablefetch=1",
               "enablefilters=1", "away=1", "enablesend=1", "senddirect=0", "smtpserver=127.0.0.1",
               "smtpport=" + std::to_string(m_smtp->Port())});
    ASSERT_EQ(added.exitCode, 0) << added.out << added.err;
    std::smatch folder;
    ASSERT_TRUE(std::regex_search(added.out, folder, std::regex("\\(folder ([^)]+)\\)"))) << added.out;
    m_folder = folder[1];
    test::WriteFile(m_home + "accounts/" + m_folder + "/away.txt", kAwayText);

    test::WriteFile(m_dir / "rules.fil", "\"friends\",\"Accept\",\"From\",\"@friends.example\",\"1\"\r\n"
                                         "\"pills\",\"Reject\",\"Subject\",\"cheap pills\",\"1\"\r\n");
    const test::TProgramResult imported = Vorla({"rules", "--import", m_dir / "rules.fil"});
    ASSERT_EQ(imported.exitCode, 0) << imported.out << imported.err;

    // ---- The uplink mailbox: two friends, one rejected, one that no rule decides.
    m_dovecot->AddMessage("fay", kAccepted[0].Text());
    m_dovecot->AddMessage("fay", kRejected.Text());
    m_dovecot->AddMessage("fay", kUndecided.Text());
    m_dovecot->AddMessage("fay", kAccepted[1].Text());
    ASSERT_EQ(m_dovecot->MessageFiles("fay").size(), 4u);

    // ---- One fetch: classify, file, delete on the uplink, send the away replies.
    const test::TProgramResult fetched = Vorla({"fetch"});
    ASSERT_EQ(fetched.exitCode, 0) << fetched.out << fetched.err;
    EXPECT_THAT(fetched.out,
                HasSubstr("\tFETCH\tFay\tAccepted=2 Trashed=0 Quarantined=1 Rejected=1 Purged=0 Errors=0\n"))
        << fetched.out;
    EXPECT_TRUE(m_dovecot->MessageFiles("fay").empty()) << "the uplink still holds messages";
    // The rejected message was judged by its header alone: three retrieved, all four deleted.
    EXPECT_TRUE(m_dovecot->WaitForLog("retr=3/", 1, 5000)) << m_dovecot->LogText();
    EXPECT_TRUE(m_dovecot->WaitForLog("del=4/4", 1, 5000)) << m_dovecot->LogText();
    EXPECT_EQ(Stored("vorla").size(), 2u);
    ASSERT_EQ(Stored("quarantine").size(), 1u);
    EXPECT_THAT(test::ReadFile(Stored("quarantine")[0]), HasSubstr("Subject: " + kUndecided.subject));
    EXPECT_TRUE(Stored("trash").empty());
    EXPECT_TRUE(Stored("queue").empty()) << "away replies left in the queue: " << fetched.out;

    const std::string log = test::ReadFile(m_home + "vorla.log");
    EXPECT_THAT(log, HasSubstr("Fay\tRejected - (global:pills) "));
    EXPECT_THAT(log, ::testing::ContainsRegex("Fay\tRejected - \\(global:pills\\) [^\n]*Subject: cheap pills today"));
    EXPECT_THAT(log, HasSubstr("Fay\tAccepted - (global:friends) "));
    EXPECT_THAT(log, HasSubstr("Fay\tAutoReply - Away - To: ann@friends.example"));
    EXPECT_THAT(log, Not(HasSubstr("To: seller@junk.example")));

    // ---- The away replies as the SMTP server took them: one per answered sender, from the
    // account's address, marked as automatic, with the away text.
    std::map<std::string, test::TSmtpReceived> replies;  // recipient -> delivery
    for (const test::TSmtpReceived& d : m_smtp->Deliveries()) {
        ASSERT_EQ(d.rcptTos.size(), 1u) << d.data;
        EXPECT_TRUE(replies.emplace(d.rcptTos[0], d).second) << "two replies to " << d.rcptTos[0];
    }
    const std::vector<std::pair<std::string, std::string>> wanted = {
        {kAccepted[0].sender, kAccepted[0].subject},
        {kAccepted[1].sender, kAccepted[1].subject},
        {kUndecided.sender, kUndecided.subject},  // left in the quarantine: answered too
    };
    EXPECT_EQ(replies.size(), wanted.size());
    for (const auto& [sender, subject] : wanted) {
        SCOPED_TRACE(sender);
        const auto it = replies.find(sender);
        ASSERT_NE(it, replies.end());
        const test::TSmtpReceived& reply = it->second;
        EXPECT_EQ(reply.mailFrom, "fay@example.net");
        const auto [header, body] = SplitMessage(reply.data);
        EXPECT_THAT("\n" + header, HasSubstr("\nAuto-Submitted: auto-replied\n"));
        EXPECT_THAT("\n" + header, HasSubstr("\nSubject: Re: " + subject + "\n"));
        EXPECT_THAT("\n" + header, HasSubstr("\nTo: Sender <" + sender + ">\n"));
        EXPECT_THAT("\n" + header, ::testing::ContainsRegex("\nFrom: [^\n]*fay@example\\.net"));
        EXPECT_EQ(body, Unix(kAwayText));
    }
    EXPECT_EQ(replies.count(kRejected.sender), 0u);

    // ---- The local POP3 server of the service, and fetchmail as the user's mail client.
    const std::uint16_t popPort = test::FreeLoopbackPort();
    {
        TIniFile ini(m_home + "vorla.ini");
        ini.WriteBool("options", "server", true);
        ini.WriteBool("options", "timerenabled", false);
        ini.WriteString("bind", "ipaddress", "127.0.0.1");
        ini.WriteInteger("bind", "port", popPort);
    }
    TServiceProcess service({"--headless", "--home", m_home}, Env());
    ASSERT_TRUE(service.WaitForOutput("Server activated on 127.0.0.1 port " + std::to_string(popPort), 20s))
        << service.Output();
    ASSERT_TRUE(WaitForListener(popPort, 10s)) << service.Output();

    const test::TProgramResult collected = Fetchmail(popPort);
    service.Drain();
    ASSERT_EQ(collected.exitCode, 0) << collected.out << collected.err << service.Output();

    std::vector<std::string> delivered = FindFiles(m_out, "*.eml");
    ASSERT_EQ(delivered.size(), kAccepted.size()) << collected.err;
    std::map<std::string, std::string> bySubject;  // subject -> the text the mda got
    for (const std::string& path : delivered) {
        const std::string text = test::ReadFile(m_out + path);
        std::smatch subject;
        ASSERT_TRUE(std::regex_search(text, subject, std::regex("\nSubject: ([^\r\n]*)\r?\n"))) << text;
        bySubject[subject[1]] = text;
    }
    for (const TUplinkMail& mail : kAccepted) {
        SCOPED_TRACE(mail.subject);
        const auto it = bySubject.find(mail.subject);
        ASSERT_NE(it, bySubject.end());
        const auto [header, body] = SplitMessage(it->second);
        EXPECT_EQ(body, mail.body);  // byte for byte
        // The stamp stands right above the delivering server's Received line, which is kept.
        EXPECT_THAT(header, ::testing::ContainsRegex("\nReceived: accepted by Vorla; [^\n]+\n"
                                                     "Received: from mx\\.example\\.org "));
        EXPECT_THAT(header, HasSubstr("\nFrom: Sender <" + mail.sender + ">\n"));
        EXPECT_THAT(header, HasSubstr("\nMessage-ID: <" + mail.subject.substr(0, 4) + "@example.org>\n"));
    }
    EXPECT_EQ(bySubject.count(kRejected.subject), 0u);
    EXPECT_EQ(bySubject.count(kUndecided.subject), 0u);

    // fetchmail has quit: the deletions it asked for are carried out.
    const auto deadline = Clock::now() + 10s;
    while (!Stored("vorla").empty() && Clock::now() < deadline) std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(Stored("vorla").empty()) << "the vorla folder still holds messages after QUIT";
    EXPECT_EQ(Stored("quarantine").size(), 1u);

    // ---- The service ends cleanly on SIGTERM.
    ASSERT_EQ(::kill(service.Pid(), SIGTERM), 0);
    const std::optional<int> status = service.WaitExit(30s);
    ASSERT_TRUE(status.has_value()) << "no exit after SIGTERM: " << service.Output();
    ASSERT_TRUE(WIFEXITED(*status)) << service.Output();
    EXPECT_EQ(WEXITSTATUS(*status), 0) << service.Output();
    EXPECT_THAT(service.Output(), HasSubstr("Stopping on SIGTERM"));
}

}  // namespace
}  // namespace vorla
