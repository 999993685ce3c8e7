// One stored message and its file; the Received stamp and the display text.
#include <climits>
#include <cstdint>
#include <exception>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "mail/MessageStore.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Strings.h"
#include "text/Helpers.h"
#include "text/TextSearch.h"

namespace vorla {
namespace {

constexpr std::string_view kReceivedField = "Received:";
constexpr std::string_view kAttachmentLine = "Content-Disposition: attachment;";
constexpr std::string_view kFileNameKey = "filename=";

// The text after "filename=" on line, cut to what stands between the first two double quotes
// when there are quotes.
std::string FileNameAfterKey(const std::string& line) {
    const std::size_t at = FindNoCase(kFileNameKey, line);
    std::string name = line.substr(at - 1 + kFileNameKey.size());
    if (const std::size_t first = name.find('"'); first != std::string::npos) name.erase(0, first + 1);
    if (const std::size_t next = name.find('"'); next != std::string::npos) name.erase(next);
    return name;
}

}  // namespace

TZivadMessageItem::TZivadMessageItem(TZivadMessageCollection& collection)
    : m_collection(&collection),
      m_message(std::make_unique<TMailMessage>()),
      m_folder(collection.Folder()),
      m_fileName(m_folder + TZivadMessageCollection::PositionFileName(0)) {}

TZivadMessageItem::~TZivadMessageItem() = default;

int TZivadMessageItem::Index() const {
    std::scoped_lock guard(m_collection->m_lock);
    const auto& items = m_collection->m_items;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].get() == this) return static_cast<int>(i);
    }
    return -1;
}

std::string TZivadMessageItem::DerivedFileName() const {
    return m_folder + TZivadMessageCollection::PositionFileName(Index() + 1);
}

void TZivadMessageItem::Load(bool headersOnly) {
    std::scoped_lock guard(m_collection->m_lock);
    if (m_folder.empty() || !FileExists(m_fileName)) return;
    try {
        m_message->LoadMode = TLoadMode::Raw;
        m_message->LoadFromFile(m_fileName, headersOnly);
    } catch (const std::exception&) {
        // A message file that cannot be read leaves the item as the failed load left it;
        // every caller carries on with what the message holds.
    }
}

void TZivadMessageItem::Save() {
    std::scoped_lock guard(m_collection->m_lock);
    if (m_folder.empty()) return;
    m_message->SaveToFile(m_fileName);
    m_size = -1;  // the file is new: its size is measured again when asked
}

void TZivadMessageItem::Release() {
    std::scoped_lock guard(m_collection->m_lock);
    m_message->Clear();
}

void TZivadMessageItem::DeleteFile() {
    std::scoped_lock guard(m_collection->m_lock);
    if (m_folder.empty() || !FileExists(m_fileName)) return;
    vorla::DeleteFile(m_fileName);
}

int TZivadMessageItem::Size() {
    std::scoped_lock guard(m_collection->m_lock);
    if (m_size != -1) return m_size;
    std::optional<std::uint64_t> bytes;
    if (!m_folder.empty()) bytes = FileSize(m_fileName);
    if (!bytes) bytes = m_message->SaveToText().size();
    m_size = *bytes > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(*bytes);
    return m_size;
}

void TZivadMessageItem::SetSize(int size) {
    std::scoped_lock guard(m_collection->m_lock);
    m_size = size;
}

void TZivadMessageItem::CopyFrom(const TZivadMessageItem& other) {
    if (&other == this) return;
    std::unique_lock<TZivadMessageCollection::TFolderLock> mine(m_collection->m_lock, std::defer_lock);
    std::unique_lock<TZivadMessageCollection::TFolderLock> theirs(other.m_collection->m_lock, std::defer_lock);
    if (m_collection == other.m_collection) {
        mine.lock();
    } else {
        std::lock(mine, theirs);
    }
    const std::string text = other.m_message->SaveToText();
    m_collection = other.m_collection;
    Deleted = other.Deleted;
    m_folder = other.m_folder;
    m_fileName = other.m_fileName;
    // The size belongs to the file and message taken over, not to what this item held.
    m_size = other.m_size;
    m_message->LoadMode = TLoadMode::Raw;
    m_message->LoadFromText(text);
}

std::string TZivadMessageItem::FileText() const {
    std::scoped_lock guard(m_collection->m_lock);
    if (m_folder.empty()) return m_message->SaveToText();
    try {
        return FileExists(m_fileName) ? ReadFileBytes(m_fileName) : std::string();
    } catch (const std::exception&) {
        return std::string();
    }
}

