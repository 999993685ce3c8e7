#pragma once
#include <string>

// The section of an ELF program file that holds its version block. The program defines it as a
// const char array placed there, so the name must be a literal:
//   [[gnu::section(VORLA_VERSION_SECTION), gnu::used]] const char kBlock[] = ...;
// The block is a run of pairs of NUL-terminated strings, a value's path and then its text,
//   "StringFileInfo\0C0904E4\FileVersion" NUL "0.1.0" NUL ...
// ended by an empty path or by the end of the section.
#define VORLA_VERSION_SECTION ".vorla_version"

namespace vorla {

// Reads the string values of a program file's version block. Set ExeName and LangId, call
// Read, then take the ten values.
class TVersionReader {
public:
    // Inputs.
    std::string ExeName;          // path of the program file to read
    std::string LangId = "040C";  // four hexadecimal digits naming the string table's language

    // Outputs: empty until read, and empty when the block or the value is missing.
    std::string CompanyName;
    std::string FileDescription;
    std::string FileVersion;
    std::string InternalName;
    std::string LegalCopyright;
    std::string LegalTradeMarks;
    std::string OriginalFilename;
    std::string ProductName;
    std::string ProductVersion;
    std::string Comments;

    // Looks each value up by the path "StringFileInfo\" + LangId + "04E4\" + its name (names
    // compared exactly). The file may be anything: when it is missing, unreadable, not a
    // regular file, not ELF, damaged or truncated, or has no version block, all ten values are
    // left empty. Throws nothing but std::bad_alloc.
    void Read();
};

}  // namespace vorla
