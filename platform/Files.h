#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// File-system services. Paths are plain byte strings; folder paths end in "/".
// Every function that can fail throws TFileError with a message naming the path and the
// system's reason, unless it says otherwise.
namespace vorla {

bool FileExists(const std::string& path);       // a regular file (or a link to one)
bool DirectoryExists(const std::string& path);
// Size in bytes, or std::nullopt when the file does not exist.
std::optional<std::uint64_t> FileSize(const std::string& path);
// Modification time on the day-count scale, local time; nullopt when missing.
std::optional<double> FileAge(const std::string& path);

// Names (not paths) of the regular files in folder whose names match mask ("*" and "?"
// wildcards, letter case counts), in ascending byte order of the name. A missing folder gives
// an empty list.
std::vector<std::string> FindFiles(const std::string& folder, const std::string& mask);
// Names of the sub-folders of folder, in ascending byte order; "." and ".." are left out.
std::vector<std::string> FindFolders(const std::string& folder);

// Creates the folder and every missing parent (mode 0700 for the ones it makes).
void ForceDirectories(const std::string& folder);
// Deletes a folder with everything in it; a missing folder is no error.
void DeleteTree(const std::string& folder);

void RenameFile(const std::string& from, const std::string& to);  // replaces an existing target
void CopyFile(const std::string& from, const std::string& to);    // replaces an existing target
void MoveFile(const std::string& from, const std::string& to);    // rename, or copy+delete across devices
// Deletes a file; returns false when it did not exist. Throws on other failures.
bool DeleteFile(const std::string& path);

std::string ReadFileBytes(const std::string& path);  // throws TFileError when missing
// Writes the whole file through "path.tmp" in the same folder: written, flushed, then renamed
// over the old file, so a crash or a full disk never leaves a half-written file. mode applies
// to a file that did not exist before (an existing file keeps its mode).
void WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode = 0644);
// As WriteFileAtomic, but a file that already holds exactly data is left as it is: no write,
// no flush. Returns whether it wrote.
bool WriteFileAtomicIfChanged(const std::string& path, const std::string& data, unsigned mode = 0644);
// Appends bytes, creating the file (mode 0600) when missing.
void AppendFileBytes(const std::string& path, const std::string& data);

// A batch of atomic writes made durable together. While one exists, WriteFileAtomic on the
// thread that made it (and everything built on it: stored messages, settings) still writes
// through the temporary file and renames it into place, so a killed process leaves each file
// whole or absent, but it leaves out the flushes to disk and notes the folder instead; Sync
// then flushes everything written since, in one step. For work where nothing that depends on
// the files happens before Sync (a fetch deletes on the server only after it). Scopes nest:
// the inner one takes the notes until it ends (syncing what it holds). Not copyable.
class TDeferredSync {
public:
    TDeferredSync();
    ~TDeferredSync();  // syncs what is still pending; a failure is not reported then
    TDeferredSync(const TDeferredSync&) = delete;
    TDeferredSync& operator=(const TDeferredSync&) = delete;

    // Flushes the file systems written to and each folder written into. Throws TFileError
    // (then nothing written in the scope may count as durable).
    void Sync();
    // Called by the writers: folder received a renamed file.
    void Note(const std::string& folder);

private:
    TDeferredSync* m_outer;
    std::vector<std::string> m_folders;  // distinct, in the order first written
};

std::string ExtractFilePath(const std::string& path);  // up to and including the last "/"
std::string ExtractFileName(const std::string& path);  // after the last "/"
std::string IncludeTrailingSlash(const std::string& folder);  // "" stays "" (the current folder)

}  // namespace vorla
