#include "net/PopServerMaildrop.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "mail/MessageStore.h"
#include "platform/Crc32.h"
#include "text/TextSearch.h"

namespace vorla {
namespace {

constexpr std::string_view kMessageExtension = ".msg";
constexpr std::string_view kTerminator = ".\r\n";
constexpr std::string_view kLineEndTerminator = "\r\n.\r\n";

TPopFileIdentity IdentityOf(const struct stat& info) {
    TPopFileIdentity id;
    id.device = static_cast<std::uint64_t>(info.st_dev);
    id.inode = static_cast<std::uint64_t>(info.st_ino);
    id.size = static_cast<std::int64_t>(info.st_size);
    id.modifiedNs = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return id;
}

std::optional<TPopFileIdentity> IdentityOfPath(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return IdentityOf(info);
}

std::uint64_t Fnv1a64(std::string_view data) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : data) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

class TFileCloser {
public:
    explicit TFileCloser(int fd) : m_fd(fd) {}
    ~TFileCloser() {
        if (m_fd >= 0) ::close(m_fd);
    }
    TFileCloser(const TFileCloser&) = delete;
    TFileCloser& operator=(const TFileCloser&) = delete;

private:
    int m_fd;
};

}  // namespace

std::size_t TPopFileIdentityHash::operator()(const TPopFileIdentity& id) const noexcept {
    std::size_t h = std::hash<std::uint64_t>()(id.inode);
    h ^= std::hash<std::uint64_t>()(id.device) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    h ^= std::hash<std::int64_t>()(id.modifiedNs) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    return h;
}

std::string MessageUid(std::string_view fileText) {
    char text[25];
    std::snprintf(text, sizeof text, "%016llx%08x", static_cast<unsigned long long>(Fnv1a64(fileText)),
                  static_cast<unsigned>(Crc32(fileText)));
    return text;
}

// --- TPopUidCache ---

std::optional<std::string> TPopUidCache::Find(const TPopFileIdentity& id) const {
    std::scoped_lock lock(m_mutex);
    const auto found = m_uids.find(id);
    if (found == m_uids.end()) return std::nullopt;
    return found->second;
}

void TPopUidCache::Store(const TPopFileIdentity& id, const std::string& uid) {
    std::scoped_lock lock(m_mutex);
    if (m_uids.size() >= kMaxEntries) m_uids.clear();
    m_uids[id] = uid;
}

// --- Wire form ---

std::string_view WireForm(std::string_view file, std::string& repaired) {
    const bool lineEndsOk = [&] {
        std::size_t returns = 0;
        for (std::size_t at = file.find('\n'); at != std::string_view::npos; at = file.find('\n', at + 1)) {
            if (at == 0 || file[at - 1] != '\r') return false;
            ++returns;
        }
        return static_cast<std::size_t>(std::count(file.begin(), file.end(), '\r')) == returns;
    }();
    if (lineEndsOk) {
        if (file == kTerminator) return file;
        if (file.size() >= kLineEndTerminator.size() && !file.starts_with(kTerminator) &&
            file.find(kLineEndTerminator) == file.size() - kLineEndTerminator.size()) {
            return file;
        }
    }

    // Split at CR LF, lone LF and lone CR; a last line "." is the terminator.
    std::vector<std::string_view> lines;
    ForEachLine(file, TLineBreak::Any, [&](std::string_view line) { lines.push_back(line); });
    if (!lines.empty() && lines.back() == ".") lines.pop_back();
    repaired.clear();
    repaired.reserve(file.size() + lines.size() + kTerminator.size());
    for (std::string_view line : lines) {
        if (line == ".") repaired += '.';
        repaired += line;
        repaired += "\r\n";
    }
    repaired += kTerminator;
    return repaired;
}

std::string TopOfWireForm(std::string_view wire, std::uint64_t bodyLines) {
    const std::string_view content = wire.substr(0, wire.size() - kTerminator.size());
    std::size_t cut;
    if (content.starts_with("\r\n")) {
        cut = 2;  // no header lines: the empty line comes first
    } else {
        const std::size_t blank = content.find("\r\n\r\n");
        cut = blank == std::string_view::npos ? content.size() : blank + 4;
    }
    for (std::uint64_t line = 0; line < bodyLines && cut < content.size(); ++line) {
        const std::size_t end = content.find("\r\n", cut);
        cut = end == std::string_view::npos ? content.size() : end + 2;
    }
    std::string top;
    top.reserve(cut + kTerminator.size());
    top.append(content.substr(0, cut));
    top.append(kTerminator);
    return top;
}

// --- TPopMaildrop ---

TPopMaildrop::TPopMaildrop(TZivadMessageCollection& folder, TPopUidCache* uids)
    : m_folder(folder.Folder()), m_uidCache(uids) {
    std::scoped_lock lock(folder.Lock());
    const int count = folder.Count();
    m_entries.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const TZivadMessageItem* item = folder.Item(i);
        if (!item || item->Deleted) continue;  // on its way out at the next purge
        std::optional<TPopFileIdentity> id = IdentityOfPath(item->FileName());
        if (!id) continue;
        m_entries.push_back({item->FileName(), *id, false});
    }
}

int TPopMaildrop::Count() const {
    return static_cast<int>(std::count_if(m_entries.begin(), m_entries.end(), [](const TEntry& e) { return !e.marked; }));
}

