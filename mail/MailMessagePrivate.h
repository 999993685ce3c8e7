#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "mail/MailMessage.h"

// Pieces of the message model shared by its source files; not for use outside mail/.
namespace vorla::mailtext {

// MessageText.cpp: the text form, without any MIME library.

// SplitLines(line, TLineBreak::Lf) applied to every element, so no line holds a LF any more.
std::vector<std::string> SplitEach(const std::vector<std::string>& lines);

// The field name of a header entry (before its first colon, blanks around it trimmed); empty
// when the entry has no colon.
std::string_view FieldName(std::string_view entry);
bool IsField(std::string_view entry, std::string_view name);  // letter case ignored
// Index of the first entry of that name, or -1.
int FindField(const std::vector<std::string>& headers, std::string_view name);
// The value after the colon, unfolded (line breaks removed), NUL bytes removed, blanks trimmed.
std::string FieldValue(std::string_view entry);

// The media type of a value such as "text/plain; charset=utf-8", lower case ("text/plain"), or "".
std::string MediaType(std::string_view value);

// Any byte that 7bit text may not hold (8-bit, NUL, CR) or a line over 998 bytes.
bool NeedsEncoding(const std::vector<std::string>& lines);
std::vector<std::string> EncodeQuotedPrintable(const std::vector<std::string>& lines);
std::vector<std::string> EncodeBase64(std::string_view bytes);
// "Name: value" broken before blanks so that lines stay near 78 bytes where the text allows.
std::string FoldField(const std::string& field);
// CR, LF and NUL turned into spaces: a value that may go into one header field.
std::string OneFieldLine(std::string_view text);

// Appends one line in the file form: a leading "." doubled, CR LF after it.
void AppendStuffedLine(std::string& out, std::string_view line);

// MessageCodec.cpp: what the MIME library does for us.

void EnsureMimeLibrary();  // thread-safe; every function below calls it
// Encoded words decoded, other 8-bit text read as UTF-8 or else Latin-1; result is UTF-8.
std::string DecodeHeaderText(const std::string& value);
// Mailboxes of an address list, group members flattened; names UTF-8.
std::vector<TMailAddress> ParseAddresses(const std::string& value);
// A date-time in any common form as local time on the day-count scale; kZeroDate if unreadable.
TDateTime ParseDate(const std::string& value);
// UTF-8 text as the value of an unstructured field (encoded words where it is not ASCII).
std::string EncodeHeaderText(const std::string& text);
// A display name for an address field: as is, quoted, or as encoded words.
std::string EncodeDisplayName(const std::string& name);
// Bytes in the named charset converted to UTF-8; unknown charsets and bytes that do not fit
// fall back to UTF-8 as is when valid, else Latin-1 with the Windows additions.
std::string ToUtf8(std::string_view bytes, std::string_view charset);
bool IsValidUtf8(std::string_view text);

struct TDecodedBody {
    std::vector<std::string> Body;
    std::vector<TMessagePart> Parts;
};
// Decodes the MIME structure of a body: contentFields are the message's "Content-*" header
// entries, body its lines. A single text/plain body becomes Body, anything else Parts.
// Attachment contents go to temporary files, or with inMemory into the parts themselves; on an
// exception the parts made so far are in parts (so that their files can be deleted).
void DecodeMime(const std::vector<std::string>& contentFields, const std::vector<std::string>& body,
                TDecodedBody& out, bool inMemory = false);

}  // namespace vorla::mailtext
