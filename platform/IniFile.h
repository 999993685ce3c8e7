#pragma once
#include <memory>
#include <string>
#include <vector>

// The classic profile functions over a settings file: section lines "[name]", then key=value
// lines. Sections and keys are compared without regard to letter case; a missing file or key
// gives the default; a write keeps every other line (comments, unknown keys and sections)
// as it was. Each call reads the file anew; writes go through WriteFileAtomic. Line ends are
// written CR LF; a lone LF is accepted. File errors on writing throw TFileError.
// Keys and values are read with surrounding spaces removed and one pair of enclosing quotes
// stripped; lines beginning with ";" are comments. A section that appears twice reads as one
// (the first entry of a key wins; a new key goes into the first). A name or value with a line
// break, an empty key or one holding "=" is refused with TVorlaError. New files are made 0600.
// A file that exists but cannot be read reads as empty; writing to it throws.
//
// Each write on its own rewrites and flushes the whole file when it changes it. To set many
// keys, put them in one update: BeginUpdate reads the file once, the writes change that copy,
// and UpdateFile writes the result once. The file then holds exactly what the same writes one
// at a time would have left, and a failure part-way leaves the old file whole.
namespace vorla {

class TIniLines;  // the file's lines as they stand (IniFile.cpp)

class TIniFile {
public:
    explicit TIniFile(std::string fileName);
    ~TIniFile();
    TIniFile(TIniFile&&) noexcept;
    TIniFile& operator=(TIniFile&&) noexcept;
    const std::string& FileName() const { return m_fileName; }

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    // Decimal (leading spaces and a sign allowed); a value that is not a number gives def.
    long long ReadInteger(const std::string& section, const std::string& key, long long def) const;
    // "0" false, any other number true; a value that is not a number gives def.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;

    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, long long value);
    void WriteBool(const std::string& section, const std::string& key, bool value);  // "1"/"0"

    std::vector<std::string> ReadSections() const;                        // in file order
    std::vector<std::string> ReadSection(const std::string& section) const;  // its keys
    // Its "key=value" lines, as written (every entry line, a repeated key too; key and value
    // without surrounding spaces).
    std::vector<std::string> ReadSectionValues(const std::string& section) const;
    bool SectionExists(const std::string& section) const;
    void EraseSection(const std::string& section);
    void DeleteKey(const std::string& section, const std::string& key);

    // Reads the file (a missing one as empty; nothing is created) and starts an update: until
    // UpdateFile, writes, EraseSection and DeleteKey change only the copy in memory and reads
    // answer from it, without touching the disk. Changes not written by UpdateFile are lost
    // with the object. Throws TFileError when the file exists but cannot be read. Not while an
    // update is open.
    void BeginUpdate();
    // Ends the update, writing the file once (as a single write does) when its content changed.
    // Throws TFileError, which leaves the old file and ends the update too. Outside an update
    // it does nothing.
    void UpdateFile();

private:
    std::string m_fileName;
    std::unique_ptr<TIniLines> m_pending;  // during an update: the lines as the writes left them
};

}  // namespace vorla
