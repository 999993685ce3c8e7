#include "engine/Responses.h"

#include <charconv>
#include <exception>
#include <mutex>
#include <string_view>
#include <vector>

#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "log/LogLines.h"
#include "log/ZivadLog.h"
#include "mail/MailMessage.h"
#include "mail/MessageStore.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Strings.h"
#include "text/TextSearch.h"

namespace vorla {
namespace {

constexpr char kSenderName[] = "Vorla";
constexpr char kAwayFallbackSubject[] = "Away";
constexpr char kRejectFallbackSubject[] = "Email rejected";
constexpr char kReplyMarker[] = "Auto-Submitted: auto-replied";
constexpr char kAwayMarkField[] = "AutoAwayReply: ";
constexpr char kReplyAddressInvalid[] = "Reply address invalid.";
constexpr char kFileNotFound[] = "File not found: ";
constexpr char kRedirectStamp[] = "redirected";
constexpr char kCreatedWord[] = "Created";

// A text taken from mail, made fit for one header line: line breaks and NUL bytes become
// spaces (a CR LF pair one space), so a crafted subject or name cannot start a field of its own.
std::string OneHeaderLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += ' ';
            ++i;
        } else {
            out += (c == '\r' || c == '\n' || c == '\0') ? ' ' : c;
        }
    }
    return out;
}

// Field name of a header entry: the text before its first colon, blanks trimmed; "" without one.
std::string FieldName(const std::string& entry) {
    const std::size_t colon = entry.find(':');
    return colon == std::string::npos ? std::string() : Trim(std::string_view(entry).substr(0, colon));
}

// The value after the colon, unfolded and trimmed.
std::string FieldValue(const std::string& entry) {
    const std::size_t colon = entry.find(':');
    if (colon == std::string::npos) return {};
    std::string value;
    for (char c : std::string_view(entry).substr(colon + 1))
        if (c != '\r' && c != '\n') value += c;
    return Trim(value);
}

// The first word of a field value: up to the first ";", blank or comment, lower case.
std::string FirstToken(const std::string& value) {
    const std::size_t end = value.find_first_of("; \t(");
    return AsciiLower(Trim(std::string_view(value).substr(0, end)));
}

std::string LocalPart(const std::string& address) {
    std::string text = Trim(address);
    if (!text.empty() && text.front() == '<') text.erase(0, 1);
    if (!text.empty() && text.back() == '>') text.pop_back();
    const std::size_t at = text.rfind('@');
    return at == std::string::npos ? text : text.substr(0, at);
}

// The reply address of an incoming message, or "" when it has none that mail can go to.
std::string ReplyAddress(const TMailMessage& message) {
    const std::string address = Trim(OneHeaderLine(message.From.Address));
    return address.find('@') == std::string::npos ? std::string() : address;
}

TZivad* EngineOf(const TZivadAccount& account) {
    TZivadAccounts* list = account.Owner();
    return list ? list->Owner() : nullptr;
}

void ShowStatus(const TZivadAccount& account, const std::string& text) {
    if (TZivad* engine = EngineOf(account)) engine->OnStatusText.Raise(text);
}

// "46000.5123456789": the day count in its shortest form with at most 15 significant digits.
std::string DayCountText(TDateTime value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    return std::string(buffer, result.ptr);
}

// The parts of the reply pattern that every reply shares.
void FillReply(TMailMessage& reply, const TZivadAccount& account, const TMailMessage& incoming,
               const std::string& address, const std::string& subject) {
    TMailAddress& to = reply.Recipients.Add();
    to.Name = OneHeaderLine(incoming.From.Name);
    to.Address = address;
    reply.Headers.push_back("To: " + address);
    reply.Headers.push_back(kReplyMarker);
    reply.From.Name = kSenderName;
    reply.From.Address = OneHeaderLine(account.Settings()->email);
    reply.Subject = subject;
    reply.Date = Now();
}

