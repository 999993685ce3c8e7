#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// A loopback TCP relay that records every byte going through it, to check what a client puts
// on the wire (for instance that no password goes out in clear text).
namespace vorla::test {

class TRecordingProxy {
public:
    // Listens on a free loopback port; each connection it accepts is relayed to
    // 127.0.0.1:targetPort, one connection at a time (a second waits until the first ends).
    // A connection lasts at most 60 s. Throws std::runtime_error when it cannot listen.
    // With sourceAddress (a loopback address such as "127.0.0.5") the relay connects from
    // there, so that the target sees each proxy as a client of its own.
    explicit TRecordingProxy(std::uint16_t targetPort, std::string sourceAddress = {});
    // Ends the relay and closes every socket.
    ~TRecordingProxy();
    TRecordingProxy(const TRecordingProxy&) = delete;
    TRecordingProxy& operator=(const TRecordingProxy&) = delete;

    std::uint16_t Port() const { return m_port; }
    // Everything clients sent, and everything the target sent back, over all connections so
    // far, in order.
    std::string ClientBytes() const;
    std::string ServerBytes() const;
    // Connections accepted so far.
    int Connections() const;

private:
    void Run(std::stop_token stop);
    void Relay(int client, std::stop_token stop);

    std::uint16_t m_targetPort;
    std::string m_sourceAddress;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    std::uint16_t m_port = 0;
    mutable std::mutex m_mutex;  // guards the three below
    std::string m_fromClient;
    std::string m_fromServer;
    int m_connections = 0;
    std::jthread m_thread;  // last: joined before the members it uses go
};

}  // namespace vorla::test
