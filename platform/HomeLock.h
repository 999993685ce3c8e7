#pragma once
#include <string>

#include "platform/Errors.h"

// One process at a time changes a home folder: the service and every command that writes
// hold an exclusive lock on "<home>/.lock" for their whole run. The file holds the holder's
// process id, so the one refused can say who has it. The lock goes with the process (also
// when it crashes); the file itself stays.
namespace vorla {

// Thrown when another process holds the lock; HolderPid() is 0 when its id is not known.
class THomeLocked : public TFileError {
public:
    THomeLocked(const std::string& what, long holderPid) : TFileError(what), m_holderPid(holderPid) {}
    long HolderPid() const { return m_holderPid; }

private:
    long m_holderPid;
};

class THomeLock {
public:
    // Takes the lock of homeFolder (which must exist; "/" at the end or not) without waiting
    // and writes this process's id into the file. Throws THomeLocked when another process holds
    // it ("... is in use by process N"), TFileError when the file cannot be opened or locked.
    explicit THomeLock(const std::string& homeFolder);
    ~THomeLock();  // releases the lock
    THomeLock(const THomeLock&) = delete;
    THomeLock& operator=(const THomeLock&) = delete;

    const std::string& FileName() const { return m_fileName; }

private:
    std::string m_fileName;
    int m_fd = -1;
};

}  // namespace vorla
