// Load on the local POP3 server: kClients concurrent POP3 clients, each running
// kSessionsPerClient sessions (USER, PASS, STAT, RETR of every message, QUIT; no DELE)
// against one account's folder of kMessages messages of about 5 KB. The same load then runs
// against Dovecot serving the same messages, and the ratio is printed at the end.
//
// Each server runs in a process of its own, so that its peak memory can be told apart from the
// clients': the peak of the summed resident size (RSS) and of the proportional set size (PSS,
// shared pages split between the processes sharing them) over the server's processes, sampled
// while the load runs. Build with -DCMAKE_BUILD_TYPE=Release for figures worth comparing.
// Dovecot needs root (its mail files belong to nobody); without it that benchmark is skipped.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <functional>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mail/MessageStore.h"
#include "net/PopServer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kClients = 50;
constexpr int kSessionsPerClient = 4;
constexpr int kMessages = 200;
constexpr std::size_t kMessageSize = 5000;
constexpr const char* kUser = "alice";
constexpr const char* kPassword = "secret";
constexpr auto kIoWait = 30s;           // any one read or connect of the load clients
constexpr auto kStartWait = 10s;        // a server coming up
constexpr auto kStopWait = 5s;          // a server going down before SIGKILL
constexpr auto kSampleEvery = 20ms;     // memory sampling; PSS every kPssEvery-th sample
constexpr int kPssEvery = 5;
constexpr int kStatusLines = 1000;      // the engine's default status-history size

// --- Messages ---

std::string MessageText(int number) {
    char header[512];
    std::snprintf(header, sizeof header,
                  "Received: from mx%d.example.org (mx.example.org [192.0.2.%d]) by mail.example.net\r\n"
                  "From: Sender %d <sender%d@example.org>\r\nTo: alice@example.net\r\n"
                  "Subject: Message number %d\r\nDate: Mon, 07 Dec 2026 12:22:26 +0100\r\n"
                  "Message-ID: <%d.vorla-bench@example.org>\r\nMIME-Version: 1.0\r\n"
                  "Content-Type: text/plain; charset=us-ascii\r\n\r\n",
                  number, number % 250, number, number, number, number);
    std::string text = header;
    for (int line = 0; text.size() < kMessageSize; ++line) {
        char body[128];
        std::snprintf(body, sizeof body, "%sLine %03d of message %d: the quick brown fox jumps over the lazy dog\r\n",
                      line % 17 == 5 ? "." : "", line, number);
        text += body;
    }
    return text;
}

// The message file form: lines beginning with "." stuffed, the line "." added.
std::string FileForm(const std::string& text) {
    std::string file;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find("\r\n", start);
        if (text[start] == '.') file += '.';
        file.append(text, start, end + 2 - start);
        start = end + 2;
    }
    return file + ".\r\n";
}

std::string WithLfOnly(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    return out;
}

void WriteWhole(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string TempFolder(const char* prefix) {
    std::string templ = std::string("/tmp/") + prefix + "-XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    ::chmod(templ.c_str(), 0755);  // Dovecot's processes need o+x on every parent
    return templ + "/";
}

// --- Load clients ---

class TClient {
public:
    explicit TClient(std::uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("connect failed");
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_buffer.reserve(1 << 16);
    }
    ~TClient() { ::close(m_fd); }
    TClient(const TClient&) = delete;
    TClient& operator=(const TClient&) = delete;

    void Send(const std::string& line) {
        const std::string data = line + "\r\n";
        if (::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(data.size()))
            throw std::runtime_error("send failed");
    }
    // Reads up to and including end; returns how many bytes that was. The scan resumes where
    // the last look stopped, so a message is searched once however it arrives.
    std::size_t ReadUntil(std::string_view end) {
        std::size_t from = 0;
        for (;;) {
            const std::size_t at = m_buffer.find(end, from);
            if (at != std::string::npos) {
                const std::size_t length = at + end.size();
                m_buffer.erase(0, length);
                return length;
            }
            from = m_buffer.size() >= end.size() ? m_buffer.size() - end.size() + 1 : 0;
            Fill();
        }
    }
    std::string Line() {
        std::size_t at;
        while ((at = m_buffer.find("\r\n")) == std::string::npos) Fill();
        std::string line = m_buffer.substr(0, at);
        m_buffer.erase(0, at + 2);
        return line;
    }
    std::string Command(const std::string& line) {
        Send(line);
        return Line();
    }

private:
    void Fill() {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kIoWait).count())) <= 0)
            throw std::runtime_error("time-out");
        char chunk[65536];
        const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (got <= 0) throw std::runtime_error("closed by the server");
        m_buffer.append(chunk, static_cast<std::size_t>(got));
    }

    int m_fd = -1;
    std::string m_buffer;
};

