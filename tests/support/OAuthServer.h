#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "support/PythonServer.h"
#include "support/TempDir.h"

// The provider's side of OAuth 2.0 logins for tests: a token introspection endpoint on
// loopback (tests/support/oauth_introspect.py) that a mail server asks whether an access
// token is active and whose it is.
namespace vorla::test {

struct TAccessToken {
    std::string token;
    std::string user;
    bool active = true;  // false: expired or revoked
};

class TIntrospectionServer {
public:
    explicit TIntrospectionServer(const std::vector<TAccessToken>& tokens);
    // "http://127.0.0.1:PORT/introspect".
    std::string Url() const;
    // How many requests it answered so far.
    int Requests() const;

private:
    TTempDir m_dir;
    TPythonServer m_server;
};

}  // namespace vorla::test
