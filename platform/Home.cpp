#include "platform/Home.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/Errors.h"
#include "platform/Files.h"

namespace vorla {
namespace {

std::string g_homeFolder;  // set once at start-up, before any other thread runs

std::string UserHome() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
        *found->pw_dir)
        return found->pw_dir;
    throw TFileError("cannot find the user's home folder: HOME is not set");
}

std::string Absolute(const std::string& path) {
    std::string p = path;
    if (p == "~" || p.rfind("~/", 0) == 0) p = UserHome() + p.substr(1);
    std::filesystem::path full(p);
    if (full.is_relative()) {
        std::error_code ec;
        const std::filesystem::path cwd = std::filesystem::current_path(ec);
        if (ec) throw TFileError("cannot make " + path + " absolute: " + ec.message());
        full = cwd / full;
    }
    return IncludeTrailingSlash(full.lexically_normal().string());
}

char Fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string ResolveHomeFolder(const std::string& homeOption) {
    if (!homeOption.empty()) return Absolute(homeOption);
    if (const char* env = std::getenv("VORLA_HOME"); env && *env) return Absolute(env);
    // A relative data folder is not meaningful and is ignored, as for every other program.
    const char* data = std::getenv("XDG_DATA_HOME");
    const std::string base = data && *data == '/' ? data : UserHome() + "/.local/share";
    return Absolute(IncludeTrailingSlash(base) + "vorla");
}

std::string PrepareHomeFolder(const std::string& homeOption) {
    const std::string folder = ResolveHomeFolder(homeOption);
    ForceDirectories(folder);
    return folder;
}

void SetHomeFolder(const std::string& folder) { g_homeFolder = IncludeTrailingSlash(folder); }

const std::string& HomeFolder() { return g_homeFolder; }

std::string ProgramFilePath() { return HomeFolder() + "vorla.exe"; }

std::string ReplaceExtension(const std::string& path, const std::string& ext, const std::string& newExt) {
    if (ext.empty()) return path;
    // Only the file name is changed: a home folder such as "/home/u/tools.exe/" must stay where it is.
    const std::size_t nameStart = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
    std::string out = path.substr(0, nameStart);
    std::size_t i = nameStart;
    while (i < path.size()) {
        bool match = i + ext.size() <= path.size();
        for (std::size_t k = 0; match && k < ext.size(); ++k) match = Fold(path[i + k]) == Fold(ext[k]);
        if (match) {
            out += newExt;
            i += ext.size();
        } else {
            out += path[i++];
        }
    }
    return out;
}

}  // namespace vorla