std::string TZivadMessageItem::ReceivedIPs(bool all) {
    std::scoped_lock guard(m_collection->m_lock);
    std::string text;
    if (m_folder.empty()) {
        // Without a folder the message held here is the only copy: releasing it would lose it.
        text = m_message->SaveToText();
    } else {
        Load(false);
        text = m_message->SaveToText();
        Release();
    }
    return ExtractReceivedIPs(SplitLines(text), all);
}

std::string TZivadMessageItem::AttachmentName() const {
    const std::vector<std::string> lines = SplitLines(FileText());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!StartsWithNoCase(lines[i], kAttachmentLine)) continue;
        // Most mail names the file on the disposition line itself; folded headers put it on
        // the next line.
        if (FindNoCase(kFileNameKey, lines[i]) > 0) return FileNameAfterKey(lines[i]);
        if (i + 1 < lines.size() && FindNoCase(kFileNameKey, lines[i + 1]) > 0) {
            return FileNameAfterKey(lines[i + 1]);
        }
    }
    return std::string();
}

std::string TZivadMessageItem::DisplayText() const { return MessageDisplayText(FileText()); }

std::string MessageDisplayText(const std::string& messageFileText) {
    TMailMessage message;
    message.LoadMode = TLoadMode::Decoded;
    message.AttachmentsInMemory = true;  // only read here: no temporary files
    try {
        message.LoadFromText(messageFileText);
    } catch (const std::exception&) {
        // Shown as far as it could be read.
    }
    auto& parts = message.MessageParts;
    for (auto it = parts.begin(); it != parts.end();) {
        if (auto* text = std::get_if<TTextPart>(&*it)) {
            message.Body.insert(message.Body.end(), text->Body.begin(), text->Body.end());
            it = parts.erase(it);
            continue;
        }
        auto& attachment = std::get<TAttachmentPart>(*it);
        if (!ContainsNoCase(attachment.ContentType, "text/html")) {
            ++it;
            continue;
        }
        const std::vector<std::string> lines = SplitLines(attachment.Content);
        message.Body.insert(message.Body.end(), lines.begin(), lines.end());
        it = parts.erase(it);
    }
    // The text is shown as decoded. Written by SaveToText, a decoded UTF-8 body would come out
    // quoted-printable again, and neither the reader nor a body rule looking for "café" would
    // see the text; so only the header and what is left of the parts go through SaveToText,
    // and the text lines are put in front of the body as they are (before the first boundary
    // when attachments remain).
    std::vector<std::string> text = std::move(message.Body);
    message.Body.clear();
    TMailMessage shown;
    shown.LoadMode = TLoadMode::Raw;
    shown.LoadFromText(message.SaveToText());
    if (!text.empty() && !shown.Body.empty()) text.emplace_back();
    shown.Body.insert(shown.Body.begin(), std::make_move_iterator(text.begin()), std::make_move_iterator(text.end()));
    return shown.SaveToText();
}

void StampReceived(TMailMessage& message, const std::string& word) {
    std::string original;
    bool reloading = false;
    try {
        const std::string zone = StandardZoneText();
        original = message.SaveToText();
        // Only the header block is searched: a "Received:" line in the body (a forwarded
        // bounce) is message text, and stamping there would change the body.
        std::size_t pos = 0;
        bool found = false;
        while (pos < original.size()) {
            std::size_t end = original.find("\r\n", pos);
            if (end == std::string::npos) end = original.size();
            const std::string_view line(original.data() + pos, end - pos);
            if (line.empty()) break;
            if (StartsWithAscii(line, kReceivedField)) {
                found = true;
                break;
            }
            pos = end + 2;
        }
        if (!found) return;
        const std::string stamp = std::string(kReceivedField) + " " + word + " by Vorla; " +
                                  FormatDateTime("ddd, dd mmm yyyy hh:nn:ss", Now()) + " " + zone + "\r\n";
        std::string stamped = original;
        stamped.insert(pos, stamp);
        reloading = true;
        message.LoadMode = TLoadMode::Raw;
        message.LoadFromText(stamped);
    } catch (const std::exception&) {
        if (!reloading) return;
        try {
            message.LoadFromText(original);
        } catch (const std::exception&) {
            // Nothing better is left: the message keeps what the load left.
        }
    }
}

}  // namespace vorla
