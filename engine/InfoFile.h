#pragma once
#include <string>

namespace vorla {

// A small sectioned text file ("[section]" header lines, then key=value lines) read and
// written one value at a time: every call opens the file, scans it from the top and closes it;
// nothing is cached. Lines end CR LF (a lone LF is accepted); nothing is trimmed: a value is
// everything after the first "=" that follows the key. Section names and keys are compared
// without regard to letter case and written in the caller's. Lines it does not know survive
// a write. Not synchronised: one object per file and thread.
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

private:
    std::string m_fileName;
};

}  // namespace vorla