struct TLoadResult {
    double seconds = 0;
    long sessions = 0;
    long messages = 0;
    long long bytes = 0;
    std::atomic<int> failures{0};
    std::string firstFailure;
    std::mutex failureMutex;  // guards firstFailure
};

// One session: log in, STAT, RETR every message, QUIT. Returns messages retrieved.
int RunSession(std::uint16_t port, long long& bytes) {
    TClient client(port);
    if (client.Line().rfind("+OK", 0) != 0) throw std::runtime_error("no greeting");
    if (client.Command(std::string("USER ") + kUser).rfind("+OK", 0) != 0) throw std::runtime_error("USER refused");
    if (client.Command(std::string("PASS ") + kPassword).rfind("+OK", 0) != 0) throw std::runtime_error("login failed");
    const std::string stat = client.Command("STAT");
    const int count = std::atoi(stat.c_str() + 4);
    if (stat.rfind("+OK", 0) != 0 || count != kMessages) throw std::runtime_error("STAT: " + stat);
    for (int n = 1; n <= count; ++n) {
        client.Send("RETR " + std::to_string(n));
        const std::string reply = client.Line();
        if (reply.rfind("+OK", 0) != 0) throw std::runtime_error("RETR: " + reply);
        bytes += static_cast<long long>(client.ReadUntil("\r\n.\r\n"));
    }
    if (client.Command("QUIT").rfind("+OK", 0) != 0) throw std::runtime_error("QUIT refused");
    return count;
}

void RunLoad(std::uint16_t port, TLoadResult& result) {
    std::atomic<long> messages{0};
    std::atomic<long> sessions{0};
    std::atomic<long long> bytes{0};
    const auto start = Clock::now();
    {
        std::vector<std::jthread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&] {
                for (int s = 0; s < kSessionsPerClient; ++s) {
                    try {
                        long long got = 0;
                        messages += RunSession(port, got);
                        bytes += got;
                        ++sessions;
                    } catch (const std::exception& e) {
                        if (result.failures++ == 0) {
                            std::scoped_lock lock(result.failureMutex);
                            result.firstFailure = e.what();
                        }
                    }
                }
            });
        }
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.sessions = sessions;
    result.messages = messages;
    result.bytes = bytes;
}

// --- Memory of a process tree ---

long long StatusValueKb(pid_t pid, const char* file, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    const std::size_t keyLength = std::strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, keyLength, key) == 0) return std::atoll(line.c_str() + keyLength);
    return 0;
}

std::vector<pid_t> ProcessTree(pid_t root) {
    std::vector<std::pair<pid_t, pid_t>> parents;  // pid, parent
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* entry = ::readdir(proc)) {
            const pid_t pid = std::atoi(entry->d_name);
            if (pid <= 0) continue;
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string text;
            std::getline(stat, text);
            const std::size_t close = text.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream rest(text.substr(close + 2));
            char state;
            pid_t parent = 0;
            rest >> state >> parent;
            parents.emplace_back(pid, parent);
        }
        ::closedir(proc);
    }
    std::vector<pid_t> tree = {root};
    for (std::size_t i = 0; i < tree.size(); ++i)
        for (const auto& [pid, parent] : parents)
            if (parent == tree[i]) tree.push_back(pid);
    return tree;
}

