#include "engine/Startup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"

namespace vorla {
namespace {

constexpr const char* kEntryName = "vorla.desktop";

// A word of the Exec value: quoted, with the characters that keep a meaning inside quotes
// escaped, and '%' doubled since a lone one starts a field code.
std::string QuoteExecWord(const std::string& word) {
    std::string out = "\"";
    for (char c : word) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        if (c == '%') out += '%';
        out += c;
    }
    return out + "\"";
}

// The escapes of a string value, applied on top of the Exec quoting.
std::string EscapeStringValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

std::string StartupEntryPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string folder;
    if (config && config[0] == '/') {
        folder = config;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') throw TFileError("no folder for the autostart entry: HOME is not set");
        folder = std::string(home) + "/.config";
    }
    return IncludeTrailingSlash(folder) + "autostart/" + kEntryName;
}

std::string RunningProgramPath() {
    std::vector<char> buffer(4096);
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) throw TFileError(std::string("cannot find the running program: ") + std::strerror(errno));
        if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(n));
        buffer.resize(buffer.size() * 4);
    }
    throw TFileError("cannot find the running program: its path is too long");
}

std::string DesktopExecValue(const std::string& program, const std::string& homeFolder) {
    std::string exec = QuoteExecWord(program);
    if (!homeFolder.empty()) exec += " --home " + QuoteExecWord(homeFolder);
    return EscapeStringValue(exec);
}

void SetStartupShortcut(bool wanted) {
    const std::string path = StartupEntryPath();
    if (!wanted) {
        DeleteFile(path);
        return;
    }
    // Any existing entry counts, even a dangling link or a folder: it is the user's, not ours.
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) return;
    std::string home;
    try {
        home = HomeFolder();
    } catch (const TVorlaError&) {
        home.clear();
    }
    const std::string entry = "[Desktop Entry]\n"
                              "Type=Application\n"
                              "Name=Vorla\n"
                              "Comment=Mail filter\n"
                              "Exec=" + DesktopExecValue(RunningProgramPath(), home) + "\n"
                              "Terminal=false\n";
    ForceDirectories(ExtractFilePath(path));
    WriteFileAtomic(path, entry, 0644);
}

}  // namespace vorla
