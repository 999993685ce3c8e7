// The messages of one local folder: file names kept in step with list positions.
#include "mail/MessageStore.h"

#include <algorithm>
#include <exception>
#include <unordered_map>

#include "platform/Errors.h"
#include "platform/Files.h"

namespace vorla {
namespace {

constexpr const char* kMessageFileMask = "*.msg";
constexpr std::string_view kMessageFileExtension = ".msg";
constexpr std::size_t kPositionDigits = 5;

// Ordering of the message files found in a folder. Names with an all-digit stem are ordered
// by their number: plain byte order would put "100000.msg" between "10000.msg" and
// "10001.msg" once a folder passes 99999 messages, and the files would change places. Other
// names follow in byte order.
struct TFoundFile {
    std::string name;
    bool numbered = false;
    unsigned long long number = 0;
};

TFoundFile ClassifyName(const std::string& name) {
    TFoundFile found{name};
    const std::string_view stem(name.data(), name.size() - kMessageFileExtension.size());
    if (stem.empty() || stem.size() > 18) return found;
    for (char c : stem) {
        if (c < '0' || c > '9') return found;
        found.number = found.number * 10 + static_cast<unsigned>(c - '0');
    }
    found.numbered = true;
    return found;
}

bool FoundBefore(const TFoundFile& a, const TFoundFile& b) {
    if (a.numbered != b.numbered) return a.numbered;
    if (a.numbered && a.number != b.number) return a.number < b.number;
    return a.name < b.name;
}

}  // namespace

// --- TFolderLock ---------------------------------------------------------------------------

void TZivadMessageCollection::TFolderLock::lock() {
    m_mutex.lock();
    ++m_depth;
}

bool TZivadMessageCollection::TFolderLock::try_lock() {
    if (!m_mutex.try_lock()) return false;
    ++m_depth;
    return true;
}

void TZivadMessageCollection::TFolderLock::unlock() {
    bool raise = false;
    if (--m_depth == 0) {
        raise = m_changed;
        m_changed = false;
    }
    m_mutex.unlock();
    if (raise) m_owner.NotifyChange();
}

void TZivadMessageCollection::TFolderLock::MarkChanged() { m_changed = true; }

// --- TZivadMessageCollection ---------------------------------------------------------------

TZivadMessageCollection::TZivadMessageCollection(std::string folder)
    : m_folder(folder.empty() ? std::string() : IncludeTrailingSlash(folder)) {
    if (m_folder.empty()) return;
    ForceDirectories(m_folder);
    LoadFolder();
}

TZivadMessageCollection::~TZivadMessageCollection() = default;

std::string TZivadMessageCollection::PositionFileName(int position) {
    std::string digits = std::to_string(position);
    if (digits.size() < kPositionDigits) digits.insert(0, kPositionDigits - digits.size(), '0');
    return digits + std::string(kMessageFileExtension);
}

void TZivadMessageCollection::NotifyChange() noexcept {
    try {
        OnChange.Raise(*this);
    } catch (...) {
        // Receivers must not throw; this runs where nothing can take an exception (the end of
        // an operation, possibly while another exception is on its way out).
    }
}

void TZivadMessageCollection::RaiseChange() {
    std::scoped_lock guard(m_lock);
    m_lock.MarkChanged();
}

int TZivadMessageCollection::Count() const {
    std::scoped_lock guard(m_lock);
    return static_cast<int>(m_items.size());
}

TZivadMessageItem* TZivadMessageCollection::Item(int i) {
    std::scoped_lock guard(m_lock);
    if (i < 0 || i >= static_cast<int>(m_items.size())) return nullptr;
    return m_items[static_cast<std::size_t>(i)].get();
}

bool TZivadMessageCollection::NameHeldByOther(const std::string& name, const TZivadMessageItem* self) const {
    return std::any_of(m_items.begin(), m_items.end(),
                       [&](const auto& item) { return item.get() != self && item->m_fileName == name; });
}

TZivadMessageItem& TZivadMessageCollection::NewItem() {
    std::scoped_lock guard(m_lock);
    auto item = std::make_unique<TZivadMessageItem>(*this);
    const int position = static_cast<int>(m_items.size()) + 1;
    std::string name = m_folder + PositionFileName(position);
    if (!m_folder.empty() && NameHeldByOther(name, nullptr)) {
        // A failed rename still keeps another item's file under this name; try the renames
        // again, and while the name stays taken use a free higher one until a later Renumber.
        Renumber();
        for (int n = position; NameHeldByOther(name, nullptr) || FileExists(name); ++n) {
            name = m_folder + PositionFileName(n + 1);
        }
    }
    item->m_fileName = name;
    m_items.push_back(std::move(item));
    return *m_items.back();
}

TZivadMessageItem& TZivadMessageCollection::AddMessage(TMailMessage& message, const std::string& stamp) {
    std::scoped_lock guard(m_lock);
    m_lock.MarkChanged();  // raised when the lock is let go, also when a step below throws
    TZivadMessageItem& item = NewItem();
    try {
        if (!stamp.empty()) StampReceived(message, stamp);
        item.m_message->LoadMode = TLoadMode::Raw;
        item.m_message->LoadFromText(message.SaveToText());
        item.Save();
    } catch (...) {
        // The folder does not hold the message: the list must not show it either (a POP3
        // client would be offered a message that cannot be retrieved).
        if (!m_items.empty() && m_items.back().get() == &item) m_items.pop_back();
        throw;
    }
    return item;
}

void TZivadMessageCollection::Delete(int i) {
    std::scoped_lock guard(m_lock);
    if (i < 0 || i >= static_cast<int>(m_items.size())) return;
    m_items[static_cast<std::size_t>(i)]->DeleteFile();
    // The items above move down with their files still under the old names; Renumber then
    // renames each file one number down, which is the same result as copying every message
    // into the item below, without reading or writing any message.
    m_items.erase(m_items.begin() + i);
    Renumber();
}

bool TZivadMessageCollection::Purge() {
    std::scoped_lock guard(m_lock);
    bool removed = false;
    std::exception_ptr firstError;
    for (int i = static_cast<int>(m_items.size()) - 1; i >= 0; --i) {
        TZivadMessageItem& item = *m_items[static_cast<std::size_t>(i)];
        if (!item.Deleted) continue;
        try {
            item.DeleteFile();
        } catch (const std::exception&) {
            // Kept, still marked, so the message is neither lost nor shown without its file.
            if (!firstError) firstError = std::current_exception();
            continue;
        }
        m_items.erase(m_items.begin() + i);
        removed = true;
    }
    if (removed) {
        Renumber();
        m_lock.MarkChanged();
    }
    if (firstError) std::rethrow_exception(firstError);
    return removed;
}

void TZivadMessageCollection::Renumber() {
    std::scoped_lock guard(m_lock);
    const int count = static_cast<int>(m_items.size());
    if (m_folder.empty()) {
        for (int i = 0; i < count; ++i) m_items[static_cast<std::size_t>(i)]->m_fileName = PositionFileName(i + 1);
        return;
    }
    // Which item's file each name holds. A target still held by another item is never renamed
    // over (that would destroy the other message): it waits until its holder has moved on, in
    // a later pass of this loop or in a later Renumber when a rename failed.
    std::unordered_map<std::string, TZivadMessageItem*> holders;
    std::vector<int> pending;
    for (int i = 0; i < count; ++i) {
        TZivadMessageItem* item = m_items[static_cast<std::size_t>(i)].get();
        holders.emplace(item->m_fileName, item);
        if (item->m_fileName != m_folder + PositionFileName(i + 1)) pending.push_back(i);
    }
    for (int pass = 0; !pending.empty() && pass < count; ++pass) {
        std::vector<int> waiting;
        bool moved = false;
        for (int i : pending) {
            TZivadMessageItem& item = *m_items[static_cast<std::size_t>(i)];
            const std::string target = m_folder + PositionFileName(i + 1);
            const auto holder = holders.find(target);
            if (holder != holders.end() && holder->second != &item) {
                waiting.push_back(i);
                continue;
            }
            if (FileExists(item.m_fileName)) {
                try {
                    RenameFile(item.m_fileName, target);
                } catch (const std::exception&) {
                    continue;  // the file stays where it is, under its FileName
                }
            }
            // An item without a file (never saved, or gone) simply takes its name.
            if (const auto old = holders.find(item.m_fileName); old != holders.end() && old->second == &item) {
                holders.erase(old);
            }
            holders[target] = &item;
            item.m_fileName = target;
            moved = true;
        }
        pending.swap(waiting);
        if (!moved) break;
    }
}

void TZivadMessageCollection::LoadFolder() {
    std::scoped_lock guard(m_lock);
    if (!m_folder.empty()) {
        std::vector<TFoundFile> found;
        for (const std::string& name : FindFiles(m_folder, kMessageFileMask)) {
            // The mask already leaves out temporary files of an interrupted write
            // ("00001.msg.tmp"); the test keeps it so whatever the mask matcher does.
            if (name.size() <= kMessageFileExtension.size() ||
                name.compare(name.size() - kMessageFileExtension.size(), kMessageFileExtension.size(),
                             kMessageFileExtension) != 0) {
                continue;
            }
            found.push_back(ClassifyName(name));
        }
        std::stable_sort(found.begin(), found.end(), FoundBefore);
        for (const TFoundFile& file : found) {
            auto item = std::make_unique<TZivadMessageItem>(*this);
            item->m_fileName = m_folder + file.name;
            m_items.push_back(std::move(item));
        }
        Renumber();
    }
    m_lock.MarkChanged();
}

void TZivadMessageCollection::Reload() {
    std::scoped_lock guard(m_lock);
    m_items.clear();
    LoadFolder();
}

long long TZivadMessageCollection::TotalSize() {
    std::scoped_lock guard(m_lock);
    // Size comes from the file (or the cache), so the messages are not read for it; reading
    // every file in full on each POP3 STAT would cost as much as retrieving the whole folder.
    long long total = 0;
    for (const auto& item : m_items) total += item->Size();
    return total;
}

std::string TZivadMessageCollection::ScanListing() {
    std::scoped_lock guard(m_lock);
    std::string listing;
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        listing += std::to_string(i + 1) + " " + std::to_string(m_items[i]->Size()) + "\r\n";
    }
    return listing;
}

}  // namespace vorla
