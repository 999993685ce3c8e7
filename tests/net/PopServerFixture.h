#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mail/MessageStore.h"
#include "net/PopServer.h"
#include "support/RawPopClient.h"
#include "support/TempDir.h"

// The local POP3 server on a free loopback port, serving accounts whose vorla folders lie in
// a temporary folder, with the status lines it writes collected for the test.
namespace vorla::test {

// A message of about size bytes (CR LF line ends, as a client receives it after removing the
// dot-stuffing); its body holds the lines that need stuffing ("." alone, "..", ".x").
inline std::string MessageText(int number, std::size_t size = 5000) {
    char header[512];
    std::snprintf(header, sizeof header,
                  "Received: from mx%d.example.org (mx.example.org [192.0.2.%d]) by mail.example.net\r\n"
                  "From: Sender %d <sender%d@example.org>\r\n"
                  "To: alice@example.net\r\n"
                  "Subject: Message number %d\r\n"
                  "Date: Mon, 07 Dec 2026 12:22:26 +0100\r\n"
                  "Message-ID: <%d.vorla-test@example.org>\r\n"
                  "MIME-Version: 1.0\r\n"
                  "Content-Type: text/plain; charset=us-ascii\r\n"
                  "\r\n",
                  number, number % 250, number, number, number, number);
    std::string text = header;
    const char* special[] = {".", "..", ".leading dot", "", "From the start of a line", "trailing blanks   ",
                             "tab\there", "..two dots", "."};
    for (int line = 0; text.size() < size; ++line) {
        if (line >= 3 && line < 3 + static_cast<int>(std::size(special))) {
            text += special[line - 3];
        } else {
            char body[128];
            std::snprintf(body, sizeof body, "Line %03d of message %d: the quick brown fox jumps over the lazy dog %08x",
                          line, number, static_cast<unsigned>(number * 2654435761u + line));
            text += body;
        }
        text += "\r\n";
    }
    return text;
}

// The message file form of a message text: lines beginning with "." stuffed, "." added.
inline std::string FileForm(const std::string& text) {
    std::string file;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        if (text[start] == '.') file += '.';
        file.append(text, start, end - start);
        file += "\r\n";
        start = end + 2;
    }
    return file + ".\r\n";
}

inline std::string Numbered(int position) {
    char name[32];
    std::snprintf(name, sizeof name, "%05d.msg", position);
    return name;
}

inline std::vector<std::string> MessageFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".msg")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class PopServerFixture : public ::testing::Test {
protected:
    struct TAccount {
        std::string login;
        std::string password;
        std::string folderPath;
        std::unique_ptr<TZivadMessageCollection> folder;
    };

    // Adds an account whose vorla folder holds the given message texts as files
    // 00001.msg, ... (in file form).
    TAccount& AddAccount(const std::string& login, const std::string& password,
                         const std::vector<std::string>& texts) {
        TAccount& account = m_accounts.emplace_back();
        account.login = login;
        account.password = password;
        account.folderPath = m_dir.Path() + "account" + std::to_string(m_accounts.size()) + "/vorla/";
        std::filesystem::create_directories(account.folderPath);
        for (std::size_t i = 0; i < texts.size(); ++i)
            WriteFile(account.folderPath + Numbered(static_cast<int>(i) + 1), FileForm(texts[i]));
        account.folder = std::make_unique<TZivadMessageCollection>(account.folderPath);
        return account;
    }

    static std::vector<std::string> Texts(int count, std::size_t size = 5000) {
        std::vector<std::string> texts;
        for (int i = 1; i <= count; ++i) texts.push_back(MessageText(i, size));
        return texts;
    }

    // The fixture's accounts as the server sees them; each mailbox refers to a TAccount of
    // the fixture, which outlives the server.
    class TMailbox : public TPopMailbox {
    public:
        TMailbox(PopServerFixture& fixture, TAccount& account) : m_fixture(fixture), m_account(account) {}
        std::string Password() const override { return m_account.password; }
        TZivadMessageCollection& VorlaFolder() override { return *m_account.folder; }
        void ProxyFetch() override {
            if (m_fixture.m_proxyFetch) m_fixture.m_proxyFetch(m_account.login);
        }

    private:
        PopServerFixture& m_fixture;
        TAccount& m_account;
    };

    TPopAccountAccess Access() {
        TPopAccountAccess access;
        access.find = [this](const std::string& login) -> std::shared_ptr<TPopMailbox> {
            for (TAccount& account : m_accounts)
                if (account.login == login) return std::make_shared<TMailbox>(*this, account);
            return nullptr;
        };
        return access;
    }

    // Creates the server on 127.0.0.1 and a free port and starts it.
    TPopServer& Start(const std::function<void(TPopServer&)>& configure = {}) {
        m_server = std::make_unique<TPopServer>(
            [this](const std::string& line) {
                std::scoped_lock lock(m_statusMutex);
                m_statuses.push_back(line);
            },
            Access());
        m_server->SetVersion("9.8.7");
        m_server->SetPort(0);
        m_server->LoginThrottle().SetFirstDelay(std::chrono::milliseconds(1));
        if (configure) configure(*m_server);
        m_server->SetActive(true);
        EXPECT_TRUE(m_server->Active());
        m_port = m_server->ListeningPort();
        return *m_server;
    }

    void TearDown() override {
        if (m_server) m_server->SetActive(false);
        m_server.reset();
    }

    // A raw client that has read the greeting.
    std::unique_ptr<TRawPopClient> Connect() {
        auto client = std::make_unique<TRawPopClient>(m_port);
        EXPECT_EQ(client->ReadLine(), "+OK Vorla (v9.8.7)");
        return client;
    }
    // A raw client logged in as login.
    std::unique_ptr<TRawPopClient> LogIn(const std::string& login, const std::string& password) {
        auto client = Connect();
        EXPECT_EQ(client->Command("USER " + login), "+OK Password required");
        EXPECT_EQ(client->Command("PASS " + password), "+OK Login OK");
        return client;
    }

    std::vector<std::string> Statuses() {
        std::scoped_lock lock(m_statusMutex);
        return m_statuses;
    }
    void ClearStatuses() {
        std::scoped_lock lock(m_statusMutex);
        m_statuses.clear();
    }
    bool HasStatus(const std::string& user, const std::string& text) {
        const std::string line = "\tPOP3\t" + user + "\t" + text;
        const auto lines = Statuses();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    // Status lines are written on the connection threads: wait (bounded) for one.
    bool WaitForStatus(const std::string& user, const std::string& text,
                       std::chrono::milliseconds wait = std::chrono::milliseconds(5000)) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (!HasStatus(user, text)) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    // Waits (bounded) until the server serves no connection any more.
    bool WaitForNoConnections(std::chrono::milliseconds wait = std::chrono::milliseconds(5000)) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (m_server->ConnectionCount() > 0) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    TTempDir m_dir;
    std::deque<TAccount> m_accounts;
    std::function<void(const std::string&)> m_proxyFetch;
    std::mutex m_statusMutex;  // guards m_statuses
    std::vector<std::string> m_statuses;
    std::unique_ptr<TPopServer> m_server;
    std::uint16_t m_port = 0;
};

}  // namespace vorla::test
