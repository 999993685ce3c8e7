#pragma once
#include <optional>
#include <string>
#include <vector>

namespace vorla {

// The text of a file of lines: every line followed by CR LF ("" for no lines).
std::string FileText(const std::vector<std::string>& lines);

// A small sectioned text file ("[section]" header lines, then key=value lines) read and
// written one value at a time: every call opens the file, scans it from the top and closes it;
// nothing is cached. Lines end CR LF (a lone LF is accepted); nothing is trimmed: a value is
// everything after the first "=" that follows the key. Section names and keys are compared
// without regard to letter case and written in the caller's. Lines it does not know survive
// a write. Not synchronised: one object per file and thread.
//
// Each write on its own rewrites and flushes the whole file. To set many entries, put them in
// one update: BeginUpdate reads the file once, the writes change that copy, and UpdateFile
// writes the result once. The file then holds exactly what the same writes one at a time
// would have left, and a failure part-way leaves the old file whole.
class TInfoFile {
public:
    explicit TInfoFile(std::string fileName) : m_fileName(std::move(fileName)) {}
    const std::string& FileName() const { return m_fileName; }

    // The entry's value, or def when there is none. A missing file is created empty (mode 0600)
    // first. Throws TFileError when the file cannot be created or read.
    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    // Only the value's first character counts: a digit other than "0" is true, "0" false;
    // anything else, an empty value or a missing entry gives def. Throws TFileError when the
    // file is missing or cannot be read.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;

    // Rewrites the whole file with the entry set, through "<file>.tmp" renamed over the file,
    // so a failure (no access, full disk) leaves the old file as it was. An existing file keeps
    // its mode; a new one is made 0600 (the options file holds passwords). Throws TFileError,
    // or TVorlaError when the section, key or value holds a line break.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteBool(const std::string& section, const std::string& key, bool value);  // "1" / "0"

    // Reads the file (a missing one as empty; nothing is created) and starts an update: until
    // UpdateFile, writes change only the copy in memory and reads answer from it, without
    // touching the disk. Changes not written by UpdateFile are lost with the object. Throws
    // TFileError when the file exists but cannot be read. Not while an update is open.
    void BeginUpdate();
    // Ends the update, writing the file once as a single write does (temporary file, flush,
    // rename; mode kept) when anything was written since BeginUpdate and the result differs
    // from the file. Throws TFileError, which leaves the old file and ends the update too.
    // Outside an update it does nothing.
    void UpdateFile();

private:
    std::string m_fileName;
    // During an update: the file's lines as the writes so far have left them.
    std::optional<std::vector<std::string>> m_pending;
    bool m_pendingChanged = false;
};

}  // namespace vorla
