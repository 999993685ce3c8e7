#include "net/SendQueue.h"

#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "log/LogLines.h"
#include "mail/MailMessage.h"
#include "mail/MessageStore.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Strings.h"

namespace vorla {
namespace {

// Bounds the search for a free working-file name (a leftover of an earlier pass may hold the
// plain one).
constexpr int kMaxNameTries = 1000;

bool IsHidden(const std::string& name) { return !name.empty() && name.front() == '.'; }

bool EndsWithMsg(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".msg") == 0;
}

// The message files of folder in name order; names beginning with "." are never ours.
std::vector<std::string> MessageFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (std::string& name : FindFiles(folder, "*.msg"))
        if (!IsHidden(name)) names.push_back(std::move(name));
    return names;
}

// The value of a header line when its field name is name (letter case ignored), folding
// undone; nullopt for a line of another field.
std::optional<std::string> FieldValueIfNamed(const std::string& line, std::string_view name) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return std::nullopt;
    std::string_view field(line.data(), colon);
    while (!field.empty() && (field.back() == ' ' || field.back() == '\t')) field.remove_suffix(1);
    if (!SameTextAscii(field, name)) return std::nullopt;
    std::string value;
    for (std::size_t i = colon + 1; i < line.size(); ++i)
        if (line[i] != '\r' && line[i] != '\n') value += line[i];
    return value;
}

// Takes every header line of field name out of message's Headers and returns their values.
std::vector<std::string> TakeFields(TMailMessage& message, std::string_view name) {
    std::vector<std::string> values;
    std::vector<std::string> kept;
    for (std::string& line : message.Headers) {
        if (auto value = FieldValueIfNamed(line, name))
            values.push_back(std::move(*value));
        else
            kept.push_back(std::move(line));
    }
    message.Headers = std::move(kept);
    return values;
}

void AddAddresses(const TMailAddressList& list, std::vector<std::string>& to) {
    for (const TMailAddress& address : list)
        if (!address.Address.empty()) to.push_back(address.Address);
}

}  // namespace

TSendQueue::TSendQueue(TSendQueueSettings settings, TZivadMessageCollection& queue, TStatusSink status)
    : m_settings(std::move(settings)),
      m_queue(queue),
      m_status(std::move(status)),
      m_queueFolder(queue.Folder()),
      m_workingFolder(m_queueFolder + kWorkingFolder) {}

void TSendQueue::Status(const std::string& text) {
    if (m_status) m_status(StatusEventText(kServiceSend, m_settings.accountName, text));
}

void TSendQueue::ReportError(const std::string& text) { Status("Error: " + OneLine(text)); }

bool TSendQueue::Run(std::stop_token stop) {
    m_touched = false;
    m_secretFailed = false;
    if (m_queueFolder.empty()) return false;  // a collection without a folder has nothing to send
    try {
        ForceDirectories(m_workingFolder);
    } catch (const std::exception& e) {
        ReportError(e.what());
        return false;  // nothing has been moved: the queue stays as it is
    }
    RecoverWorkingFolder();
    TakeQueuedFiles();
    SendWorkingFiles(stop);
    RequeueWorkingFiles();
    return m_touched;
}

void TSendQueue::Requeue(const std::string& name) {
    const std::string path = m_workingFolder + name;
    TMailMessage message;  // raw: the message goes back byte for byte as it was queued
    message.LoadFromFile(path);
    m_touched = true;
    m_queue.AddMessage(message, "");
    // Only now: a pass that dies before this line leaves both copies, never none.
    DeleteFile(path);
}

void TSendQueue::RecoverWorkingFolder() {
    try {
        for (const std::string& name : MessageFiles(m_workingFolder)) {
            try {
                Requeue(name);
            } catch (const std::exception& e) {
                ReportError(e.what());  // it stays, and this pass sends it with the others
            }
        }
        for (const std::string& name : FindFiles(m_workingFolder, "*")) {
            if (IsHidden(name) || EndsWithMsg(name)) continue;
            try {
                DeleteFile(m_workingFolder + name);
            } catch (const std::exception& e) {
                ReportError(e.what());
            }
        }
    } catch (const std::exception& e) {
        ReportError(e.what());
    }
}

void TSendQueue::TakeQueuedFiles() {
    try {
        if (MessageFiles(m_queueFolder).empty()) return;  // an idle pass leaves the collection alone
        // The collection writes and renames its files under this lock: holding it, no file is
        // taken while it is being written or renumbered.
        std::scoped_lock lock(m_queue.Lock());
        for (const std::string& name : MessageFiles(m_queueFolder)) {
            try {
                std::string target = name;
                const std::string stem = name.substr(0, name.size() - 4);
                for (int n = 1; FileExists(m_workingFolder + target); ++n) {
                    if (n > kMaxNameTries) throw TFileError("No free name in " + m_workingFolder + " for " + name);
                    target = stem + "-" + std::to_string(n) + ".msg";
                }
                m_touched = true;
                MoveFile(m_queueFolder + name, m_workingFolder + target);
            } catch (const std::exception& e) {
                ReportError(e.what());  // the file stays queued for the next pass
            }
        }
    } catch (const std::exception& e) {
        ReportError(e.what());
    }
}

