#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mail/MailMessage.h"
#include "platform/Slot.h"

// One local mail folder (vorla, quarantine, trash, queue) and its message files
// "00001.msg", "00002.msg", ... named after the position in the folder.
//
// Every item and collection operation takes the collection's lock for its whole run, so any
// thread may call them. Item pointers stay valid until the item is removed (Delete, Purge,
// Reload, destruction); callers that keep one across operations hold Lock().
namespace vorla {

class TZivadMessageCollection;

class TZivadMessageItem {
public:
    // An item of collection that is not in its list yet (position 0, "00000.msg"); Deleted
    // false, Size not known, Folder copied from the collection.
    explicit TZivadMessageItem(TZivadMessageCollection& collection);
    virtual ~TZivadMessageItem();
    TZivadMessageItem(const TZivadMessageItem&) = delete;
    TZivadMessageItem& operator=(const TZivadMessageItem&) = delete;

    TZivadMessageCollection* Collection() const { return m_collection; }
    bool Deleted = false;     // removed at the next Purge
    TMailMessage& Message() { return *m_message; }
    const TMailMessage& Message() const { return *m_message; }
    const std::string& Folder() const { return m_folder; }
    // Where the item's file lies now. It is the position-derived name except for a while when
    // a rename failed; the file operations below always use this name, so an item never reads
    // or overwrites another item's file.
    const std::string& FileName() const { return m_fileName; }

    int Index() const;                 // 0-based position; -1 when not in its collection
    std::string DerivedFileName() const;  // Folder + "00001.msg" for position 1; "00000.msg" outside
    // Raw load of the item's file when it exists (errors ignored: the message keeps what the
    // failed load left). Without a folder there is no file and the message stays as it is.
    void Load(bool headersOnly = false);
    // Writes the message file (under a temporary name, then renamed into place). Throws
    // TFileError. Does nothing without a folder.
    void Save();
    void Release();                       // clears the message; the file keeps the data
    void DeleteFile();                    // deletes the item's file if it exists; throws TFileError
    // Cached size in bytes: the file's size, or without a file the length of SaveToText.
    int Size();
    void SetSize(int size);               // -1 forgets the cached size (the peek session's LIST)
    // Takes other's collection, Deleted, Folder, FileName and cached size, and a copy of its
    // message through the text.
    void CopyFrom(const TZivadMessageItem& other);
    // Addresses of the "Received: from " lines (the first such line only unless all), joined
    // by ",". Loads the whole message and releases it after; an item without a folder is read
    // as it is held and keeps its message.
    std::string ReceivedIPs(bool all);
    // File name of the first attachment named in a "Content-Disposition: attachment;" line,
    // from that line or the line after it; "" when none.
    std::string AttachmentName() const;
    // The text the main window shows and the stored-mail filtering classifies; see
    // MessageDisplayText.
    std::string DisplayText() const;
    // The item's message file text: the file (read errors give "") or, without a folder, the
    // message as held.
    std::string FileText() const;

private:
    friend class TZivadMessageCollection;

    TZivadMessageCollection* m_collection;
    std::unique_ptr<TMailMessage> m_message;
    int m_size = -1;
    std::string m_folder;
    std::string m_fileName;
};

class TZivadMessageCollection {
public:
    // The lock of one folder: recursive, so the operations inside an operation take it again.
    // A change that falls due while it is held (OnChange) is raised once, by the holding
    // thread's outermost unlock, after the lock has been let go: receivers may read the
    // collection back or wait on other threads without deadlock. Satisfies Lockable, for
    // std::scoped_lock and std::unique_lock.
    class TFolderLock {
    public:
        explicit TFolderLock(TZivadMessageCollection& owner) : m_owner(owner) {}
        TFolderLock(const TFolderLock&) = delete;
        TFolderLock& operator=(const TFolderLock&) = delete;
        void lock();
        bool try_lock();
        void unlock();

    private:
        friend class TZivadMessageCollection;
        void MarkChanged();  // the caller holds the lock

        TZivadMessageCollection& m_owner;
        std::recursive_mutex m_mutex;
        int m_depth = 0;         // guarded by m_mutex: how often the holder has locked it
        bool m_changed = false;  // guarded by m_mutex: OnChange falls due at the outermost unlock
    };

    // A non-empty folder ("…/vorla/"; a missing final "/" is added) is created when missing
    // (TFileError when it cannot be) and loaded. An empty folder gives a collection that never
    // touches files (the peek session).
    explicit TZivadMessageCollection(std::string folder);
    virtual ~TZivadMessageCollection();
    TZivadMessageCollection(const TZivadMessageCollection&) = delete;
    TZivadMessageCollection& operator=(const TZivadMessageCollection&) = delete;

    TSlot<TZivadMessageCollection&> OnChange;  // raised after the content changed

    const std::string& Folder() const { return m_folder; }
    int Count() const;
    TZivadMessageItem* Item(int i);  // 0-based; nullptr out of range
    // Appends an item named after its position (another free name while a failed rename still
    // holds that one).
    TZivadMessageItem& NewItem();
    // Stamps the caller's message (stamp non-empty), stores a copy as a new file, raises
    // OnChange (also when writing failed). Returns the new item. When the file cannot be
    // written the new item is taken out again and the TFileError passed on.
    TZivadMessageItem& AddMessage(TMailMessage& message, const std::string& stamp);
    // Removes item i and its file; the files above move down one number. Out of range does
    // nothing; raises no OnChange. Throws TFileError (nothing removed) when the file stays.
    void Delete(int i);
    // Removes every item marked Deleted with its file; returns whether any was removed and
    // then raises OnChange. An item whose file cannot be deleted stays (still marked); the
    // others are removed and the first TFileError is passed on afterwards.
    virtual bool Purge();
    // Renames files whose name differs from their position-derived one. A rename that fails,
    // or whose target still holds another item's file, waits for the next Renumber.
    void Renumber();
    void Reload();         // frees every item, loads the folder again, raises OnChange
    long long TotalSize();  // sum of Size over all items
    // One line per item: position (from 1), a space, Size; each line ending CR LF.
    std::string ScanListing();

    // Callers that run several operations as one (a POP3 session's purge, a filter run) hold it
    // too; see TFolderLock.
    TFolderLock& Lock() const { return m_lock; }

protected:
    void LoadFolder();
    // OnChange, raised as soon as the calling thread no longer holds the lock.
    void RaiseChange();

private:
    friend class TZivadMessageItem;
    // "00001.msg" for position 1: five digits at least, more unpadded.
    static std::string PositionFileName(int position);
    bool NameHeldByOther(const std::string& name, const TZivadMessageItem* self) const;
    void NotifyChange() noexcept;

    mutable TFolderLock m_lock{*this};  // guards m_items and the folder's files
    std::vector<std::unique_ptr<TZivadMessageItem>> m_items;
    std::string m_folder;
};

// Puts the "Received: <word> by Vorla; <date> <zone>" line above the first header line that
// begins with "Received:"; a message without one is left as it is. Afterwards the message is
// raw-loaded from the stamped text. Errors leave it unstamped.
void StampReceived(TMailMessage& message, const std::string& word);

// What the main window shows of a message file's text: a decoded load whose text parts, and
// attachments of type text/html, are appended in part order to the body and taken out of the
// parts; the result in message file form. Load errors are ignored.
std::string MessageDisplayText(const std::string& messageFileText);

}  // namespace vorla
