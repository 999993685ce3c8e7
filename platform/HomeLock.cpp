#include "platform/HomeLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace vorla {
namespace {

std::string Reason() { return std::strerror(errno); }

// The holder's id from the file; 0 when it is not there yet (the holder writes it just after
// it locked) or not a number.
long ReadHolderPid(int fd) {
    char buffer[32] = {};
    ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) return 0;
    long pid = 0;
    const char* end = buffer + n;
    auto [ptr, ec] = std::from_chars(buffer, end, pid);
    if (ec != std::errc() || ptr == buffer || pid <= 0) return 0;
    return pid;
}

}  // namespace

THomeLock::THomeLock(const std::string& homeFolder) {
    m_fileName = homeFolder;
    if (m_fileName.empty() || m_fileName.back() != '/') m_fileName += '/';
    m_fileName += ".lock";
    // Close-on-exec: a program we start must not inherit (and so keep) the lock.
    m_fd = ::open(m_fileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) throw TFileError("cannot open " + m_fileName + ": " + Reason());
    int rc;
    do {
        rc = ::flock(m_fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        const long holder = error == EWOULDBLOCK ? ReadHolderPid(m_fd) : 0;
        ::close(m_fd);
        m_fd = -1;
        if (error != EWOULDBLOCK) {
            errno = error;
            throw TFileError("cannot lock " + m_fileName + ": " + Reason());
        }
        std::string folder = homeFolder;
        throw THomeLocked("the home folder " + folder + " is in use by " +
                              (holder > 0 ? "process " + std::to_string(holder) : std::string("another process")) +
                              " (lock file " + m_fileName + ")",
                          holder);
    }
    const std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
    // The id is only a help for the message above; the lock is what counts, so a failure
    // to write it is no reason to give the lock up.
    if (::ftruncate(m_fd, 0) == 0) {
        [[maybe_unused]] ssize_t written = ::pwrite(m_fd, pid.data(), pid.size(), 0);
    }
}

THomeLock::~THomeLock() {
    if (m_fd >= 0) ::close(m_fd);
}

}  // namespace vorla
