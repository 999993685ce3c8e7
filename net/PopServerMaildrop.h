#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// What one POP3 session of the local server sees of an account's vorla folder: the messages
// as they were at login, numbered 1..n for the whole session, with the session's own deletion
// marks. Messages that arrive meanwhile wait for the next session; removals and renumbering
// by others never change which message a number names, because each message is held by the
// identity of its file (device, inode, size, modification time), not by its name.
namespace vorla {

class TZivadMessageCollection;

// Which file a message is. A rename (renumbering) keeps it; rewriting the file changes it.
struct TPopFileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    bool operator==(const TPopFileIdentity&) const = default;
};

struct TPopFileIdentityHash {
    std::size_t operator()(const TPopFileIdentity& id) const noexcept;
};

// The unique id of a stored message: 24 lower-case hex digits from two independent hashes
// (64-bit FNV-1a and CRC-32) of the file's bytes. It depends on the content alone, so it stays
// the same across sessions, renumbering, restarts and a home folder carried to another
// machine; a rewritten message (other bytes) gets a new one.
std::string MessageUid(std::string_view fileText);

// Message ids already computed, by file identity, so that a file is read for its id once and
// not in every session. Any thread.
class TPopUidCache {
public:
    // Beyond this many entries the cache starts again empty (a bound on memory; ids are only
    // computed again, never changed).
    static constexpr std::size_t kMaxEntries = 100000;

    std::optional<std::string> Find(const TPopFileIdentity& id) const;
    void Store(const TPopFileIdentity& id, const std::string& uid);

private:
    mutable std::mutex m_mutex;  // guards m_uids
    std::unordered_map<TPopFileIdentity, std::string, TPopFileIdentityHash> m_uids;
};

// The message file in the form a POP3 reply carries: wire is returned unchanged when it
// already is that form (CR LF line ends only, the line "." last and nowhere before). Anything
// else (a file put into the folder by hand) is repaired: line ends become CR LF, a line "."
// inside becomes "..", and a missing last line "." is added.
std::string_view WireForm(std::string_view file, std::string& repaired);
// The TOP reply body for a message in wire form: the header lines up to and including the
// first empty line, at most bodyLines further lines (never the final "."), then ".".
std::string TopOfWireForm(std::string_view wire, std::uint64_t bodyLines);

class TPopMaildrop {
public:
    // Takes the folder's messages as they are now, under the folder's lock: every item not
    // marked Deleted whose file exists, in position order. uids may be nullptr (no sharing).
    TPopMaildrop(TZivadMessageCollection& folder, TPopUidCache* uids);

    // Messages not marked in this session, and the sum of their sizes in bytes.
    int Count() const;
    long long TotalSize() const;
    // Whether n (1-based) names a message of the session that this session has not marked.
    bool Exists(long long n) const;
    long long Size(int n) const;  // the file size; n must exist
    // "n size" CR LF for every message that exists, in number order.
    std::string ScanListing() const;

    // Marks message n for removal at Commit; false when n names no (unmarked) message.
    bool Mark(long long n);
    void ClearMarks();
    bool HasMarks() const;

    // The wire form of message n into text (see WireForm); false when n names no message, or
    // its file is gone or has changed since login (also after being moved by others).
    bool Retrieve(int n, std::string& text);
    // TOP: see TopOfWireForm; false as for Retrieve.
    bool Top(int n, std::uint64_t bodyLines, std::string& text);
    // The unique id of message n; nullopt when n names no message or its file is gone. Two
    // messages of identical content get the id with "-2", "-3", ... added for the second
    // and later in number order, so ids stay unique within the session.
    std::optional<std::string> Uid(int n);
    // "n uid" CR LF for every message that exists and still has its file, in number order.
    std::string UidListing();

    // Removes this session's marked messages from folder: under the folder's lock, every item
    // whose file is one of them is marked Deleted, then the folder is purged (which also
    // renumbers). Messages already removed by others are skipped. Returns how many marked
    // messages were found; a TFileError of the purge passes on (the item then stays marked
    // in the folder for its next purge).
    int Commit(TZivadMessageCollection& folder) const;

private:
    struct TEntry {
        std::string path;  // where the file was last seen
        TPopFileIdentity id;
        bool marked = false;
    };

    // Reads the file of entries[index] into text when it is still the same file, looking it
    // up again by inode when it has moved.
    bool ReadEntry(std::size_t index, std::string& text);
    // Finds every entry's file again after renames: the folder's "*.msg" files by inode.
    void Relocate();
    void ComputeUids();

    std::string m_folder;
    TPopUidCache* m_uidCache;
    std::vector<TEntry> m_entries;
    std::vector<std::optional<std::string>> m_uids;  // by entry, once ComputeUids ran
    bool m_uidsComputed = false;
    std::string m_scratch;  // reused file buffer
};

}  // namespace vorla
