#include "mail/MailMessage.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "mail/MailMessagePrivate.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Strings.h"
#include "text/TextSearch.h"

namespace vorla {
namespace {

using mailtext::AppendStuffedLine;
using mailtext::FieldName;
using mailtext::FieldValue;
using mailtext::FindField;
using mailtext::OneFieldLine;
using mailtext::SplitEach;

constexpr unsigned kMessageFileMode = 0600;  // mail is private to its user

bool SameAddress(const TMailAddress& a, const TMailAddress& b) {
    return a.Name == b.Name && a.Address == b.Address;
}

bool NameNeedsQuotes(const std::string& name) {
    if (name.front() == ' ' || name.back() == ' ') return true;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || (c != 0 && std::strchr("()<>[]:;@\\,.\"", c))) return true;
    return false;
}

std::string QuotedName(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// Lenient address-list reading: what the MIME library finds, else the comma-separated pieces
// as bare addresses. An empty group ("undisclosed-recipients:;") gives an empty list.
std::vector<TMailAddress> ReadAddressList(const std::string& text) {
    std::vector<TMailAddress> found = mailtext::ParseAddresses(text);
    const std::string trimmed = Trim(text, TTrimSet::Blanks);
    if (!found.empty() || trimmed.empty()) return found;
    if (trimmed.back() == ';' && trimmed.find(':') != std::string::npos) return found;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string piece = Trim(OneFieldLine(text.substr(start, comma - start)), TTrimSet::Blanks);
        if (!piece.empty()) found.push_back(TMailAddress{"", mailtext::ToUtf8(piece, "")});
        start = comma + 1;
    }
    return found;
}

// An address as it goes into a header field: the name quoted or encoded as it needs.
std::string EncodedAddress(const TMailAddress& address) {
    const std::string addr = OneFieldLine(address.Address);
    if (address.Name.empty()) return addr;
    return mailtext::EncodeDisplayName(address.Name) + " <" + addr + ">";
}

std::string EncodedList(const TMailAddressList& list) {
    std::string text;
    for (const TMailAddress& address : list) {
        if (address.Empty()) continue;
        if (!text.empty()) text += ", ";
        text += EncodedAddress(address);
    }
    return text;
}

// "Wed, 23 Jul 2003 23:30:00 +0200": the zone is the offset in force at that moment
// (daylight saving included), so that the written instant is the one the property means.
std::string DateFieldText(TDateTime value) {
    std::string text = FormatDateTime("ddd, dd mmm yyyy hh:nn:ss", value);
    const std::time_t unixTime = LocalToUnix(value);
    const double utc = static_cast<double>(unixTime) / 86400.0 + 25569.0;
    const long minutes = std::lround((value - utc) * 1440.0);
    if (minutes < -1439 || minutes > 1439) return text + " -0000";  // no usable offset
    const long magnitude = minutes < 0 ? -minutes : minutes;
    char zone[8];
    std::snprintf(zone, sizeof zone, "%c%02ld%02ld", minutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return text + " " + zone;
}

std::string TextMediaType(const std::string& contentType) {
    const std::string media = mailtext::MediaType(contentType);
    return media.rfind("text/", 0) == 0 ? media : "text/plain";
}

// A file name as a quoted parameter value: one line, no quotes inside, encoded words where
// it is not ASCII. (The store reads the name back as the text between the first two quotes.)
std::string FileNameParameter(const std::string& name) {
    std::string clean = OneFieldLine(name);
    for (char& c : clean)
        if (c == '"' || c == '\\') c = '_';
    return "\"" + mailtext::EncodeHeaderText(clean) + "\"";
}

struct TWrittenPart {
    std::vector<std::string> Head;
    std::vector<std::string> Body;
    bool Plain = false;  // 7bit text: the only kind whose lines could look like a boundary
};

TWrittenPart WrittenTextPart(const std::string& mediaType, const std::vector<std::string>& text) {
    TWrittenPart part;
    std::vector<std::string> lines = SplitEach(text);
    part.Plain = !mailtext::NeedsEncoding(lines);
    part.Head = {"Content-Type: " + mediaType + "; charset=utf-8",
                 std::string("Content-Transfer-Encoding: ") + (part.Plain ? "7bit" : "quoted-printable")};
    part.Body = part.Plain ? std::move(lines) : mailtext::EncodeQuotedPrintable(lines);
    return part;
}

TWrittenPart WrittenAttachment(const TAttachmentPart& attachment) {
    std::string name = attachment.FileName;
    if (name.empty() && !attachment.OwnsFile && !attachment.InMemory) name = ExtractFileName(attachment.StoredPath);
    std::string bytes;
    if (attachment.InMemory) {
        bytes = attachment.Content;
    } else {
        try {
            bytes = ReadFileBytes(attachment.StoredPath);
        } catch (const TFileError&) {
            throw TFileError("Cannot read attachment file " + attachment.StoredPath);
        }
    }
    TWrittenPart part;
    if (name.empty()) {
        part.Head = {"Content-Type: application/octet-stream", "Content-Transfer-Encoding: base64",
                     "Content-Disposition: attachment"};
    } else {
        const std::string quoted = FileNameParameter(name);
        part.Head = {"Content-Type: application/octet-stream;", "\tname=" + quoted,
                     "Content-Transfer-Encoding: base64", "Content-Disposition: attachment;",
                     "\tfilename=" + quoted};
    }
    part.Body = mailtext::EncodeBase64(bytes);
    return part;
}

std::string BoundaryFor(const std::vector<TWrittenPart>& parts) {
    // Derived from the content, so that saving the same message twice gives the same bytes.
    // Quoted-printable and base64 lines never hold "=_"; only 7bit text could collide.
    std::uint64_t hash = 14695981039346656037ull;
    for (const TWrittenPart& part : parts)
        for (const std::string& line : part.Body) {
            for (unsigned char c : line) hash = (hash ^ c) * 1099511628211ull;
            hash = (hash ^ '\n') * 1099511628211ull;
        }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    const std::string base = std::string("=_vorla_") + hex;
    auto collides = [&parts](const std::string& boundary) {
        const std::string delimiter = "--" + boundary;
        for (const TWrittenPart& part : parts)
            if (part.Plain)
                for (const std::string& line : part.Body)
                    if (line.rfind(delimiter, 0) == 0) return true;
        return false;
    };
    std::string boundary = base;
    for (unsigned n = 0; collides(boundary); ++n) boundary = base + "_" + std::to_string(n);
    return boundary;
}

void AppendEntry(std::string& out, const std::string& entry) {
    // An entry is written line by line with CR LF; an empty line inside one would end the
    // header block early, so it is left out.
    for (const std::string& line : SplitLines(entry, TLineBreak::Lf))
        if (!line.empty()) AppendStuffedLine(out, line);
}

}  // namespace

// ---- addresses --------------------------------------------------------------------------

std::string TMailAddress::Text() const {
    if (Name.empty()) return Address;
    return (NameNeedsQuotes(Name) ? QuotedName(Name) : Name) + " <" + Address + ">";
}

TMailAddress& TMailAddressList::Add() { return m_items.emplace_back(); }

void TMailAddressList::SetText(const std::string& text) { m_items = ReadAddressList(text); }

std::string TMailAddressList::Text() const {
    std::string text;
    for (const TMailAddress& address : m_items) {
        if (!text.empty()) text += ", ";
        text += address.Text();
    }
    return text;
}

bool TMailAddressList::operator==(const TMailAddressList& other) const {
    if (m_items.size() != other.m_items.size()) return false;
    for (std::size_t i = 0; i < m_items.size(); ++i)
        if (!SameAddress(m_items[i], other.m_items[i])) return false;
    return true;
}

// ---- loading ----------------------------------------------------------------------------

TMailMessage::~TMailMessage() { DeleteOwnedFiles(); }

void TMailMessage::DeleteOwnedFiles() noexcept {
    std::error_code ignored;  // a file already gone is fine, and a destructor must not throw
    for (const TMessagePart& part : MessageParts) {
        const auto* attachment = std::get_if<TAttachmentPart>(&part);
        if (attachment && attachment->OwnsFile && !attachment->StoredPath.empty())
            std::filesystem::remove(attachment->StoredPath, ignored);
    }
    for (const std::string& path : m_ownedFiles) std::filesystem::remove(path, ignored);
    m_ownedFiles.clear();
}

void TMailMessage::Clear() {
    DeleteOwnedFiles();
    Headers.clear();
    ExtraHeaders.clear();
    From = {};
    Recipients.Clear();
    CCList.Clear();
    BccList.Clear();
    ReplyTo.Clear();
    Sender = {};
    Subject.clear();
    Date = kZeroDate;
    ContentType.clear();
    ContentTransferEncoding.clear();
    Body.clear();
    MessageParts.clear();
    m_loaded = {};
    m_bodyForm = TBodyForm::Text;
}

void TMailMessage::LoadFromFile(const std::string& path, bool headersOnly) {
    Clear();
    const std::string error = "Cannot load message from file " + path;
    if (!FileExists(path)) throw TFileError(error);
    std::string text;
    try {
        text = ReadFileBytes(path);
    } catch (const TFileError&) {
        throw TFileError(error);
    }
    LoadFromText(text, headersOnly);
}

void TMailMessage::LoadFromText(const std::string& text, bool headersOnly) {
    LoadLines(SplitLines(text, TLineBreak::Lf), true, headersOnly);
}

void TMailMessage::LoadFromMailText(const std::string& text) {
    LoadLines(SplitLines(text, TLineBreak::Lf), false, false);
}

void TMailMessage::LoadLines(const std::vector<std::string>& lines, bool fileForm, bool headersOnly) {
    Clear();
    std::size_t i = 0;
    bool ended = false;  // the "." line came inside the header block
    for (; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (fileForm && line == ".") {
            ended = true;
            break;
        }
        if (fileForm && line.rfind("..", 0) == 0) line.remove_prefix(1);
        if (line.empty()) {
            ++i;
            break;
        }
        if ((line.front() == ' ' || line.front() == '\t') && !Headers.empty()) {
            Headers.back() += "\r\n";
            Headers.back() += line;
        } else {
            Headers.emplace_back(line);
        }
    }
    if (!headersOnly && !ended) {
        for (; i < lines.size(); ++i) {
            std::string_view line = lines[i];
            if (fileForm && line == ".") break;
            if (fileForm && line.rfind("..", 0) == 0) line.remove_prefix(1);
            Body.emplace_back(line);
        }
    }
    ReadProperties();
    m_bodyForm = TBodyForm::Transmitted;
    if (LoadMode != TLoadMode::Decoded || headersOnly) return;

    std::vector<std::string> contentFields;
    for (const std::string& entry : Headers) {
        const std::string_view name = FieldName(entry);
        if (name.size() > 8 && SameTextAscii(name.substr(0, 8), "content-")) contentFields.push_back(entry);
    }
    mailtext::TDecodedBody decoded;
    auto keepFiles = [&] {
        for (const TMessagePart& part : decoded.Parts)
            if (const auto* file = std::get_if<TAttachmentPart>(&part); file && file->OwnsFile)
                m_ownedFiles.push_back(file->StoredPath);
    };
    try {
        mailtext::DecodeMime(contentFields, Body, decoded, AttachmentsInMemory);
    } catch (...) {
        keepFiles();  // so that the files made so far are deleted with us
        throw;
    }
    keepFiles();
    Body = std::move(decoded.Body);
    MessageParts = std::move(decoded.Parts);
    m_bodyForm = TBodyForm::Decoded;
}

void TMailMessage::ReadProperties() {
    auto value = [this](std::string_view name) {
        const int at = FindField(Headers, name);
        return at < 0 ? std::string() : FieldValue(Headers[static_cast<std::size_t>(at)]);
    };
    auto first = [](const std::vector<TMailAddress>& list) { return list.empty() ? TMailAddress{} : list.front(); };
    From = first(ReadAddressList(value("From")));
    Recipients.SetText(value("To"));
    CCList.SetText(value("Cc"));
    ReplyTo.SetText(value("Reply-To"));
    Sender = first(ReadAddressList(value("Sender")));
    Subject = mailtext::DecodeHeaderText(value("Subject"));
    Date = mailtext::ParseDate(value("Date"));
    ContentType = value("Content-Type");
    ContentTransferEncoding = value("Content-Transfer-Encoding");
    m_loaded = {From, Recipients, CCList, ReplyTo, Sender, Subject, Date, ContentType, ContentTransferEncoding};
}

// ---- saving -----------------------------------------------------------------------------

std::string TMailMessage::SaveToText() const {
    // The body first: how it is written decides the content fields.
    std::vector<std::string> bodyLines;
    std::optional<std::string> forcedType, forcedEncoding;
    bool mimeVersion = false;
    if (!MessageParts.empty()) {
        std::vector<TWrittenPart> parts;
        if (!Body.empty()) parts.push_back(WrittenTextPart(TextMediaType(ContentType), Body));
        for (const TMessagePart& part : MessageParts) {
            if (const auto* text = std::get_if<TTextPart>(&part))
                parts.push_back(WrittenTextPart(TextMediaType(text->ContentType), text->Body));
            else
                parts.push_back(WrittenAttachment(std::get<TAttachmentPart>(part)));
        }
        const std::string boundary = BoundaryFor(parts);
        for (TWrittenPart& part : parts) {
            bodyLines.push_back("--" + boundary);
            for (std::string& line : part.Head) bodyLines.push_back(std::move(line));
            bodyLines.emplace_back();
            for (std::string& line : part.Body) bodyLines.push_back(std::move(line));
            // The line break before a boundary belongs to the boundary; this empty line gives
            // the content its final line end, so that a last empty line survives.
            bodyLines.emplace_back();
        }
        bodyLines.push_back("--" + boundary + "--");
        forcedType = "multipart/mixed; boundary=\"" + boundary + "\"";
        forcedEncoding = "";  // a multipart body is 7bit, the default
        mimeVersion = true;
    } else if (m_bodyForm == TBodyForm::Transmitted) {
        bodyLines = SplitEach(Body);
    } else {
        bodyLines = SplitEach(Body);
        if (mailtext::NeedsEncoding(bodyLines)) {
            bodyLines = mailtext::EncodeQuotedPrintable(bodyLines);
            forcedType = TextMediaType(ContentType) + "; charset=utf-8";
            forcedEncoding = "quoted-printable";
            mimeVersion = true;
        } else if (m_bodyForm == TBodyForm::Decoded) {
            // The original fields may name base64 or another charset; the text is neither now.
            forcedType = "text/plain; charset=utf-8";
            forcedEncoding = "7bit";
            mimeVersion = true;
        }
    }

    // Standard fields: only those set or changed since the load are written from the
    // properties, replacing the first line of their name; an empty one removes that line.
    std::vector<std::string> headers = Headers;
    auto setField = [&headers](std::string_view name, const std::string& value) {
        const int at = FindField(headers, name);
        if (value.empty()) {
            if (at >= 0) headers.erase(headers.begin() + at);
            return;
        }
        std::string line = mailtext::FoldField(std::string(name) + ": " + value);
        if (at >= 0)
            headers[static_cast<std::size_t>(at)] = std::move(line);
        else
            headers.push_back(std::move(line));
    };
    if (!SameAddress(From, m_loaded.From)) setField("From", From.Empty() ? "" : EncodedAddress(From));
    if (Subject != m_loaded.Subject) setField("Subject", mailtext::EncodeHeaderText(Subject));
    if (!(Recipients == m_loaded.Recipients)) setField("To", EncodedList(Recipients));
    if (!(CCList == m_loaded.CCList)) setField("Cc", EncodedList(CCList));
    if (forcedType)
        setField("Content-Type", *forcedType);
    else if (ContentType != m_loaded.ContentType)
        setField("Content-Type", OneFieldLine(ContentType));
    if (mimeVersion) setField("MIME-Version", "1.0");
    if (forcedEncoding)
        setField("Content-Transfer-Encoding", *forcedEncoding);
    else if (ContentTransferEncoding != m_loaded.ContentTransferEncoding)
        setField("Content-Transfer-Encoding", OneFieldLine(ContentTransferEncoding));
    if (!SameAddress(Sender, m_loaded.Sender)) setField("Sender", Sender.Empty() ? "" : EncodedAddress(Sender));
    if (!(ReplyTo == m_loaded.ReplyTo)) setField("Reply-To", EncodedList(ReplyTo));
    if (Date != m_loaded.Date) setField("Date", Date == kZeroDate ? "" : DateFieldText(Date));

    std::string out;
    for (const std::string& entry : headers) AppendEntry(out, entry);
    for (const std::string& entry : ExtraHeaders) AppendEntry(out, entry);
    out += "\r\n";
    for (const std::string& line : bodyLines) AppendStuffedLine(out, line);
    out += ".\r\n";
    return out;
}

void TMailMessage::SaveToFile(const std::string& path) const {
    WriteFileAtomic(path, SaveToText(), kMessageFileMode);
}

}  // namespace vorla
