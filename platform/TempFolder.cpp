#include "platform/TempFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/FilesPrivate.h"

namespace vorla {
namespace {

std::mutex g_mutex;            // guards the three folders below
std::string g_override;        // set by tests; empty for the default
std::string g_chosen;          // the default once chosen
std::string g_madeForProcess;  // the mkdtemp folder of this process, if one was made

// A folder we may keep private files in: a real folder (not a link), ours, and then 0700.
bool UsablePrivateFolder(const std::string& folderWithSlash) {
    // Without its slash, so that lstat sees a link instead of following it.
    const std::string folder = folderWithSlash.substr(0, folderWithSlash.find_last_not_of('/') + 1);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st{};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
    return (st.st_mode & 077) == 0 || ::chmod(folder.c_str(), 0700) == 0;
}

void RemoveProcessFolder() {
    // Only an empty folder goes; anything still in it is left for the user to see.
    std::scoped_lock lock(g_mutex);
    if (!g_madeForProcess.empty()) ::rmdir(g_madeForProcess.c_str());
}

std::string MakeProcessFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = IncludeTrailingSlash(base && *base && DirectoryExists(base) ? base : "/tmp") + "vorla-XXXXXX";
    if (!::mkdtemp(templ.data())) detail::ThrowFileError("cannot create a private folder in", ExtractFilePath(templ), errno);
    static const bool registered = std::atexit(RemoveProcessFolder) == 0;
    (void)registered;
    return templ + "/";
}

std::string DefaultFolder() {
    if (!g_chosen.empty() && DirectoryExists(g_chosen)) return g_chosen;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && DirectoryExists(runtime)) {
        const std::string folder = IncludeTrailingSlash(runtime) + "vorla/";
        if (UsablePrivateFolder(folder)) return g_chosen = folder;
    }
    if (g_madeForProcess.empty() || !DirectoryExists(g_madeForProcess)) g_madeForProcess = MakeProcessFolder();
    return g_chosen = g_madeForProcess;
}

}  // namespace

std::string PrivateTempFolder() {
    std::scoped_lock lock(g_mutex);
    if (!g_override.empty()) {
        if (!DirectoryExists(g_override)) ForceDirectories(g_override);
        return g_override;
    }
    return DefaultFolder();
}

void SetPrivateTempFolder(const std::string& folder) {
    std::scoped_lock lock(g_mutex);
    g_override = IncludeTrailingSlash(folder);
    if (folder.empty()) g_chosen.clear();  // choose again: the environment may have changed
}

std::string CreateTempFile(const std::string& prefix, const std::string& suffix) {
    std::string path = PrivateTempFolder() + prefix + "XXXXXX" + suffix;
    const int fd = ::mkostemps(path.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd < 0) detail::ThrowFileError("cannot create a temporary file", path, errno);
    ::close(fd);
    return path;
}

int SweepTempFiles(const std::string& mask) {
    const std::string folder = PrivateTempFolder();
    int deleted = 0;
    for (const std::string& name : FindFiles(folder, mask)) {
        try {
            if (DeleteFile(folder + name)) ++deleted;
        } catch (const TFileError&) {
            // Still in use or not ours to delete: the next sweep tries again.
        }
    }
    return deleted;
}

}  // namespace vorla
