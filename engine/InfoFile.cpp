#include "engine/InfoFile.h"

#include <cassert>
#include <utility>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Strings.h"
#include "text/TextSearch.h"

namespace vorla {
namespace {

constexpr unsigned kNewFileMode = 0600;

// The file's lines without their line ends; a final line end does not start another line.
std::vector<std::string> FileLines(const std::string& data) { return SplitLines(data, TLineBreak::Lf); }

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

std::optional<std::string> FindEntry(const std::vector<std::string>& lines, const std::string& section,
                                     const std::string& key) {
    const std::string header = "[" + section + "]";
    const std::string prefix = key + "=";
    bool inside = false;
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] == '[') {
            // Any header ends a section; a later header of the same one starts it again. Empty
            // lines do not end a section when reading.
            inside = SameTextAscii(line, header);
        } else if (inside && StartsWithAscii(line, prefix)) {
            return line.substr(prefix.size());
        }
    }
    return std::nullopt;
}

// The lines with the entry set: replaced where the section has it, else added at the section's
// end; a missing section is appended.
std::vector<std::string> WithEntry(const std::vector<std::string>& lines, const std::string& section,
                                   const std::string& key, const std::string& value) {
    const std::string header = "[" + section + "]";
    const std::string prefix = key + "=";
    const std::string entry = key + "=" + value;

    std::vector<std::string> out;
    out.reserve(lines.size() + 3);
    bool found = false;
    std::size_t i = 0;
    while (i < lines.size()) {
        const std::string& line = lines[i++];
        out.push_back(line);
        bool inHeader = SameTextAscii(line, header);
        while (inHeader) {
            found = true;
            inHeader = false;
            bool written = false;
            while (i < lines.size() && !written) {
                const std::string& inner = lines[i++];
                if (inner.empty() || inner[0] == '[') {
                    // When writing, an empty line ends the section as a header does.
                    out.push_back(entry);
                    out.push_back(inner);
                    written = true;
                    inHeader = SameTextAscii(inner, header);  // a later copy of the section gets it too
                } else if (StartsWithAscii(inner, prefix)) {
                    out.push_back(entry);
                    written = true;
                } else {
                    out.push_back(inner);
                }
            }
            if (!written) out.push_back(entry);
        }
    }
    if (!found) {
        if (!lines.empty() && !lines.back().empty()) out.emplace_back();
        out.push_back(header);
        out.push_back(entry);
    }
    return out;
}

}  // namespace

std::string FileText(const std::vector<std::string>& lines) {
    return lines.empty() ? std::string() : JoinLines(lines) + "\r\n";
}

std::string TInfoFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
    if (m_pending) {
        const auto value = FindEntry(*m_pending, section, key);
        return value ? *value : def;
    }
    if (!FileExists(m_fileName)) AppendFileBytes(m_fileName, "");  // creates it empty, mode 0600
    const auto value = FindEntry(FileLines(ReadFileBytes(m_fileName)), section, key);
    return value ? *value : def;
}

bool TInfoFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    const auto value = FindEntry(m_pending ? *m_pending : FileLines(ReadFileBytes(m_fileName)), section, key);
    if (!value || value->empty() || (*value)[0] < '0' || (*value)[0] > '9') return def;
    return (*value)[0] != '0';
}

void TInfoFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    // A line break would end the entry early and let the rest pose as lines of the file.
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value))
        throw TVorlaError("line break in the entry " + section + "/" + key + " of " + m_fileName);

    if (m_pending) {
        // The lines of the file the previous write would have left: writing them CR LF and
        // splitting again gives the same lines, so the result matches writes one at a time.
        *m_pending = WithEntry(*m_pending, section, key, value);
        m_pendingChanged = true;
        return;
    }
    const std::vector<std::string> lines =
        FileExists(m_fileName) ? FileLines(ReadFileBytes(m_fileName)) : std::vector<std::string>();
    // The new content is complete before the old file is touched, and replaces it in one rename.
    WriteFileAtomic(m_fileName, FileText(WithEntry(lines, section, key, value)), kNewFileMode);
}

void TInfoFile::BeginUpdate() {
    assert(!m_pending && "an update is already open");
    m_pending = FileExists(m_fileName) ? FileLines(ReadFileBytes(m_fileName)) : std::vector<std::string>();
    m_pendingChanged = false;
}

void TInfoFile::UpdateFile() {
    if (!m_pending) return;
    const std::vector<std::string> lines = std::exchange(m_pending, std::nullopt).value();
    if (std::exchange(m_pendingChanged, false))
        WriteFileAtomicIfChanged(m_fileName, FileText(lines), kNewFileMode);
}

void TInfoFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

}  // namespace vorla