// AddMessage, and the new item's copy released again: the folder's file holds it.
void AddReleased(TZivadMessageCollection& folder, TMailMessage& message, const std::string& stamp) {
    std::scoped_lock lock(folder.Lock());
    folder.AddMessage(message, stamp).Release();
}

// The header block of a stored item, read from its file (or, without one, from the message it
// holds), into message. Throws TFileError when the file cannot be read.
void LoadStoredHeaders(TZivadMessageItem& item, TMailMessage& message) {
    message.LoadMode = TLoadMode::Raw;
    if (FileExists(item.FileName()))
        message.LoadFromFile(item.FileName(), true);
    else
        message.LoadFromText(item.Message().SaveToText(), true);
}

bool QueueReply(TZivadAccount& account, TZivadLog& log, const TMailMessage& incoming, const char* kind,
                const char* fallbackSubject, const std::string& text) {
    const std::string address = ReplyAddress(incoming);
    if (address.empty()) {
        log.AppendLine(AutoReplyErrorEventText(account.Settings()->name, kind, kReplyAddressInvalid));
        return false;
    }
    if (IsAutomaticMessage(incoming)) return false;
    bool queued = false;
    try {
        TMailMessage reply;
        const std::string subject =
            incoming.Subject.empty() ? std::string(fallbackSubject) : "Re: " + OneHeaderLine(incoming.Subject);
        FillReply(reply, account, incoming, address, subject);
        reply.ContentType = "text/plain";
        reply.Body = SplitLines(text);
        AddReleased(account.QueueFolder(), reply, "");
        queued = true;
        log.AppendLine(AutoReplyEventText(account.Settings()->name, kind, address));
    } catch (const std::exception& e) {
        log.AppendLine(AutoReplyErrorEventText(account.Settings()->name, kind, e.what()));
    }
    return queued;
}

// Writes one mailbot reply as a new queue item. A reply that cannot be written is taken out of
// the queue again, so the queue never lists a message without its file.
void QueueMailbotReply(TZivadAccount& account, const TMailbotRecord& record, const TMailMessage& request,
                       const std::string& address) {
    TZivadMessageCollection& queue = account.QueueFolder();
    std::scoped_lock lock(queue.Lock());
    TZivadMessageItem& item = queue.NewItem();
    try {
        TMailMessage& reply = item.Message();
        FillReply(reply, account, request, address, "Re: " + OneHeaderLine(request.Subject));
        reply.ContentType = "text/plain";
        // The body is written as the first text part when there are attachments, so the
        // mailbot's text and the notes about missing files stand together in one part.
        if (!record.text.empty()) reply.Body = SplitLines(record.text);
        for (const std::string& file : record.files) {
            if (FileExists(file)) {
                reply.MessageParts.emplace_back(
                    TAttachmentPart{"application/octet-stream", ExtractFileName(file), file, false});
            } else {
                reply.Body.push_back(kFileNotFound + OneHeaderLine(file));
            }
        }
        item.Save();
        item.Release();
    } catch (...) {
        const int index = item.Index();
        try {
            if (index >= 0) queue.Delete(index);
        } catch (const std::exception&) {
            // The file could not be removed: the item stays listed with it, which is still true.
        }
        throw;
    }
}

bool SameField(const std::string& entry, std::string_view name) { return SameTextAscii(FieldName(entry), name); }

}  // namespace

bool IsAutomaticMessage(const TMailMessage& message) {
    for (const std::string& entry : message.Headers) {
        const std::string name = FieldName(entry);
        if (SameTextAscii(name, "Auto-Submitted")) {
            if (FirstToken(FieldValue(entry)) != "no") return true;
        } else if (SameTextAscii(name, "Precedence")) {
            const std::string value = FirstToken(FieldValue(entry));
            if (value == "bulk" || value == "list" || value == "junk") return true;
        } else if (SameTextAscii(name, "List-Id")) {
            return true;
        } else if (SameTextAscii(name, "Return-Path")) {
            std::string value;
            for (char c : FieldValue(entry))
                if (c != ' ' && c != '\t') value += c;
            if (value == "<>") return true;
        }
    }
    const std::string local = AsciiLower(LocalPart(message.From.Address));
    return local == "mailer-daemon" || local == "postmaster";
}

