// What GMime does for the message model: encoded words, address lists, dates, charsets and
// the MIME tree of a decoded load.
#include <gmime/gmime.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <mutex>

#include "mail/MailMessagePrivate.h"
#include "platform/Errors.h"
#include "platform/Strings.h"
#include "platform/TempFolder.h"
#include "text/TextSearch.h"

namespace vorla::mailtext {
namespace {

// Real mail nests a few levels; hostile mail nests until the parser gives up. Parts below
// this depth, and parts past this count, are left out of a decoded load.
constexpr int kMaxMimeDepth = 32;
constexpr std::size_t kMaxParts = 1000;

struct TGObjectUnref {
    void operator()(gpointer object) const {
        if (object) g_object_unref(object);
    }
};
template <typename T>
using TGPtr = std::unique_ptr<T, TGObjectUnref>;

struct TGFree {
    void operator()(gpointer p) const { g_free(p); }
};
using TGString = std::unique_ptr<char, TGFree>;

std::string TakeString(char* text) {
    TGString owned(text);
    return owned ? std::string(owned.get()) : std::string();
}

// Windows-1252 for 0x80..0x9F (the common mislabelled "Latin-1"), Latin-1 elsewhere; the five
// undefined codes map to the C1 controls of the same number.
const char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string Windows1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (unsigned char c : bytes) {
        const unsigned code = c >= 0x80 && c < 0xA0 ? kWindows1252High[c - 0x80] : c;
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::string EnsureUtf8(std::string text) {
    return IsValidUtf8(text) ? text : Windows1252ToUtf8(text);
}

std::string WithoutNul(const std::string& text) {
    if (text.find('\0') == std::string::npos) return text;
    std::string result;
    for (char c : text)
        if (c != '\0') result += c;
    return result;
}

std::string StreamBytes(GMimeStream* stream) {
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    if (!bytes || bytes->len == 0) return {};
    return std::string(reinterpret_cast<const char*>(bytes->data), bytes->len);
}

void CollectMailboxes(InternetAddressList* list, std::vector<TMailAddress>& out, int depth) {
    if (!list || depth > 2) return;  // groups do not nest in real mail
    const int count = internet_address_list_length(list);
    for (int i = 0; i < count; ++i) {
        InternetAddress* address = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(address)) {
            CollectMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out, depth + 1);
        } else if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
            TMailAddress item;
            const char* name = internet_address_get_name(address);
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
            item.Name = EnsureUtf8(name ? name : "");
            item.Address = EnsureUtf8(addr ? addr : "");
            if (!item.Empty()) out.push_back(std::move(item));
        }
    }
}

// The decoded content of a leaf part, without charset conversion.
std::string PartContent(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (!content) return {};
    TGPtr<GMimeStream> stream(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(content, stream.get());
    return StreamBytes(stream.get());
}

class TMimeWalker {
public:
    TMimeWalker(TDecodedBody& out, bool inMemory) : m_out(out), m_inMemory(inMemory) {}

    void Walk(GMimeObject* object, int depth, bool top) {
        if (!object || depth > kMaxMimeDepth || m_out.Parts.size() >= kMaxParts) return;
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            const int count = g_mime_multipart_get_count(multipart);
            for (int i = 0; i < count; ++i) Walk(g_mime_multipart_get_part(multipart, i), depth + 1, false);
        } else if (GMIME_IS_MESSAGE_PART(object)) {
            AddEmbeddedMessage(object);
        } else if (GMIME_IS_PART(object)) {
            AddLeaf(GMIME_PART(object), top);
        }
    }

private:
    TDecodedBody& m_out;
    const bool m_inMemory;

    static std::string MimeType(GMimeObject* object) {
        GMimeContentType* type = g_mime_object_get_content_type(object);
        return type ? AsciiLower(TakeString(g_mime_content_type_get_mime_type(type))) : std::string("text/plain");
    }

    void AddLeaf(GMimePart* part, bool top) {
        GMimeObject* object = GMIME_OBJECT(part);
        const std::string type = MimeType(object);
        const char* disposition = g_mime_object_get_disposition(object);
        const char* fileName = g_mime_part_get_filename(part);
        const bool attached = disposition && SameTextAscii(disposition, GMIME_DISPOSITION_ATTACHMENT);
        const bool named = fileName && *fileName;
        // What a mail client shows as the message text: plain text that is neither attached
        // nor named. HTML and everything else are attachments; the store's display text
        // folds HTML attachments back into the text.
        if (type == "text/plain" && !attached && !named) {
            const char* charset = g_mime_object_get_content_type_parameter(object, "charset");
            std::vector<std::string> lines =
                SplitLines(ToUtf8(PartContent(part), charset ? charset : ""), TLineBreak::Lf);
            if (top) {
                m_out.Body = std::move(lines);
            } else {
                m_out.Parts.emplace_back(TTextPart{"text/plain; charset=utf-8", std::move(lines)});
            }
            return;
        }
        AddAttachment(type, named ? fileName : "", PartContent(part));
    }

    void AddEmbeddedMessage(GMimeObject* object) {
        GMimeMessage* message = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        std::string bytes;
        if (message) {
            TGPtr<GMimeStream> stream(g_mime_stream_mem_new());
            g_mime_object_write_to_stream(GMIME_OBJECT(message), nullptr, stream.get());
            bytes = StreamBytes(stream.get());
        }
        const char* name = g_mime_object_get_content_disposition_parameter(object, "filename");
        if (!name || !*name) name = g_mime_object_get_content_type_parameter(object, "name");
        AddAttachment(MimeType(object), name ? name : "", bytes);
    }

    void AddAttachment(const std::string& type, const std::string& fileName, const std::string& bytes) {
        TAttachmentPart part;
        part.ContentType = type;
        part.FileName = EnsureUtf8(WithoutNul(fileName));
        // Entered before the file is made, so a failure further on still finds it to delete.
        if (m_inMemory) {
            part.InMemory = true;
            part.Content = bytes;
            m_out.Parts.emplace_back(std::move(part));
            return;
        }
        m_out.Parts.emplace_back(part);
        TAttachmentPart& stored = std::get<TAttachmentPart>(m_out.Parts.back());
        stored.StoredPath = CreateTempFile("Ind", ".tmp");
        stored.OwnsFile = true;
        std::ofstream file(stored.StoredPath, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        file.flush();
        if (!file) throw TFileError("Cannot write attachment file " + stored.StoredPath);
    }
};

}  // namespace

void EnsureMimeLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

bool IsValidUtf8(std::string_view text) {
    return g_utf8_validate_len(text.data(), text.size(), nullptr);
}

std::string DecodeHeaderText(const std::string& value) {
    EnsureMimeLibrary();
    return EnsureUtf8(TakeString(g_mime_utils_header_decode_text(nullptr, WithoutNul(value).c_str())));
}

std::vector<TMailAddress> ParseAddresses(const std::string& value) {
    EnsureMimeLibrary();
    std::vector<TMailAddress> result;
    TGPtr<InternetAddressList> list(internet_address_list_parse(nullptr, WithoutNul(value).c_str()));
    CollectMailboxes(list.get(), result, 0);
    return result;
}

TDateTime ParseDate(const std::string& value) {
    EnsureMimeLibrary();
    const std::string text = WithoutNul(value);
    if (Trim(text, TTrimSet::Blanks).empty()) return kZeroDate;
    GDateTime* parsed = g_mime_utils_header_decode_date(text.c_str());
    if (!parsed) return kZeroDate;
    const gint64 unixTime = g_date_time_to_unix(parsed);
    g_date_time_unref(parsed);
    try {
        const TDateTime local = UnixToLocal(static_cast<std::time_t>(unixTime));
        return std::isfinite(local) ? local : kZeroDate;
    } catch (const TVorlaError&) {
        return kZeroDate;  // outside what the scale can hold
    }
}

std::string EncodeHeaderText(const std::string& text) {
    EnsureMimeLibrary();
    const std::string clean = EnsureUtf8(OneFieldLine(text));
    bool plain = true;
    for (unsigned char c : clean)
        if (c >= 0x80) plain = false;
    // "=?" in plain text would be read back as the start of an encoded word.
    if (plain && clean.find("=?") == std::string::npos) return clean;
    return TakeString(g_mime_utils_header_encode_text(nullptr, clean.c_str(), "utf-8"));
}

std::string EncodeDisplayName(const std::string& name) {
    EnsureMimeLibrary();
    const std::string clean = EnsureUtf8(OneFieldLine(name));
    return TakeString(g_mime_utils_header_encode_phrase(nullptr, clean.c_str(), "utf-8"));
}

std::string ToUtf8(std::string_view bytes, std::string_view charset) {
    EnsureMimeLibrary();
    const std::string name = AsciiLower(TrimmedView(charset, TTrimSet::Blanks));
    if (!name.empty() && name != "utf-8" && name != "utf8" && name != "us-ascii" && name != "ascii") {
        const char* iconvName = g_mime_charset_iconv_name(std::string(name).c_str());
        gsize written = 0;
        GError* error = nullptr;
        char* converted = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8", iconvName, nullptr,
                                    &written, &error);
        if (converted && !error) {
            std::string result(converted, written);
            g_free(converted);
            if (IsValidUtf8(result)) return result;
        } else {
            g_free(converted);
        }
        if (error) g_error_free(error);
    }
    return EnsureUtf8(std::string(bytes));
}

void DecodeMime(const std::vector<std::string>& contentFields, const std::vector<std::string>& body,
                TDecodedBody& out, bool inMemory) {
    EnsureMimeLibrary();
    std::string text;
    for (const std::string& field : contentFields) text += field + "\n";
    text += "\n";
    for (const std::string& line : body) {
        text += line;
        text += '\n';
    }
    TGPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
    TGPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    TGPtr<GMimeObject> root(g_mime_parser_construct_part(parser.get(), nullptr));
    if (!root) {
        out.Body = body;
        return;
    }
    TMimeWalker(out, inMemory).Walk(root.get(), 0, true);
}

}  // namespace vorla::mailtext
