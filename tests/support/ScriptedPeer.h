#pragma once
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A tiny misbehaving TCP server on loopback, for the faults a real server does not produce:
// it accepts one connection and plays a script of writes, reads, pauses and a close.
namespace vorla::test {

struct TPeerStep {
    enum class TKind { Send, ReadLine, Pause, Close };
    TKind Kind;
    std::string Data;                      // Send: the bytes
    std::chrono::milliseconds Wait{0};     // Pause: how long
};

TPeerStep PeerSend(std::string bytes);
TPeerStep PeerReadLine();  // reads one line from the client (up to LF) and records it
TPeerStep PeerPause(std::chrono::milliseconds wait);
TPeerStep PeerClose();     // closes the connection at once

class TScriptedPeer {
public:
    // Listens on a free loopback port and, on its own thread, accepts one connection (waiting
    // at most 10 s) and plays script. A script that does not end with PeerClose then keeps
    // reading (and recording lines) until the client closes, at most 10 s. Every wait is
    // bounded; the destructor stops the thread early.
    explicit TScriptedPeer(std::vector<TPeerStep> script);
    ~TScriptedPeer();
    TScriptedPeer(const TScriptedPeer&) = delete;
    TScriptedPeer& operator=(const TScriptedPeer&) = delete;

    std::uint16_t Port() const { return m_port; }
    // Waits for the script to end, then: the lines the client sent, without line ends, in
    // order (a line cut off by the client's close is left out).
    std::vector<std::string> Received();
    // After Received: whether the client closed its side while the peer was reading.
    bool ClientClosed() const { return m_clientClosed; }

private:
    void Run(std::stop_token stop, std::vector<TPeerStep> script);

    int m_listenFd = -1;
    std::uint16_t m_port = 0;
    std::mutex m_mutex;  // guards m_received
    std::vector<std::string> m_received;
    bool m_clientClosed = false;
    std::jthread m_thread;  // last: joined before the members it uses go
};

}  // namespace vorla::test
