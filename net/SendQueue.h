#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include "net/Dns.h"
#include "net/SmtpClient.h"
#include "net/TlsOptions.h"
#include "platform/SecretCommand.h"

// The queue sender of one account: one pass over the account's queue folder that sends every
// queued message by SMTP, through the account's SMTP server or straight to the mail exchanger
// of the recipient's domain, and puts back into the queue whatever could not be sent.
namespace vorla {

class TMailMessage;
class TZivadMessageCollection;

// What a pass takes from the account and the engine, copied when the pass is created.
struct TSendQueueSettings {
    std::string dnsHost;      // engine setting "dnshost": where the MX question goes
    std::string smtpServer;   // account option "smtpserver"
    int smtpPort = 25;        // account option "smtpport", also used for direct delivery
    std::string accountName;  // "name"
    std::string accountEmail; // "email": the HELO name and the status lines' sender
    std::string smtpLoginName;
    std::string smtpPassword;
    TSmtpAuth smtpAuth = TSmtpAuth::Auto;  // "smtpauth"; with an OAuth way the password is the token
    // "smtppasswordcommand": when set, the relay's password or token is the first line this
    // command prints, asked afresh for each login, and the stored password is not used.
    std::string smtpPasswordCommand;
    bool sendDirect = false;  // "senddirect"
    // "smtpsecurity", and the certificate check ("verifycert", the engine's "cacerts"). They
    // apply to the mail exchanger of direct delivery too.
    TTlsMode smtpSecurity = TTlsMode::None;
    TTlsOptions tls;
    // The product's waits; tests shorten them and point the MX question at their own port.
    std::uint16_t dnsPort = TDns::kDefaultPort;
    std::chrono::milliseconds connectTimeout = TSmtpClient::kConnectTimeout;
    std::chrono::milliseconds replyTimeout = TSmtpClient::kReplyTimeout;
    std::chrono::milliseconds passwordCommandTimeout = TSecretCommand::kDefaultTimeout;
};

class TSendQueue {
public:
    static constexpr char kMailAgent[] = "Vorla";     // the "X-Mailer" value
    static constexpr char kWorkingFolder[] = "temp/";  // inside the queue folder

    // Receives each status text as the whole status-history text
    // "\tSEND\t" + account name + "\t" + text, on the sending thread, and returns once the
    // line has been added.
    using TStatusSink = std::function<void(const std::string& statusText)>;

    // queue is the account's queue collection; it must outlive the pass. status may be empty.
    TSendQueue(TSendQueueSettings settings, TZivadMessageCollection& queue, TStatusSink status);

    // One pass, on the calling thread. In this order:
    //  1. create the working folder (queue folder + "temp/");
    //  2. put every message file that an earlier pass left in the working folder (one that
    //     was stopped, crashed or was killed) back into the queue, then delete the working
    //     folder's other files (names beginning with "." and folders are left alone);
    //  3. move every "*.msg" file of the queue folder into the working folder, holding the
    //     collection's lock, so that a message being added is never taken half-written;
    //  4. send each working file (decoded load); a sent file is deleted;
    //  5. put every file still in the working folder back into the queue (AddMessage without
    //     stamp, from a raw load, so the message returns as it was) and delete the working copy.
    // One status line per message: "Sent mail from <email> to <recipient>" or
    // "Error: <text>"; a file or folder that cannot be handled gives "Error: <text>" and the
    // pass goes on. A stop request ends the sending after the current message; step 5 still
    // runs. So does a failed password command ("Error: password command failed: ..."): the
    // secret is the same for every message, so the others stay queued without asking again.
    // At every moment each unsent message is in the queue folder or in the working folder,
    // so a pass that dies anywhere loses nothing: the next one's step 2 takes the
    // working files back. A message can be sent twice only when the pass dies between the
    // server's acceptance of the data and the deletion of its working file (which comes before
    // QUIT), or be queued twice when it dies between the requeue and that deletion. Returns whether the pass took files from the
    // queue folder or added any to it; the caller then reloads the collection. A pass over an
    // empty queue and an empty working folder does not touch the collection at all.
    // Throws nothing.
    bool Run(std::stop_token stop = {});

    // Sends one message the way the pass does and returns the recipient it names (the first
    // To address). The envelope: MAIL FROM the From address; RCPT TO every To, Cc and Bcc
    // address in that order (Bcc from BccList and from "Bcc" header lines, which are never
    // sent). The data: the message file form with "X-Mailer: Vorla" as its last header line.
    // Throws TVorlaError whose text is the status line's error text: "Invalid recipient
    // address", "DNS host not specified", "Mail exchange not found for <domain>",
    // "Invalid SMTP port <n>", "password command failed: ..." (the command is run, with the
    // pass's stop request ending it, only when a relay login needs the secret), or the
    // connection's or the server's own words. accepted runs as soon as the server has taken
    // the data (see TSmtpClient::Deliver).
    std::string Send(TMailMessage& message, std::stop_token stop = {}, const std::function<void()>& accepted = {});

    const std::string& WorkingFolder() const { return m_workingFolder; }

private:
    void Status(const std::string& text);
    void ReportError(const std::string& text);
    void RecoverWorkingFolder();
    void TakeQueuedFiles();
    void SendWorkingFiles(std::stop_token stop);
    void RequeueWorkingFiles();
    // Loads the working file raw, adds it to the queue and deletes it; throws on failure
    // (the working file then stays).
    void Requeue(const std::string& name);

    TSendQueueSettings m_settings;
    TZivadMessageCollection& m_queue;
    TStatusSink m_status;
    std::string m_queueFolder;
    std::string m_workingFolder;
    bool m_touched = false;  // this pass moved files out of the queue folder or added some
    bool m_secretFailed = false;  // the password command failed during this pass
};

}  // namespace vorla
