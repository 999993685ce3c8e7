#include "support/DovecotServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "support/TempDir.h"

namespace vorla::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kDovecotPaths[] = {"/usr/sbin/dovecot", "/usr/local/sbin/dovecot"};
constexpr int kStartAttempts = 3;
constexpr auto kStartTimeout = 10s;
constexpr auto kStopTimeout = 5s;
constexpr auto kSettleTime = 50ms;

std::string DovecotProgram() {
    for (const char* path : kDovecotPaths)
        if (access(path, X_OK) == 0) return path;
    return "";
}

// The owner Dovecot runs mail processes as: it refuses root.
void GiveToNobody(const std::string& path) {
    const passwd* user = getpwnam("nobody");
    const group* grp = getgrnam("nogroup");
    if (!user || !grp) throw std::runtime_error("no user nobody or group nogroup");
    if (chown(path.c_str(), user->pw_uid, grp->gr_gid) != 0)
        throw std::runtime_error("cannot give " + path + " to nobody");
}

void MakeFolder(const std::string& path, bool forNobody) {
    if (mkdir(path.c_str(), forNobody ? 0700 : 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + path);
    if (forNobody) GiveToNobody(path);
}

bool PortAccepts(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

std::string ReadIfThere(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec) ? ReadFile(path) : std::string();
}

}  // namespace

