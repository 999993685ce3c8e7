#include "support/PythonServer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/TempDir.h"

namespace vorla::test {
namespace {

constexpr char kPython[] = "/usr/bin/python3";
constexpr auto kStartTimeout = std::chrono::seconds(15);
constexpr auto kStopTimeout = std::chrono::seconds(5);

bool WaitForExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || r < 0) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonList(const std::vector<std::string>& list) {
    std::string out = "[";
    for (std::size_t i = 0; i < list.size(); ++i) out += (i ? "," : "") + JsonText(list[i]);
    return out + "]";
}

void TPythonServer::Start(const std::string& script, const std::string& configPath, const std::string& readyPath,
                          const std::string& outputPath, const std::string& failureText) {
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execl(kPython, kPython, script.c_str(), configPath.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    for (;;) {
        std::ifstream ready(readyPath);
        unsigned port = 0;
        if (ready >> port && port > 0 && port < 65536) {
            m_port = static_cast<std::uint16_t>(port);
            return;
        }
        int status = 0;
        const bool ended = waitpid(m_pid, &status, WNOHANG) == m_pid;
        if (ended || std::chrono::steady_clock::now() >= deadline) {
            if (!ended) {
                kill(m_pid, SIGKILL);
                WaitForExit(m_pid, kStopTimeout);
            }
            m_pid = -1;
            std::string output;
            try {
                output = ReadFile(outputPath);
            } catch (const std::exception&) {
            }
            throw std::runtime_error(failureText + output);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TPythonServer::~TPythonServer() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    if (!WaitForExit(m_pid, kStopTimeout)) {
        kill(m_pid, SIGKILL);
        WaitForExit(m_pid, kStopTimeout);
    }
}

}  // namespace vorla::test
