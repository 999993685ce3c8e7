#pragma once
#include <chrono>
#include <cstdint>
#include <string>

// A bare TCP client for protocol tests: bytes and lines exactly as they travel, every wait
// bounded. Throws std::runtime_error on a time-out, a close or a socket failure.
namespace vorla::test {

class TRawPopClient {
public:
    static constexpr std::chrono::milliseconds kDefaultWait{5000};

    // Connects to host:port (numeric IPv4).
    explicit TRawPopClient(std::uint16_t port, const std::string& host = "127.0.0.1");
    ~TRawPopClient();
    TRawPopClient(const TRawPopClient&) = delete;
    TRawPopClient& operator=(const TRawPopClient&) = delete;

    void Send(const std::string& bytes);
    void SendLine(const std::string& line) { Send(line + "\r\n"); }
    // The next line without its CR LF.
    std::string ReadLine(std::chrono::milliseconds wait = kDefaultWait);
    // SendLine, then ReadLine.
    std::string Command(const std::string& line, std::chrono::milliseconds wait = kDefaultWait);
    // Everything up to and including the first occurrence of end.
    std::string ReadUntil(const std::string& end, std::chrono::milliseconds wait = kDefaultWait);
    std::string ReadExactly(std::size_t count, std::chrono::milliseconds wait = kDefaultWait);
    // Waits for the server to close the connection; what it sent before comes back in
    // rest (when given). False when it stays open for wait.
    bool WaitClosed(std::chrono::milliseconds wait = kDefaultWait, std::string* rest = nullptr);
    // Closes at once, without QUIT (a dropped connection).
    void Drop();

private:
    // Receives more bytes into m_buffer; false on close.
    bool Fill(std::chrono::steady_clock::time_point deadline);

    int m_fd = -1;
    std::string m_buffer;
};

}  // namespace vorla::test