void TSendQueue::SendWorkingFiles(std::stop_token stop) {
    std::vector<std::string> names;
    try {
        names = MessageFiles(m_workingFolder);
    } catch (const std::exception& e) {
        ReportError(e.what());
        return;
    }
    for (const std::string& name : names) {
        if (stop.stop_requested() || m_secretFailed) return;
        const std::string path = m_workingFolder + name;
        std::string recipient;
        bool sent = false;
        std::string deleteError;
        try {
            TMailMessage message;
            message.LoadMode = TLoadMode::Decoded;
            message.LoadFromFile(path);
            recipient = Send(message, stop, [&] {
                sent = true;
                try {
                    DeleteFile(path);
                } catch (const std::exception& e) {
                    deleteError = e.what();  // sent, yet it will go back to the queue
                }
            });
        } catch (const std::exception& e) {
            if (!sent) {
                ReportError(e.what());
                continue;
            }
        }
        if (!deleteError.empty()) ReportError(deleteError);
        Status("Sent mail from " + m_settings.accountEmail + " to " + recipient);
    }
}

void TSendQueue::RequeueWorkingFiles() {
    try {
        for (const std::string& name : MessageFiles(m_workingFolder)) {
            try {
                Requeue(name);
            } catch (const std::exception& e) {
                ReportError(e.what());  // it stays; the next pass takes it back first
            }
        }
    } catch (const std::exception& e) {
        ReportError(e.what());
    }
}

std::string TSendQueue::Send(TMailMessage& message, std::stop_token stop, const std::function<void()>& accepted) {
    const std::string recipient = message.Recipients.Empty() ? std::string() : message.Recipients[0].Address;
    const std::size_t at = recipient.find('@');
    if (at == std::string::npos) throw TVorlaError("Invalid recipient address");
    const std::string domain = recipient.substr(at + 1);

    TSmtpDelivery delivery;
    delivery.loginName = m_settings.smtpLoginName;
    delivery.password = m_settings.smtpPassword;
    if (m_settings.sendDirect) {
        if (m_settings.dnsHost.empty()) throw TVorlaError("DNS host not specified");
        const std::string exchanger = LookupMX(m_settings.dnsHost, recipient, m_settings.dnsPort);
        delivery.loginName.clear();  // a mail exchanger is never logged in to
        delivery.password.clear();
        delivery.host = exchanger.empty() ? m_settings.smtpServer : exchanger;
    } else {
        delivery.host = m_settings.smtpServer;
    }
    if (delivery.host.empty()) throw TVorlaError("Mail exchange not found for " + domain);
    if (m_settings.smtpPort < 1 || m_settings.smtpPort > 65535)
        throw TVorlaError("Invalid SMTP port " + std::to_string(m_settings.smtpPort));
    delivery.port = static_cast<std::uint16_t>(m_settings.smtpPort);
    delivery.security = m_settings.smtpSecurity;
    delivery.tls = m_settings.tls;
    if (!delivery.loginName.empty()) {
        delivery.auth = m_settings.smtpAuth;
        if (!m_settings.smtpPasswordCommand.empty()) {
            try {
                delivery.password = TSecretCommand::Run(m_settings.smtpPasswordCommand,
                                                        m_settings.passwordCommandTimeout,
                                                        [&stop] { return stop.stop_requested(); });
            } catch (const TVorlaError&) {
                m_secretFailed = true;
                throw;
            }
        }
    }
    delivery.heloName = m_settings.accountEmail;
    delivery.mailFrom = message.From.Address;

    AddAddresses(message.Recipients, delivery.recipients);
    AddAddresses(message.CCList, delivery.recipients);
    AddAddresses(message.BccList, delivery.recipients);
    // Blind copies travel in the envelope only.
    for (const std::string& value : TakeFields(message, "Bcc")) {
        TMailAddressList bcc;
        bcc.SetText(value);
        AddAddresses(bcc, delivery.recipients);
    }
    TakeFields(message, "X-Mailer");
    std::erase_if(message.ExtraHeaders,
                  [](const std::string& line) { return FieldValueIfNamed(line, "X-Mailer").has_value(); });
    message.ExtraHeaders.push_back(std::string("X-Mailer: ") + kMailAgent);
    delivery.data = message.SaveToText();

    TSmtpClient client;
    client.SetConnectTimeout(m_settings.connectTimeout);
    client.SetReplyTimeout(m_settings.replyTimeout);
    std::stop_callback wake(stop, [&client] { client.Shutdown(); });
    client.Deliver(delivery, accepted);
    return recipient;
}

}  // namespace vorla