std::uint16_t FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        throw std::runtime_error("cannot find a free loopback port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

std::string TDovecotServer::Unavailable() {
    if (DovecotProgram().empty()) return "Dovecot is not installed (dovecot-core, dovecot-pop3d)";
    if (geteuid() != 0) return "a Dovecot test server needs root to give its mail files to nobody";
    return "";
}

TDovecotServer::TDovecotServer(std::vector<TPopUser> users, std::optional<TDovecotTls> tls,
                               std::string introspectionUrl)
    : m_users(std::move(users)), m_tls(std::move(tls)), m_introspectionUrl(std::move(introspectionUrl)) {
    const std::string why = Unavailable();
    if (!why.empty()) throw std::runtime_error(why);
    // Under /tmp, not under a private temporary folder: Dovecot's processes need o+x on
    // every parent of their folders.
    std::string templ = "/tmp/vorla-dovecot-XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    m_dir = templ + "/";
    try {
        chmod(templ.c_str(), 0755);
        MakeFolder(m_dir + "run", false);
        MakeFolder(m_dir + "state", false);
        MakeFolder(m_dir + "mail", true);
        std::string passwords;
        for (const TPopUser& user : m_users) {
            passwords += user.Name + ":{PLAIN}" + user.Password + "\n";
            const std::string home = m_dir + "mail/" + user.Name;
            MakeFolder(home, true);
            MakeFolder(home + "/Maildir", true);
            for (const char* sub : {"/Maildir/new", "/Maildir/cur", "/Maildir/tmp"}) MakeFolder(home + sub, true);
        }
        WriteFile(m_dir + "users", passwords);
        bool started = false;
        for (int attempt = 0; attempt < kStartAttempts && !started; ++attempt) started = Start();
        if (!started)
            throw std::runtime_error("Dovecot did not start:\n" + ReadIfThere(m_dir + "dovecot.out") +
                                     ReadIfThere(m_dir + "dovecot.log"));
    } catch (...) {
        Stop();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
        throw;
    }
}

TDovecotServer::~TDovecotServer() {
    Stop();
    std::error_code ec;
    fs::remove_all(m_dir, ec);
}

void TDovecotServer::WriteConfig() const {
    const std::string& d = m_dir;
    std::string conf =
        "protocols = pop3\n"
        "base_dir = " + d + "run\n"
        "state_dir = " + d + "state\n"
        "log_path = " + d + "dovecot.log\n"
        "info_log_path = " + d + "dovecot.log\n"
        "listen = 127.0.0.1\n"
        "disable_plaintext_auth = no\n"
        "auth_failure_delay = 0\n"
        "default_login_user = dovenull\n"
        "default_internal_user = dovecot\n"
        "mail_location = maildir:" + d + "mail/%u/Maildir\n" +
        (m_tls ? "ssl = yes\n"
                 "ssl_cert = <" + m_tls->certFile + "\n"
                 "ssl_key = <" + m_tls->keyFile + "\n"
               : std::string("ssl = no\n")) +
        (m_introspectionUrl.empty()
             ? std::string()
             : "auth_mechanisms = plain login xoauth2 oauthbearer\n"
               "passdb {\n"
               "  driver = oauth2\n"
               "  mechanisms = xoauth2 oauthbearer\n"
               "  args = " + d + "oauth2.conf.ext\n"
               "}\n") +
        "passdb {\n"
        "  driver = passwd-file\n"
        "  args = scheme=PLAIN " + d + "users\n" +
        (m_introspectionUrl.empty() ? "" : "  mechanisms = plain login\n") +
        "}\n"
        "userdb {\n"
        "  driver = static\n"
        "  args = uid=nobody gid=nogroup home=" + d + "mail/%u\n"
        "}\n"
        "service pop3-login {\n"
        "  inet_listener pop3 {\n"
        "    port = " + std::to_string(m_port) + "\n"
        "  }\n" +
        (m_tls ? "  inet_listener pop3s {\n"
                 "    port = " + std::to_string(m_tlsPort) + "\n"
                 "    ssl = yes\n"
                 "  }\n"
               : std::string()) +
        "}\n";
    WriteFile(d + "dovecot.conf", conf);
    if (!m_introspectionUrl.empty())
        WriteFile(d + "oauth2.conf.ext", "introspection_mode = post\n"
                                         "introspection_url = " + m_introspectionUrl + "\n"
                                         "force_introspection = yes\n"
                                         "username_attribute = username\n"
                                         "active_attribute = active\n"
                                         "active_value = true\n");
}

bool TDovecotServer::Start() {
    m_port = FreeLoopbackPort();
    m_tlsPort = 0;
    for (int tries = 0; m_tls && tries < 10 && (m_tlsPort == 0 || m_tlsPort == m_port); ++tries)
        m_tlsPort = FreeLoopbackPort();
    WriteConfig();
    const std::string program = DovecotProgram();
    const std::string conf = m_dir + "dovecot.conf";
    const std::string out = m_dir + "dovecot.out";
    m_pid = fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        // Only async-signal-safe calls between fork and exec. A test that dies takes its
        // server with it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
        }
        execl(program.c_str(), "dovecot", "-F", "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        if (PortAccepts(m_port) && (!m_tls || PortAccepts(m_tlsPort))) {
            // A master stopped in the first moments after it listens hangs in its shutdown
            // until it is killed; a short settling time avoids that.
            std::this_thread::sleep_for(kSettleTime);
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    Stop();
    return false;
}

void TDovecotServer::Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    int status = 0;
    while (waitpid(m_pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    m_pid = -1;
}

std::string TDovecotServer::MaildirOf(const std::string& user) const {
    const bool known = std::any_of(m_users.begin(), m_users.end(), [&](const TPopUser& u) { return u.Name == user; });
    if (!known) throw std::runtime_error("no such user: " + user);
    return m_dir + "mail/" + user + "/Maildir/";
}

std::string TDovecotServer::AddMessage(const std::string& user, const std::string& text) {
    const std::string maildir = MaildirOf(user);
    std::string lf;
    lf.reserve(text.size() + 1);
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lf += text[i];
    if (lf.empty() || lf.back() != '\n') lf += '\n';
    // Names that sort in delivery order: Dovecot numbers new mail by name.
    char name[64];
    std::snprintf(name, sizeof name, "1700000000.M%06uP%d.vorla-test", ++m_delivered, static_cast<int>(getpid()));
    // Written in tmp/ and renamed into new/, so that the running server never sees half a file.
    const std::string temp = maildir + "tmp/" + name;
    const std::string target = maildir + "new/" + name;
    WriteFile(temp, lf);
    chmod(temp.c_str(), 0600);
    GiveToNobody(temp);
    if (rename(temp.c_str(), target.c_str()) != 0) throw std::runtime_error("cannot deliver " + target);
    return target;
}

std::vector<std::string> TDovecotServer::MessageFiles(const std::string& user) const {
    const std::string maildir = MaildirOf(user);
    std::vector<std::pair<std::string, std::string>> files;  // name, path
    for (const char* sub : {"new", "cur"})
        for (const auto& entry : fs::directory_iterator(maildir + sub))
            if (entry.is_regular_file()) files.emplace_back(entry.path().filename().string(), entry.path().string());
    std::sort(files.begin(), files.end());
    std::vector<std::string> paths;
    for (auto& file : files) paths.push_back(std::move(file.second));
    return paths;
}

std::string TDovecotServer::LogText() const { return ReadIfThere(m_dir + "dovecot.log"); }

bool TDovecotServer::WaitForLog(const std::string& text, int count, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::string log = LogText();
        int found = 0;
        for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++found;
        if (found >= count) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

}  // namespace vorla::test