class TMemorySampler {
public:
    explicit TMemorySampler(pid_t root)
        : m_thread([this, root](std::stop_token stop) {
              for (int sample = 0; !stop.stop_requested(); ++sample) {
                  long long rss = 0, pss = 0;
                  const bool withPss = sample % kPssEvery == 0;
                  for (const pid_t pid : ProcessTree(root)) {
                      rss += StatusValueKb(pid, "status", "VmRSS:");
                      if (withPss) pss += StatusValueKb(pid, "smaps_rollup", "Pss:");
                  }
                  m_peakRssKb = std::max(m_peakRssKb.load(), rss);
                  if (withPss) m_peakPssKb = std::max(m_peakPssKb.load(), pss);
                  std::this_thread::sleep_for(kSampleEvery);
              }
          }) {}
    void Stop() {
        m_thread.request_stop();
        if (m_thread.joinable()) m_thread.join();
    }
    long long PeakRssKb() const { return m_peakRssKb; }
    long long PeakPssKb() const { return m_peakPssKb; }

private:
    std::atomic<long long> m_peakRssKb{0};
    std::atomic<long long> m_peakPssKb{0};
    std::jthread m_thread;  // last
};

bool PortAccepts(std::uint16_t port) {
    try {
        TClient probe(port);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void StopChild(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    const auto deadline = Clock::now() + kStopWait;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
}

// --- The servers ---

// Vorla's server in a child process, on a vorla folder of its own, with a status history
// like the engine's (time-stamped lines, bounded, under a lock).
class TVorlaServerProcess {
public:
    TVorlaServerProcess() : m_dir(TempFolder("vorla-bench")) {
        const std::string folder = m_dir + "vorla/";
        std::filesystem::create_directories(folder);
        for (int n = 1; n <= kMessages; ++n) {
            char name[32];
            std::snprintf(name, sizeof name, "%05d.msg", n);
            WriteWhole(folder + name, FileForm(MessageText(n)));
        }
        int ports[2];
        if (::pipe(ports) != 0) throw std::runtime_error("pipe failed");
        m_pid = ::fork();
        if (m_pid < 0) throw std::runtime_error("fork failed");
        if (m_pid == 0) {
            ::close(ports[0]);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ServeUntilTerminated(folder, ports[1]);
        }
        ::close(ports[1]);
        std::uint16_t port = 0;
        pollfd p{ports[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kStartWait).count())) != 1 ||
            ::read(ports[0], &port, sizeof port) != sizeof port)
            port = 0;
        ::close(ports[0]);
        if (port == 0) throw std::runtime_error("the Vorla server did not start");
        m_port = port;
    }
    ~TVorlaServerProcess() {
        StopChild(m_pid);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    TVorlaServerProcess(const TVorlaServerProcess&) = delete;
    TVorlaServerProcess& operator=(const TVorlaServerProcess&) = delete;
    std::uint16_t Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }

private:
    [[noreturn]] static void ServeUntilTerminated(const std::string& folderPath, int portPipe) {
        sigset_t terminate;
        sigemptyset(&terminate);
        sigaddset(&terminate, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &terminate, nullptr);  // inherited by the server's threads
        int code = 0;
        try {
            vorla::TZivadMessageCollection folder(folderPath);
            std::mutex historyMutex;  // guards history
            std::deque<std::string> history;
            vorla::TPopAccountAccess access;
            struct TMailbox : vorla::TPopMailbox {
                explicit TMailbox(vorla::TZivadMessageCollection& folder) : m_folder(folder) {}
                std::string Password() const override { return kPassword; }
                vorla::TZivadMessageCollection& VorlaFolder() override { return m_folder; }
                vorla::TZivadMessageCollection& m_folder;
            };
            access.find = [&](const std::string& login) -> std::shared_ptr<vorla::TPopMailbox> {
                if (login != kUser) return nullptr;
                return std::make_shared<TMailbox>(folder);
            };
            vorla::TPopServer server(
                [&](const std::string& text) {
                    char stamp[32];
                    const std::time_t now = std::time(nullptr);
                    std::tm local{};
                    localtime_r(&now, &local);
                    std::strftime(stamp, sizeof stamp, "%d %b %Y %H:%M:%S ", &local);
                    std::scoped_lock lock(historyMutex);
                    history.push_front(stamp + text);
                    while (history.size() > static_cast<std::size_t>(kStatusLines)) history.pop_back();
                },
                access);
            server.SetPort(0);
            server.SetMaxConnections(kClients + 14);
            server.SetActive(true);
            const std::uint16_t port = server.ListeningPort();
            if (::write(portPipe, &port, sizeof port) != sizeof port) code = 1;
            ::close(portPipe);
            int signal = 0;
            sigwait(&terminate, &signal);
            server.SetActive(false);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "Vorla server: %s\n", e.what());
            code = 1;
        }
        std::_Exit(code);
    }

    std::string m_dir;
    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
};

