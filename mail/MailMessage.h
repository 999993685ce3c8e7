#pragma once
#include <string>
#include <variant>
#include <vector>

#include "platform/DateTime.h"

// One Internet message, in memory, and its message file form on disk: the header block, an
// empty line, the dot-stuffed body and a line "." alone, every line ending CR LF - byte for
// byte what an SMTP client sends after DATA and a POP3 server after "+OK" to RETR.
namespace vorla {

struct TMailAddress {
    std::string Name;     // display name, UTF-8, may be empty
    std::string Address;  // local part "@" domain
    // "Address" alone, or "Name <Address>" (the name quoted when it needs it).
    std::string Text() const;
    bool Empty() const { return Name.empty() && Address.empty(); }
};

class TMailAddressList {
public:
    // Appends an empty address for the caller to fill.
    TMailAddress& Add();
    // Clears the list and parses text as a comma-separated address list (encoded words in
    // display names decoded to UTF-8). Unparseable pieces are kept as bare addresses.
    void SetText(const std::string& text);
    // The addresses' text forms joined by ", ".
    std::string Text() const;
    void Clear() { m_items.clear(); }
    std::size_t Count() const { return m_items.size(); }
    bool Empty() const { return m_items.empty(); }
    TMailAddress& operator[](std::size_t i) { return m_items.at(i); }
    const TMailAddress& operator[](std::size_t i) const { return m_items.at(i); }
    auto begin() const { return m_items.begin(); }
    auto end() const { return m_items.end(); }
    bool operator==(const TMailAddressList&) const;

private:
    std::vector<TMailAddress> m_items;
};

struct TTextPart {
    std::string ContentType;         // "text/plain; charset=utf-8"
    std::vector<std::string> Body;   // decoded text, UTF-8
};

struct TAttachmentPart {
    std::string ContentType;  // "application/pdf"
    std::string FileName;     // the name the message gives it ("" when none)
    std::string StoredPath;   // file holding the decoded content, or the file to attach
    bool OwnsFile = false;    // a decoded load made StoredPath ("Ind*.tmp") and deletes it
    bool InMemory = false;    // the decoded content is Content, not a file (StoredPath empty)
    std::string Content = {};
};

using TMessagePart = std::variant<TTextPart, TAttachmentPart>;

enum class TLoadMode {
    Raw,      // Body keeps the transmitted body text, MIME structure and all
    Decoded,  // MIME parts decoded into MessageParts, attachments into files of their own
};

class TMailMessage {
public:
    TMailMessage() = default;
    ~TMailMessage();  // deletes attachment files that a decoded load made
    TMailMessage(const TMailMessage&) = delete;             // copy through the text:
    TMailMessage& operator=(const TMailMessage&) = delete;  // SaveToText + raw LoadFromText

    TLoadMode LoadMode = TLoadMode::Raw;
    // A decoded load keeps attachment contents in the parts (TAttachmentPart::Content)
    // instead of writing them to temporary files, for readers that only look at them.
    bool AttachmentsInMemory = false;

    // Every header field as read, in order; a folded field is one entry whose continuation
    // lines stay inside it, joined by CR LF. Callers may add lines ("To: ...").
    std::vector<std::string> Headers;
    std::vector<std::string> ExtraHeaders;  // written after all other header lines

    TMailAddress From;
    TMailAddressList Recipients;  // To
    TMailAddressList CCList;
    TMailAddressList BccList;     // never written into the header
    TMailAddressList ReplyTo;
    TMailAddress Sender;
    std::string Subject;          // decoded, UTF-8
    TDateTime Date = kZeroDate;   // local time; kZeroDate when missing or unreadable
    std::string ContentType;      // "text/plain"
    std::string ContentTransferEncoding;
    std::vector<std::string> Body;
    std::vector<TMessagePart> MessageParts;

    // Empties every field, list and part (LoadMode stays) and deletes the attachment files
    // that a decoded load made and those of parts marked OwnsFile.
    void Clear();
    // Throws TFileError "Cannot load message from file <path>" when the file is missing or
    // unreadable. Loading clears first. With headersOnly, reading stops after the header block.
    void LoadFromFile(const std::string& path, bool headersOnly = false);
    // Reads the message file form: lines end at LF (one CR before it dropped, any other CR
    // kept), reading stops at the line "." and ".." at a line start becomes ".". Any text
    // loads. A decoded load keeps at most 1000 parts from at most 32 levels of nesting, and
    // throws TFileError when an attachment file cannot be written.
    void LoadFromText(const std::string& text, bool headersOnly = false);
    // Loads a plain RFC 5322 text as mail clients save it (".eml": any line ends, no
    // dot-stuffing, no "." terminator), in the current load mode.
    void LoadFromMailText(const std::string& text);
    // The message file form: every line CR LF, and every line that begins with "." (header
    // lines too, so that the POP3 server can send the file as it is) one "." more.
    // A standard field whose property was not changed since the load keeps its original
    // bytes; fields set or changed by a caller are written from the properties (encoded words
    // where not ASCII). Body lines are written as they stand after a raw load; a creator's or a
    // decoded load's text goes out as UTF-8 quoted-printable when it is not 7bit, and a
    // decoded load always gets content fields that describe its text as it is now. With
    // MessageParts the body is multipart/mixed (Body first, as a text part). Throws TFileError
    // when an attachment's file cannot be read.
    std::string SaveToText() const;
    // Written under a temporary name in the same folder, flushed, then renamed into place
    // (mode 0600 for a new file). Throws TFileError when it cannot be written.
    void SaveToFile(const std::string& path) const;

private:
    // How the body lines came to be, which decides how SaveToText writes them.
    enum class TBodyForm {
        Text,         // a creator's text: written as is, or as UTF-8 quoted-printable when it needs it
        Transmitted,  // a raw load: the sender's body text, written unchanged
        Decoded,      // a decoded load: UTF-8 text; its content fields are always written anew
    };

    // Property values as the last load left them (all empty for a new or cleared message); a
    // property equal to its snapshot is written from the original header line.
    struct TSnapshot {
        TMailAddress From;
        TMailAddressList Recipients, CCList, ReplyTo;
        TMailAddress Sender;
        std::string Subject;
        TDateTime Date = kZeroDate;
        std::string ContentType, ContentTransferEncoding;
    } m_loaded;
    TBodyForm m_bodyForm = TBodyForm::Text;
    // Attachment files the last decoded load made: deleted with the message even when a
    // caller has taken their parts out of MessageParts.
    std::vector<std::string> m_ownedFiles;

    void LoadLines(const std::vector<std::string>& lines, bool fileForm, bool headersOnly);
    void ReadProperties();
    void DeleteOwnedFiles() noexcept;
};

}  // namespace vorla
