#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/FilesPrivate.h"

namespace vorla {

namespace detail {

void ThrowFileError(const std::string& action, const std::string& path, int err) {
    throw TFileError(action + " " + path + ": " + std::system_category().message(err));
}

bool MatchesMask(const std::string& name, const std::string& mask) {
    std::size_t n = 0, m = 0;
    std::size_t starMask = std::string::npos, starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && (mask[m] == '?' || mask[m] == name[n])) {
            ++n;
            ++m;
        } else if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (starMask != std::string::npos) {
            // Let the last "*" swallow one more byte and try again from there.
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*') ++m;
    return m == mask.size();
}

}  // namespace detail

using detail::ThrowFileError;

namespace {

class TFd {
public:
    explicit TFd(int fd = -1) : m_fd(fd) {}
    ~TFd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return m_fd; }
    // Closes now so that a failing close (a late write error on some file systems) is seen.
    int Close() {
        const int rc = ::close(m_fd);
        m_fd = -1;
        return rc;
    }

private:
    int m_fd;
};

void WriteAll(int fd, const char* data, std::size_t size, const std::string& path) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowFileError("cannot write", path, errno);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::string ParentFolder(const std::string& path) {
    const std::string folder = ExtractFilePath(path);
    return folder.empty() ? "./" : folder;
}

// The batch that the atomic writes of this thread report to, when there is one.
thread_local TDeferredSync* t_deferredSync = nullptr;

void SyncFolder(const std::string& folder) {
    // Makes the rename itself durable; a file system that cannot sync folders is no error.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// The file the new content must end up in: a link is followed so that it stays a link.
std::string WriteTarget(const std::string& path) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved)) return resolved;
    }
    return path;
}

// Builds a file's new content in "<target>.tmp" beside it and renames it over the target on
// Commit. Until then the target is untouched; a writer that is not committed removes its
// temporary file.
class TAtomicWriter {
public:
    TAtomicWriter(const std::string& path, unsigned newMode) : m_target(WriteTarget(path)), m_temp(m_target + ".tmp") {
        struct stat old{};
        const bool exists = ::stat(m_target.c_str(), &old) == 0;
        // A stale temporary file from an interrupted write (or anything else by that name) goes
        // first, so the exclusive create below never writes through someone else's link.
        ::unlink(m_temp.c_str());
        const int fd = ::open(m_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                              static_cast<mode_t>(exists ? 0600 : newMode));
        if (fd < 0) ThrowFileError("cannot create", m_temp, errno);
        m_fd = std::make_unique<TFd>(fd);
        if (exists) {
            // An existing file keeps its permissions and, where we may set it, its owner.
            if (::fchown(fd, old.st_uid, old.st_gid) != 0) { /* only root may give files away */ }
            if (::fchmod(fd, old.st_mode & 07777) != 0) Fail("cannot set the mode of", errno);
        }
    }
    ~TAtomicWriter() {
        if (m_fd) {
            m_fd.reset();
            ::unlink(m_temp.c_str());
        }
    }
    TAtomicWriter(const TAtomicWriter&) = delete;
    TAtomicWriter& operator=(const TAtomicWriter&) = delete;

    void Write(const char* data, std::size_t size) {
        try {
            WriteAll(m_fd->Get(), data, size, m_temp);
        } catch (...) {
            Abandon();
            throw;
        }
    }

    void Commit() {
        TDeferredSync* const deferred = t_deferredSync;
        if (!deferred && ::fsync(m_fd->Get()) != 0) Fail("cannot flush", errno);
        if (m_fd->Close() != 0) Fail("cannot write", errno);
        if (::rename(m_temp.c_str(), m_target.c_str()) != 0) Fail("cannot replace " + m_target + " by", errno);
        m_fd.reset();
        if (deferred)
            deferred->Note(ParentFolder(m_target));
        else
            SyncFolder(ParentFolder(m_target));
    }

private:
    void Abandon() {
        m_fd.reset();
        ::unlink(m_temp.c_str());
    }
    [[noreturn]] void Fail(const std::string& action, int err) {
        Abandon();
        ThrowFileError(action, m_temp, err);
    }

    std::string m_target;
    std::string m_temp;
    std::unique_ptr<TFd> m_fd;  // open while the content is being written
};

}  // namespace

TDeferredSync::TDeferredSync() : m_outer(t_deferredSync) { t_deferredSync = this; }

TDeferredSync::~TDeferredSync() {
    t_deferredSync = m_outer;
    try {
        Sync();
    } catch (const std::exception&) {
    }
}

void TDeferredSync::Note(const std::string& folder) {
    if (std::find(m_folders.begin(), m_folders.end(), folder) == m_folders.end()) m_folders.push_back(folder);
}