// Dovecot 2.3 with its default process settings, serving the same messages from a Maildir.
class TDovecotProcess {
public:
    static std::string Unavailable() {
        if (::access("/usr/sbin/dovecot", X_OK) != 0) return "Dovecot is not installed (dovecot-core, dovecot-pop3d)";
        if (::geteuid() != 0) return "Dovecot's mail files must belong to nobody: run as root";
        return "";
    }

    TDovecotProcess() : m_dir(TempFolder("vorla-bench-dovecot")) {
        const passwd* nobody = ::getpwnam("nobody");
        const group* nogroup = ::getgrnam("nogroup");
        if (!nobody || !nogroup) throw std::runtime_error("no user nobody or group nogroup");
        auto forNobody = [&](const std::string& path) {
            if (::chown(path.c_str(), nobody->pw_uid, nogroup->gr_gid) != 0) throw std::runtime_error("chown " + path);
        };
        for (const char* sub : {"run", "state"}) std::filesystem::create_directories(m_dir + sub);
        const std::string maildir = m_dir + "mail/" + kUser + "/Maildir/";
        for (const char* sub : {"new", "cur", "tmp"}) std::filesystem::create_directories(maildir + sub);
        for (const std::string& path : {m_dir + "mail", m_dir + "mail/" + kUser, maildir, maildir + "new",
                                       maildir + "cur", maildir + "tmp"})
            forNobody(path);
        for (int n = 1; n <= kMessages; ++n) {
            char name[64];
            std::snprintf(name, sizeof name, "new/%d.M%dP1.bench", 1700000000 + n, n);
            WriteWhole(maildir + name, WithLfOnly(MessageText(n)));
            forNobody(maildir + name);
        }
        WriteWhole(m_dir + "users", std::string(kUser) + ":{PLAIN}" + kPassword + "\n");

        for (int attempt = 0; attempt < 3 && m_port == 0; ++attempt) {
            const std::uint16_t port = FreePort();
            WriteConfig(port);
            m_pid = ::fork();
            if (m_pid < 0) throw std::runtime_error("fork failed");
            if (m_pid == 0) {
                const std::string out = m_dir + "dovecot.out";
                const std::string conf = m_dir + "dovecot.conf";
                const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
                ::dup2(fd, 1);
                ::dup2(fd, 2);
                ::prctl(PR_SET_PDEATHSIG, SIGTERM);
                ::execl("/usr/sbin/dovecot", "dovecot", "-F", "-c", conf.c_str(), static_cast<char*>(nullptr));
                ::_exit(127);
            }
            const auto deadline = Clock::now() + kStartWait;
            while (Clock::now() < deadline && ::waitpid(m_pid, nullptr, WNOHANG) == 0) {
                if (PortAccepts(port)) {
                    m_port = port;
                    break;
                }
                std::this_thread::sleep_for(20ms);
            }
            if (m_port == 0) StopChild(m_pid);
        }
        if (m_port == 0) throw std::runtime_error("Dovecot did not start; see " + m_dir + "dovecot.log");
    }
    ~TDovecotProcess() {
        StopChild(m_pid);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    TDovecotProcess(const TDovecotProcess&) = delete;
    TDovecotProcess& operator=(const TDovecotProcess&) = delete;
    std::uint16_t Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }

private:
    static std::uint16_t FreePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(fd);
        return ntohs(address.sin_port);
    }
    void WriteConfig(std::uint16_t port) const {
        const std::string& d = m_dir;
        WriteWhole(d + "dovecot.conf",
                   "protocols = pop3\nbase_dir = " + d + "run\nstate_dir = " + d + "state\n"
                   "log_path = " + d + "dovecot.log\ninfo_log_path = " + d + "dovecot.log\n"
                   "listen = 127.0.0.1\ndisable_plaintext_auth = no\nssl = no\nauth_failure_delay = 0\n"
                   "default_login_user = dovenull\ndefault_internal_user = dovecot\n"
                   "mail_location = maildir:" + d + "mail/%u/Maildir\n"
                   "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " + d + "users\n}\n"
                   "userdb {\n  driver = static\n  args = uid=nobody gid=nogroup home=" + d + "mail/%u\n}\n"
                   "service pop3-login {\n  inet_listener pop3 {\n    port = " + std::to_string(port) + "\n  }\n}\n");
    }

    std::string m_dir;
    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
};