bool AwayReply(TZivadAccount& account, TZivadLog& log, const TMailMessage& message) {
    return QueueReply(account, log, message, kAutoReplyAway, kAwayFallbackSubject, account.Settings()->awayText);
}

bool RejectionReply(TZivadAccount& account, TZivadLog& log, const TMailMessage& message) {
    return QueueReply(account, log, message, kAutoReplyRejected, kRejectFallbackSubject, account.Settings()->rejectText);
}

bool AwayReplyWithMark(TZivadAccount& account, TZivadLog& log, TZivadMessageItem& item) {
    std::scoped_lock lock(item.Collection()->Lock());
    TMailMessage incoming;
    try {
        LoadStoredHeaders(item, incoming);
    } catch (const std::exception& e) {
        log.AppendLine(AutoReplyErrorEventText(account.Settings()->name, kAutoReplyAway, e.what()));
        return false;
    }
    if (!AwayReply(account, log, incoming)) return false;
    // Loaded with errors passed on: a failed load must not be saved over the stored file.
    TMailMessage& stored = item.Message();
    if (FileExists(item.FileName())) {
        stored.LoadMode = TLoadMode::Raw;
        stored.LoadFromFile(item.FileName());
    }
    stored.Headers.push_back(kAwayMarkField + DayCountText(Now()));
    item.Save();
    return true;
}

int MailbotReply(TZivadAccount& account, TZivadLog& log, TZivadMessageItem& item) {
    std::scoped_lock lock(item.Collection()->Lock());
    int replies = 0;
    try {
        TMailMessage request;
        LoadStoredHeaders(item, request);
        const std::string address = ReplyAddress(request);
        const bool automatic = IsAutomaticMessage(request);
        const std::vector<TMailbotRecord> mailbots = account.Settings()->mailbots;
        for (const TMailbotRecord& record : mailbots) {
            if (record.subject != request.Subject) continue;
            if (address.empty()) {
                log.AppendLine(ErrorEventText(account.Settings()->name, std::string("Mailbot - ") + kReplyAddressInvalid));
                continue;
            }
            if (automatic) continue;
            ShowStatus(account, "Sending mailbot reply (" + request.Subject + ")");
            QueueMailbotReply(account, record, request, address);
            ++replies;
            log.AppendLine(MailbotEventText(account.Settings()->name, address));
            // Answered: the request leaves the vorla folder at the next purge and never
            // reaches the mail client.
            item.Deleted = true;
            ShowStatus(account, "");
        }
    } catch (const std::exception& e) {
        ShowStatus(account, "");
        log.AppendLine(ErrorEventText(account.Settings()->name, std::string("Mailbot - ") + e.what()));
    }
    return replies;
}

