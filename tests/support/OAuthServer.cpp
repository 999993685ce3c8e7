#include "support/OAuthServer.h"

#include <algorithm>
#include <filesystem>

namespace vorla::test {
namespace {

constexpr char kScript[] = TEST_DATA_DIR "/../support/oauth_introspect.py";

}  // namespace

TIntrospectionServer::TIntrospectionServer(const std::vector<TAccessToken>& tokens) {
    std::string list;
    for (const TAccessToken& t : tokens) {
        if (!list.empty()) list += ",";
        list += JsonText(t.token) + ":{\"user\":" + JsonText(t.user) + ",\"active\":" + (t.active ? "true" : "false") + "}";
    }
    WriteFile(m_dir / "config.json", "{\"tokens\":{" + list + "},\"ready\":" + JsonText(m_dir / "ready") +
                                         ",\"count\":" + JsonText(m_dir / "count") + "}");
    WriteFile(m_dir / "count", "");
    m_server.Start(kScript, m_dir / "config.json", m_dir / "ready", m_dir / "output.txt",
                   "token introspection server did not start: ");
}

std::string TIntrospectionServer::Url() const {
    return "http://127.0.0.1:" + std::to_string(m_server.Port()) + "/introspect";
}

int TIntrospectionServer::Requests() const {
    const std::string text = ReadFile(m_dir / "count");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace vorla::test
