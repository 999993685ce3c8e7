#pragma once
#include <string>

// How a connection is secured, and how the client side checks the server it reached.
namespace vorla {

// Stored in the settings as its number.
enum class TTlsMode : int {
    None = 0,      // plain text from start to end
    StartTls = 1,  // plain greeting, then an upgrade command (POP3 "STLS", SMTP "STARTTLS")
    Implicit = 2,  // TLS from the first byte (POP3 port 995, SMTP port 465)
};

// Client side of the handshake.
struct TTlsOptions {
    // Check the server's certificate chain against the trusted certificates and its name
    // against the host name connected to. Off, the connection is encrypted, but anybody on the
    // way can pose as the server.
    bool verifyPeer = true;
    // A PEM file, or a folder of PEM files, with certificates trusted in addition to the
    // system's store; empty for the system's store alone.
    std::string trustedCa;
};

}  // namespace vorla
