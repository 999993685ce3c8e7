#pragma once
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// A test server written in Python (tests/support/*.py), run as a child process of the test:
// started with one configuration file as its argument, ready once it has written its port to
// a file, stopped by PID when the object goes.
namespace vorla::test {

// A JSON string literal for text: quotes, backslashes and control characters escaped.
std::string JsonText(const std::string& text);
// A JSON array of string literals.
std::string JsonList(const std::vector<std::string>& list);

class TPythonServer {
public:
    TPythonServer() = default;
    // Stops the process when one runs: SIGTERM, then SIGKILL when it has not ended after 5 s.
    ~TPythonServer();
    TPythonServer(const TPythonServer&) = delete;
    TPythonServer& operator=(const TPythonServer&) = delete;

    // Runs /usr/bin/python3 script configPath, standard output and error into outputPath, and
    // waits (at most 15 s) until readyPath holds a port number. The child gets SIGTERM when
    // this process dies. Throws std::runtime_error when it cannot be started, ends early or
    // does not become ready: failureText followed by the child's output. Call once.
    void Start(const std::string& script, const std::string& configPath, const std::string& readyPath,
               const std::string& outputPath, const std::string& failureText);

    // The port the server wrote; 0 before Start.
    std::uint16_t Port() const { return m_port; }

private:
    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
};

}  // namespace vorla::test