long long TPopMaildrop::TotalSize() const {
    long long total = 0;
    for (const TEntry& entry : m_entries)
        if (!entry.marked) total += entry.id.size;
    return total;
}

bool TPopMaildrop::Exists(long long n) const {
    return n >= 1 && n <= static_cast<long long>(m_entries.size()) && !m_entries[static_cast<std::size_t>(n - 1)].marked;
}

long long TPopMaildrop::Size(int n) const { return m_entries.at(static_cast<std::size_t>(n - 1)).id.size; }

std::string TPopMaildrop::ScanListing() const {
    std::string listing;
    listing.reserve(m_entries.size() * 12);
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].marked) continue;
        listing += std::to_string(i + 1);
        listing += ' ';
        listing += std::to_string(m_entries[i].id.size);
        listing += "\r\n";
    }
    return listing;
}

bool TPopMaildrop::Mark(long long n) {
    if (!Exists(n)) return false;
    m_entries[static_cast<std::size_t>(n - 1)].marked = true;
    return true;
}

void TPopMaildrop::ClearMarks() {
    for (TEntry& entry : m_entries) entry.marked = false;
}

bool TPopMaildrop::HasMarks() const {
    return std::any_of(m_entries.begin(), m_entries.end(), [](const TEntry& e) { return e.marked; });
}

bool TPopMaildrop::ReadEntry(std::size_t index, std::string& text) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1) Relocate();
        const TEntry& entry = m_entries[index];
        const int fd = ::open(entry.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        TFileCloser closer(fd);
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !(IdentityOf(info) == entry.id)) continue;
        text.resize(static_cast<std::size_t>(info.st_size));
        std::size_t have = 0;
        while (have < text.size()) {
            const ssize_t got = ::read(fd, text.data() + have, text.size() - have);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            have += static_cast<std::size_t>(got);
        }
        if (have != text.size()) return false;  // cut short by a read error
        return true;
    }
    return false;
}

void TPopMaildrop::Relocate() {
    DIR* dir = ::opendir(m_folder.c_str());
    if (!dir) return;
    std::unordered_map<std::uint64_t, std::string> names;
    while (const dirent* found = ::readdir(dir)) {
        const std::string_view name = found->d_name;
        if (name.size() > kMessageExtension.size() && name.ends_with(kMessageExtension))
            names.emplace(static_cast<std::uint64_t>(found->d_ino), name);
    }
    ::closedir(dir);
    for (TEntry& entry : m_entries) {
        const auto name = names.find(entry.id.inode);
        if (name != names.end()) entry.path = m_folder + name->second;
    }
}

bool TPopMaildrop::Retrieve(int n, std::string& text) {
    if (!Exists(n) || !ReadEntry(static_cast<std::size_t>(n - 1), text)) return false;
    std::string repaired;
    if (WireForm(text, repaired).data() != text.data()) text.swap(repaired);
    return true;
}

bool TPopMaildrop::Top(int n, std::uint64_t bodyLines, std::string& text) {
    if (!Exists(n) || !ReadEntry(static_cast<std::size_t>(n - 1), m_scratch)) return false;
    std::string repaired;
    text = TopOfWireForm(WireForm(m_scratch, repaired), bodyLines);
    return true;
}

void TPopMaildrop::ComputeUids() {
    if (m_uidsComputed) return;
    m_uids.assign(m_entries.size(), std::nullopt);
    std::unordered_map<std::string, int> seen;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        std::optional<std::string> uid = m_uidCache ? m_uidCache->Find(m_entries[i].id) : std::nullopt;
        if (!uid) {
            if (!ReadEntry(i, m_scratch)) continue;
            uid = MessageUid(m_scratch);
            if (m_uidCache) m_uidCache->Store(m_entries[i].id, *uid);
        }
        const int copies = ++seen[*uid];
        if (copies > 1) *uid += "-" + std::to_string(copies);
        m_uids[i] = std::move(uid);
    }
    m_uidsComputed = true;
}

std::optional<std::string> TPopMaildrop::Uid(int n) {
    if (!Exists(n)) return std::nullopt;
    ComputeUids();
    return m_uids[static_cast<std::size_t>(n - 1)];
}

std::string TPopMaildrop::UidListing() {
    ComputeUids();
    std::string listing;
    listing.reserve(m_entries.size() * 32);
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].marked || !m_uids[i]) continue;
        listing += std::to_string(i + 1);
        listing += ' ';
        listing += *m_uids[i];
        listing += "\r\n";
    }
    return listing;
}

int TPopMaildrop::Commit(TZivadMessageCollection& folder) const {
    std::unordered_set<TPopFileIdentity, TPopFileIdentityHash> marked;
    for (const TEntry& entry : m_entries)
        if (entry.marked) marked.insert(entry.id);
    if (marked.empty()) return 0;
    std::scoped_lock lock(folder.Lock());
    int found = 0;
    for (int i = 0; i < folder.Count(); ++i) {
        TZivadMessageItem* item = folder.Item(i);
        if (!item) continue;
        const std::optional<TPopFileIdentity> id = IdentityOfPath(item->FileName());
        if (!id || !marked.contains(*id)) continue;
        item->Deleted = true;
        ++found;
    }
    if (found > 0) folder.Purge();
    return found;
}

}  // namespace vorla