struct TFigures {
    double sessionsPerSecond = 0;
    double messagesPerSecond = 0;
    long long peakRssKb = 0;
    long long peakPssKb = 0;
};
TFigures g_vorla, g_dovecot;

template <typename TServer>
void MeasureLoad(benchmark::State& state, TFigures& figures) {
    std::optional<TServer> server;
    try {
        server.emplace();
        long long warm = 0;
        RunSession(server->Port(), warm);  // first sight of the folder (Dovecot indexes it)
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    double seconds = 0;
    long sessions = 0, messages = 0;
    TMemorySampler sampler(server->Pid());
    for (auto _ : state) {
        TLoadResult result;
        RunLoad(server->Port(), result);
        if (result.failures > 0) {
            state.SkipWithError(("failed sessions: " + std::to_string(result.failures.load()) + ", first: " +
                                 result.firstFailure)
                                    .c_str());
            break;
        }
        state.SetIterationTime(result.seconds);
        seconds += result.seconds;
        sessions += result.sessions;
        messages += result.messages;
    }
    sampler.Stop();
    if (seconds <= 0) return;
    figures = {sessions / seconds, messages / seconds, sampler.PeakRssKb(), sampler.PeakPssKb()};
    state.counters["sessions/s"] = figures.sessionsPerSecond;
    state.counters["messages/s"] = figures.messagesPerSecond;
    state.counters["peak_rss_MiB"] = static_cast<double>(figures.peakRssKb) / 1024.0;
    state.counters["peak_pss_MiB"] = static_cast<double>(figures.peakPssKb) / 1024.0;
}

void BM_PopLoadVorla(benchmark::State& state) { MeasureLoad<TVorlaServerProcess>(state, g_vorla); }
void BM_PopLoadDovecot(benchmark::State& state) {
    const std::string why = TDovecotProcess::Unavailable();
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    MeasureLoad<TDovecotProcess>(state, g_dovecot);
}

BENCHMARK(BM_PopLoadVorla)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PopLoadDovecot)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_vorla.messagesPerSecond > 0 && g_dovecot.messagesPerSecond > 0) {
        std::printf("%d clients x %d sessions, %d messages of ~%zu bytes each session\n", kClients,
                    kSessionsPerClient, kMessages, kMessageSize);
        std::printf("Vorla / Dovecot: sessions/s %.2f, messages/s %.2f, peak RSS %.2f, peak PSS %.2f\n",
                    g_vorla.sessionsPerSecond / g_dovecot.sessionsPerSecond,
                    g_vorla.messagesPerSecond / g_dovecot.messagesPerSecond,
                    static_cast<double>(g_vorla.peakRssKb) / static_cast<double>(std::max(1LL, g_dovecot.peakRssKb)),
                    static_cast<double>(g_vorla.peakPssKb) / static_cast<double>(std::max(1LL, g_dovecot.peakPssKb)));
    }
    return 0;
}
