#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/EventQueue.h"
#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "filters/ZivadFilters.h"
#include "log/LogLines.h"
#include "log/ZivadLog.h"
#include "mail/MailMessage.h"
#include "mail/MessageStore.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/TempFolder.h"
#include "support/TempDir.h"

// What the fetch-cycle tests share: a fresh home folder with an engine on a queue whose clock
// stands still, and readers for the log, the status history and the folders.
namespace vorla::test {

class FetchFixture : public ::testing::Test {
protected:
    FetchFixture() {
        SetHomeFolder(m_home.Path());
        ForceDirectories(m_home / "tmp/");
        SetPrivateTempFolder(m_home / "tmp/");
    }
    ~FetchFixture() override {
        m_engine.reset();
        SetPrivateTempFolder("");
        SetHomeFolder("");
    }

    TZivad& Engine() {
        if (!m_engine) {
            m_engine = std::make_unique<TZivad>(m_queue);
            m_engine->OnStatusText.Set([this](const std::string& text) {
                std::scoped_lock lock(m_mutex);
                m_progress.push_back(text);
            });
        }
        return *m_engine;
    }

    // A new account of the engine, fetching from host:port as user, filtering on, sending off.
    TZivadAccount& NewAccount(const std::string& name, const std::string& user, const std::string& password,
                              std::uint16_t port, const std::string& host = "127.0.0.1") {
        TZivadAccount& account = Engine().Accounts().Add(name);
        account.Edit([&](TAccountSettings& s) {
            s.name = name;
            s.email = user + "@example.net";
            s.popserver = host;
            s.popport = port;
            s.loginname = user;
            s.password = password;
            s.enablefetch = true;
            s.enablefilters = true;
            s.enablesend = false;
        });
        account.Save();
        return account;
    }

    static void AddRule(TZivadFilters& list, const std::string& text, TFilterAction action, TFilterSection section) {
        list.AddRuleIfAbsent(text, action, section);
    }

    // The log's event texts (time stamps cut off), oldest first.
    std::vector<std::string> LogEvents() {
        std::vector<std::string> lines;
        const std::string text = Engine().Log().LogText();
        std::size_t pos = 0;
        while (pos < text.size()) {
            const std::size_t end = text.find("\r\n", pos);
            const std::string line = text.substr(pos, end - pos);
            pos = end == std::string::npos ? text.size() : end + 2;
            const std::size_t tab = line.find('\t');
            lines.insert(lines.begin(), tab == std::string::npos ? line : line.substr(tab + 1));
        }
        return lines;
    }

    // The status history without the time prefix ("07 Dec 2026 12:22:26 "), oldest first,
    // only the lines tagged tag.
    std::vector<std::string> Status(const std::string& tag) {
        std::vector<std::string> lines;
        for (const std::string& line : Engine().StatusLines()) {
            const std::size_t tab = line.find('\t');
            if (tab == std::string::npos) continue;
            const std::string text = line.substr(tab);
            if (text.rfind("\t" + tag + "\t", 0) == 0) lines.insert(lines.begin(), text);
        }
        return lines;
    }

    std::vector<std::string> Progress() {
        std::scoped_lock lock(m_mutex);
        return m_progress;
    }

    // The Subject of every message of the folder, in folder order.
    static std::vector<std::string> Subjects(TZivadMessageCollection& folder) {
        std::vector<std::string> subjects;
        for (int i = 0; i < folder.Count(); ++i) {
            TMailMessage message;
            message.LoadFromFile(folder.Item(i)->FileName());
            subjects.push_back(message.Subject);
        }
        return subjects;
    }

    // What a log line shows of a message text after the account name and category.
    static std::string Details(const std::string& text) {
        TMailMessage message;
        message.LoadFromMailText(text);
        return "Date: " + FormatDateTime(kMessageDateFormat, message.Date) + " From: " + message.From.Text() +
               " Subject: " + message.Subject;
    }
    static std::string Event(const std::string& account, const std::string& category,
                             const std::optional<std::string>& reason, const std::string& text) {
        return account + "\t" + category + (reason ? " - (" + *reason + ") " : std::string(" - ")) + Details(text);
    }

    TTempDir m_home;
    TEventQueue m_queue{TEventQueue::TClockMode::Manual};
    std::unique_ptr<TZivad> m_engine;
    std::mutex m_mutex;  // guards m_progress: progress comes from the workers
    std::vector<std::string> m_progress;
};

// A message as a mail server receives it (LF line ends), with one Received line.
inline std::string Mail(const std::string& subject, const std::string& body = "Hello.",
                        const std::string& from = "Ann Example <ann@example.org>") {
    return "Received: from mx.example.org ([192.0.2.10]) by pop.example.net; Mon, 4 Mar 2024 10:00:05 +0000\n"
           "From: " + from + "\n"
           "To: alice@example.net\n"
           "Subject: " + subject + "\n"
           "Date: Mon, 4 Mar 2024 10:00:00 +0000\n"
           "Message-ID: <" + std::to_string(std::hash<std::string>{}(subject + body)) + "@example.org>\n"
           "\n" + body + "\n";
}

}  // namespace vorla::test
