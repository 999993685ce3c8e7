#pragma once
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vorla::test {

// The vorla program as a child process with its standard output and error in one pipe, for
// tests that drive it while it runs (the service). env entries replace the inherited variables
// of the same name. The destructor kills (by PID) and reaps a child still running, so no test
// leaves one behind.
class TVorlaProcess {
public:
    TVorlaProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
    ~TVorlaProcess();
    TVorlaProcess(const TVorlaProcess&) = delete;
    TVorlaProcess& operator=(const TVorlaProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    const std::string& Output() const { return m_output; }

    // Reads output until it holds text or timeout has passed; true when it does.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    // Reads whatever output is there (the pipe must not fill up while the child works).
    void Drain();
    // Waits for the exit, reading the output meanwhile; the wait status, or nullopt on time-out.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout);
    bool Running();
    // SIGKILL and reap: no shut-down, nothing saved on the way out.
    void Kill();

private:
    bool ReadSome(std::chrono::milliseconds timeout);

    pid_t m_pid = -1;
    int m_fd = -1;
    bool m_exited = false;
    std::string m_output;
};

}  // namespace vorla::test
