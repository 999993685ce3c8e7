#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mail/MailMessage.h"
#include "platform/Slot.h"

// One local mail folder (vorla, quarantine, trash, queue) and its message files
// "00001.msg", "00002.msg", ... named after the position in the folder.
namespace vorla {

class TZivadMessageCollection;

class TZivadMessageItem {
public:
    explicit TZivadMessageItem(TZivadMessageCollection& collection);
    virtual ~TZivadMessageItem();

    TZivadMessageCollection* Collection() const { return m_collection; }
    bool Deleted = false;     // removed at the next Purge
    TMailMessage& Message() { return *m_message; }
    const TMailMessage& Message() const { return *m_message; }
    const std::string& Folder() const { return m_folder; }
    const std::string& FileName() const { return m_fileName; }

    int Index() const;                 // 0-based position; -1 when not in its collection
    std::string DerivedFileName() const;  // Folder + "00001.msg" for position 1; "00000.msg" outside
    void Load(bool headersOnly = false);  // raw load of the derived file; errors ignored
    void Save();                          // SaveToFile to the derived name
    void Release();                       // clears the message; the file keeps the data
    void DeleteFile();
    int Size();                           // cached; -1 = not known yet
    void CopyFrom(const TZivadMessageItem& other);
    std::string ReceivedIPs(bool all);
    std::string AttachmentName() const;
    std::string DisplayText() const;

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
    // A non-empty folder ("…/vorla/", ending in "/") is created when missing and loaded.
    explicit TZivadMessageCollection(std::string folder);
    virtual ~TZivadMessageCollection();
    TZivadMessageCollection(const TZivadMessageCollection&) = delete;
    TZivadMessageCollection& operator=(const TZivadMessageCollection&) = delete;

    TSlot<TZivadMessageCollection&> OnChange;  // raised after the content changed

    const std::string& Folder() const { return m_folder; }
    int Count() const;
    TZivadMessageItem* Item(int i);  // 0-based; nullptr out of range
    TZivadMessageItem& NewItem();
    // Stamps the caller's message (stamp non-empty), stores a copy as a new file, raises
    // OnChange (also when writing failed). Returns the new item.
    TZivadMessageItem& AddMessage(TMailMessage& message, const std::string& stamp);
    void Delete(int i);
    virtual bool Purge();
    void Renumber();
    void Reload();
    long long TotalSize();
    std::string ScanListing();

    // One lock per folder, held for each whole operation. Callers that run several operations
    // as one (a POP3 session's purge, a filter run) hold it too; it is recursive so the
    // operations inside can take it again.
    std::recursive_mutex& Lock() const { return m_mutex; }

protected:
    void LoadFolder();
    void RaiseChange();

private:
    friend class TZivadMessageItem;
    mutable std::recursive_mutex m_mutex;  // guards m_items and the folder's files
    std::vector<std::unique_ptr<TZivadMessageItem>> m_items;
    std::string m_folder;
};

// Puts the "Received: <word> by Vorla; <date> <zone>" line above the message's first
// "Received:" line; a message without one is left as it is. Errors leave it unstamped.
void StampReceived(TMailMessage& message, const std::string& word);

}  // namespace vorla