int RedirectMessage(TZivadAccount& account, TZivadLog& log, TZivadMessageCollection& folder, int index) {
    TMailMessage w;
    w.LoadMode = TLoadMode::Decoded;
    const TZivadMessageItem* source = nullptr;
    {
        std::scoped_lock lock(folder.Lock());
        TZivadMessageItem* item = folder.Item(index);
        if (!item) return 0;
        try {
            w.LoadFromFile(item->FileName());
        } catch (const std::exception&) {
            return 0;  // nothing readable to pass on
        }
        source = item;
    }

    // The accounts as the list holds them now, each held while it is copied to.
    std::vector<TAccountPtr> accounts;
    if (TZivadAccounts* list = account.Owner())
        accounts = list->Snapshot();
    else
        accounts.push_back(TAccountPtr(TAccountPtr{}, &account));  // not owned: the caller holds it

    int copies = 0;
    auto copyTo = [&](TZivadAccount& target, const std::string& shownAs) {
        TZivadMessageCollection& vorla = target.VorlaFolder();
        if (&vorla == &folder) return;
        AddReleased(vorla, w, kRedirectStamp);
        ++copies;
        log.AppendLine(
            MessageEventText(account.Settings()->name, kCategoryRedirected, target.Name(), w.Date, shownAs, w.Subject, "To: "));
    };

    if (account.Settings()->nameredirect) {
        // A copy: every stamped AddMessage reloads w, and with it this list.
        const TMailAddressList recipients = w.Recipients;
        for (const TMailAddress& entry : recipients) {
            if (entry.Name.empty()) continue;
            for (const TAccountPtr& target : accounts)
                if (SameTextAscii(target->Name(), entry.Name)) copyTo(*target, entry.Name);
        }
    }
    const std::vector<std::string> entries = account.Settings()->redirectAddresses;
    for (const std::string& entry : entries) {
        if (Trim(entry).empty()) continue;
        for (const TAccountPtr& target : accounts) {
            const auto settings = target->Settings();
            if (SameTextAscii(settings->name, entry) || SameTextAscii(settings->email, entry)) copyTo(*target, entry);
        }
    }

    // The forwarded copies go to the redirect addresses only: recipient fields that stayed in
    // the header would be read back by the queue sender, and the original Cc recipients would
    // get the message a second time.
    w.Recipients.Clear();
    w.CCList.Clear();
    w.BccList.Clear();
    std::erase_if(w.Headers, [](const std::string& entry) { return SameField(entry, "Cc") || SameField(entry, "Bcc"); });
    for (const std::string& entry : entries) {
        if (entry.find('@') == std::string::npos) continue;
        const std::string address = Trim(OneHeaderLine(entry));
        w.Recipients.SetText(address);
        bool replaced = false;
        for (std::string& header : w.Headers) {
            if (!SameField(header, "To")) continue;
            header = "To: " + address;
            replaced = true;
        }
        if (!replaced) w.Headers.push_back("To: " + address);
        AddReleased(account.QueueFolder(), w, kRedirectStamp);
        ++copies;
        log.AppendLine(
            MessageEventText(account.Settings()->name, kCategoryRedirected, std::nullopt, w.Date, address, w.Subject, "To: "));
    }

    if (account.Settings()->redirectdelete && copies > 0) {
        // The folder may have changed while it was not locked (a POP3 client's purge): the
        // item is looked for by identity, never dereferenced unless it is still listed.
        std::scoped_lock lock(folder.Lock());
        for (int i = 0; i < folder.Count(); ++i) {
            if (TZivadMessageItem* item = folder.Item(i); item == source) {
                item->Deleted = true;
                break;
            }
        }
    }
    return copies;
}

void SendLogMessage(TZivadAccount& account, TZivadLog& log, const std::string& subject, const std::string& text) {
    try {
        const std::string address = OneHeaderLine(account.Settings()->email);
        TMailMessage message;
        message.Recipients.Add().Address = address;
        message.Headers.push_back("To: " + address);
        message.From.Name = kSenderName;
        message.From.Address = address;
        message.Subject = OneHeaderLine(subject);
        message.Date = Now();
        message.ContentType = "text/plain";
        message.Body = SplitLines(text);
        if (account.Settings()->nodownload) {
            AddReleased(account.QueueFolder(), message, "");
            log.AppendLine(QueuedEventText(account.Settings()->name, address));
        } else {
            AddReleased(account.VorlaFolder(), message, "");
            log.AppendLine(account.Settings()->name + "\t" + kCreatedWord + " - " + account.Settings()->name + " - To: " + address);
        }
    } catch (const std::exception& e) {
        log.AppendLine(ErrorEventText(account.Settings()->name, "Send Message - " + std::string(e.what())));
    }
}

}  // namespace vorla