void TDeferredSync::Sync() {
    // One flush of each file system carries every file written there; the folders' own
    // flushes then find little left to do but make the renames durable on any file system.
    std::vector<dev_t> flushed;
    std::vector<std::string> folders;
    folders.swap(m_folders);
    for (const std::string& folder : folders) {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) ThrowFileError("cannot open", folder, errno);
        TFd closer(fd);
        struct stat st{};
        if (::fstat(fd, &st) == 0 && std::find(flushed.begin(), flushed.end(), st.st_dev) == flushed.end()) {
            if (::syncfs(fd) != 0) ThrowFileError("cannot flush", folder, errno);
            flushed.push_back(st.st_dev);
        }
        // A file system that cannot sync folders is no error (as for a single write).
        ::fsync(fd);
    }
}

namespace {

std::vector<std::string> ListFolder(const std::string& folder, bool wantFolders, const std::string* mask) {
    std::vector<std::string> names;
    const std::string base = IncludeTrailingSlash(folder.empty() ? "." : folder);
    DIR* dir = ::opendir(base.c_str());
    if (!dir) {
        if (errno == ENOENT || errno == ENOTDIR) return names;
        ThrowFileError("cannot list", base, errno);
    }
    while (true) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) break;
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (mask && !detail::MatchesMask(name, *mask)) continue;
        struct stat st{};
        if (::stat((base + name).c_str(), &st) != 0) continue;  // a dangling link or a file just gone
        if (wantFolders ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode)) names.push_back(name);
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0) ThrowFileError("cannot list", base, err);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

bool FileExists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::uint64_t> FileSize(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        ThrowFileError("cannot examine", path, errno);
    }
    if (!S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

std::optional<double> FileAge(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        ThrowFileError("cannot examine", path, errno);
    }
    return UnixToLocal(st.st_mtim.tv_sec);
}

std::vector<std::string> FindFiles(const std::string& folder, const std::string& mask) {
    return ListFolder(folder, false, &mask);
}

std::vector<std::string> FindFolders(const std::string& folder) { return ListFolder(folder, true, nullptr); }

void ForceDirectories(const std::string& folder) {
    if (folder.empty()) return;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = folder.find('/', pos + 1);
        const std::string part = folder.substr(0, pos);
        if (part.empty() || part.back() == '/') continue;  // "//" inside a path
        if (::mkdir(part.c_str(), 0700) == 0) continue;
        const int err = errno;
        if (err == EEXIST && DirectoryExists(part)) continue;
        ThrowFileError("cannot create the folder", part, err == EEXIST ? ENOTDIR : err);
    }
}

void DeleteTree(const std::string& folder) {
    std::error_code ec;
    // Links inside are removed as links; what they point to is left alone.
    std::filesystem::remove_all(folder, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) ThrowFileError("cannot delete", folder, ec.value());
}

void RenameFile(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) ThrowFileError("cannot rename " + from + " to", to, errno);
}

void CopyFile(const std::string& from, const std::string& to) {
    const int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) ThrowFileError("cannot open", from, errno);
    TFd source(fd);
    struct stat st{};
    if (::fstat(fd, &st) != 0) ThrowFileError("cannot examine", from, errno);
    TAtomicWriter writer(to, st.st_mode & 07777);
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowFileError("cannot read", from, errno);
        }
        if (n == 0) break;
        writer.Write(buf, static_cast<std::size_t>(n));
    }
    writer.Commit();
}

void MoveFile(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) == 0) return;
    if (errno != EXDEV) ThrowFileError("cannot move " + from + " to", to, errno);
    CopyFile(from, to);
    DeleteFile(from);
}

bool DeleteFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    ThrowFileError("cannot delete", path, errno);
}

std::string ReadFileBytes(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) ThrowFileError("cannot open", path, errno);
    TFd file(fd);
    std::string data;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) data.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowFileError("cannot read", path, errno);
        }
        if (n == 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    return data;
}

void WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode) {
    TAtomicWriter writer(path, mode);
    writer.Write(data.data(), data.size());
    writer.Commit();
}

bool WriteFileAtomicIfChanged(const std::string& path, const std::string& data, unsigned mode) {
    // Reading back is cheap next to the flush of a write. A file that cannot be read is written,
    // which reports the real problem.
    if (FileSize(path) == std::uint64_t{data.size()}) {
        try {
            if (ReadFileBytes(path) == data) return false;
        } catch (const TFileError&) {
        }
    }
    WriteFileAtomic(path, data, mode);
    return true;
}

void AppendFileBytes(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) ThrowFileError("cannot open", path, errno);
    TFd file(fd);
    struct stat st{};
    const bool sized = ::fstat(fd, &st) == 0;
    try {
        WriteAll(fd, data.data(), data.size(), path);
    } catch (...) {
        // A full disk must not leave half a record at the end: cut back to where we began.
        if (sized && ::ftruncate(fd, st.st_size) != 0) { /* the write error below says enough */ }
        throw;
    }
    if (file.Close() != 0) ThrowFileError("cannot write", path, errno);
}

std::string ExtractFilePath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string IncludeTrailingSlash(const std::string& folder) {
    if (folder.empty() || folder.back() == '/') return folder;
    return folder + "/";
}

}  // namespace vorla
