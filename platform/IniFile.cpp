#include "platform/IniFile.h"

#include <cassert>
#include <charconv>
#include <optional>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Strings.h"

namespace vorla {
namespace {

// One line of the file as it stands, so that lines we do not change are written back unchanged.
struct TLine {
    std::string text;  // without its line end
    std::string eol;   // "\r\n", "\n", or "" for a last line without one
};

enum class TKind { Other, Comment, Section, Entry };

struct TParsed {
    TKind kind = TKind::Other;
    std::string name;   // section name or key, trimmed
    std::string value;  // entry value, trimmed
};

constexpr char kBom[] = "\xEF\xBB\xBF";

// Blanks around names and values go; so does a CR the line split at LF left at a line's end.
std::string TrimLine(const std::string& s) { return TrimRight(TrimLeft(s, TTrimSet::Blanks), TTrimSet::BlanksAndCr); }

TParsed Parse(const TLine& line, bool first) {
    std::string t = TrimLine(first && line.text.rfind(kBom, 0) == 0 ? line.text.substr(3) : line.text);
    TParsed p;
    if (t.empty()) return p;
    if (t[0] == ';') {
        p.kind = TKind::Comment;
    } else if (t[0] == '[') {
        // Up to the last "]", so that a name may hold brackets itself ("[Re: [list] help]").
        const std::size_t close = t.rfind(']');
        p.kind = TKind::Section;
        p.name = TrimLine(t.substr(1, close == std::string::npos || close == 0 ? std::string::npos : close - 1));
    } else if (const std::size_t eq = t.find('='); eq != std::string::npos) {
        p.kind = TKind::Entry;
        p.name = TrimLine(t.substr(0, eq));
        p.value = TrimLine(t.substr(eq + 1));
    }
    return p;
}

std::string Unquote(const std::string& v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

}  // namespace

class TIniLines {
public:
    // A missing file reads as an empty one. One that exists but cannot be read does too when
    // only reading; a write must fail instead of replacing the file by the one new entry.
    TIniLines(const std::string& fileName, bool forWriting) : m_fileName(fileName) {
        if (!FileExists(fileName) && !forWriting) return;
        std::string data;
        try {
            data = ReadFileBytes(fileName);
        } catch (const TFileError&) {
            if (forWriting && FileSize(fileName).has_value()) throw;
            if (forWriting && DirectoryExists(fileName)) throw;
            return;
        }
        m_original = data;
        std::size_t pos = 0;
        while (pos < data.size()) {
            const std::size_t lf = data.find('\n', pos);
            TLine line;
            if (lf == std::string::npos) {
                line.text = data.substr(pos);
                pos = data.size();
            } else {
                const bool crlf = lf > pos && data[lf - 1] == '\r';
                line.text = data.substr(pos, lf - pos - (crlf ? 1 : 0));
                line.eol = crlf ? "\r\n" : "\n";
                pos = lf + 1;
            }
            m_lines.push_back(std::move(line));
        }
        for (std::size_t i = 0; i < m_lines.size(); ++i) m_parsed.push_back(Parse(m_lines[i], i == 0));
    }

    std::size_t Size() const { return m_lines.size(); }
    const TParsed& At(std::size_t i) const { return m_parsed[i]; }

    // Calls fn(index) for every line inside the sections named section (all of them: a
    // section that appears twice is read as one).
    template <typename Fn>
    void ForEachInSection(const std::string& section, Fn fn) const {
        bool inside = false;
        for (std::size_t i = 0; i < m_lines.size(); ++i) {
            if (m_parsed[i].kind == TKind::Section) {
                inside = SameTextAscii(m_parsed[i].name, section);
                continue;
            }
            if (inside) fn(i);
        }
    }

    std::optional<std::size_t> FindEntry(const std::string& section, const std::string& key) const {
        std::optional<std::size_t> found;
        ForEachInSection(section, [&](std::size_t i) {
            if (!found && m_parsed[i].kind == TKind::Entry && SameTextAscii(m_parsed[i].name, key)) found = i;
        });
        return found;
    }

    std::optional<std::size_t> FindHeader(const std::string& section) const {
        for (std::size_t i = 0; i < m_lines.size(); ++i)
            if (m_parsed[i].kind == TKind::Section && SameTextAscii(m_parsed[i].name, section)) return i;
        return std::nullopt;
    }

    void Replace(std::size_t i, const std::string& text) {
        m_lines[i].text = text;
        m_parsed[i] = Parse(m_lines[i], i == 0);
    }

    // Only the value changes; the key keeps the spelling and spacing it has in the file.
    void SetValue(std::size_t i, const std::string& value) {
        const std::size_t eq = m_lines[i].text.find('=');
        Replace(i, m_lines[i].text.substr(0, eq + 1) + value);
    }

    void Insert(std::size_t at, const std::string& text) {
        if (at > 0 && m_lines[at - 1].eol.empty()) m_lines[at - 1].eol = "\r\n";
        m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(at), TLine{text, "\r\n"});
        m_parsed.insert(m_parsed.begin() + static_cast<std::ptrdiff_t>(at), Parse(m_lines[at], at == 0));
    }

    void Erase(std::size_t i) {
        m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(i));
        m_parsed.erase(m_parsed.begin() + static_cast<std::ptrdiff_t>(i));
    }

    bool LastLineBlank() const { return m_lines.empty() || TrimLine(m_lines.back().text).empty(); }

    // Writes the lines back when anything changed; settings files may hold passwords, so a new
    // file is readable by its owner only.
    void Save() const {
        std::string data;
        for (const TLine& line : m_lines) data += line.text + line.eol;
        if (data != m_original) WriteFileAtomic(m_fileName, data, 0600);
    }

private:
    std::string m_fileName;
    std::string m_original;
    std::vector<TLine> m_lines;
    std::vector<TParsed> m_parsed;  // one per line
};

namespace {

// The lines a read looks at: those of the open update, or the file as it stands.
const TIniLines& LinesToRead(const std::unique_ptr<TIniLines>& pending, const std::string& fileName,
                             std::optional<TIniLines>& fresh) {
    return pending ? *pending : fresh.emplace(fileName, false);
}

// The lines a change works on; the caller saves them when no update is open.
TIniLines& LinesToChange(const std::unique_ptr<TIniLines>& pending, const std::string& fileName,
                         std::optional<TIniLines>& fresh) {
    return pending ? *pending : fresh.emplace(fileName, true);
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

void CheckWritable(const std::string& section, const std::string& key, const std::string* value) {
    const std::string k = TrimLine(key);
    if (HasLineBreak(section) || TrimLine(section).empty())
        throw TVorlaError("invalid settings section name \"" + section + "\"");
    if (HasLineBreak(key) || k.empty() || k.find('=') != std::string::npos || k[0] == '[' || k[0] == ';')
        throw TVorlaError("invalid settings key \"" + key + "\"");
    if (value && HasLineBreak(*value))
        throw TVorlaError("the value of settings key \"" + key + "\" holds a line break");
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : m_fileName(std::move(fileName)) {}
TIniFile::~TIniFile() = default;
TIniFile::TIniFile(TIniFile&&) noexcept = default;
TIniFile& TIniFile::operator=(TIniFile&&) noexcept = default;

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
    std::optional<TIniLines> fresh;
    const TIniLines& lines = LinesToRead(m_pending, m_fileName, fresh);
    const auto i = lines.FindEntry(section, key);
    return i ? Unquote(lines.At(*i).value) : def;
}

long long TIniFile::ReadInteger(const std::string& section, const std::string& key, long long def) const {
    const std::string text = ReadString(section, key, "");
    const char* b = text.data();
    const char* e = b + text.size();
    if (b != e && *b == '+') ++b;
    if (b == e || *b == '+') return def;
    long long value = 0;
    const auto [end, ec] = std::from_chars(b, e, value);
    return ec == std::errc() && end == e ? value : def;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    // Two different defaults tell "not a number" apart from the numbers 0 and 1.
    const long long a = ReadInteger(section, key, 0);
    const long long b = ReadInteger(section, key, 1);
    if (a != b) return def;
    return a != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    CheckWritable(section, key, &value);
    std::optional<TIniLines> fresh;
    TIniLines& lines = LinesToChange(m_pending, m_fileName, fresh);
    if (const auto i = lines.FindEntry(section, key)) {
        lines.SetValue(*i, value);
    } else if (const auto header = lines.FindHeader(section)) {
        std::size_t at = *header + 1;
        bool inside = true;
        for (std::size_t j = *header + 1; j < lines.Size() && inside; ++j) {
            if (lines.At(j).kind == TKind::Section)
                inside = false;
            else if (lines.At(j).kind == TKind::Entry)
                at = j + 1;  // after the section's last entry, before blank lines and the next header's comments
        }
        lines.Insert(at, key + "=" + value);
    } else {
        if (!lines.LastLineBlank()) lines.Insert(lines.Size(), "");
        lines.Insert(lines.Size(), "[" + section + "]");
        lines.Insert(lines.Size(), key + "=" + value);
    }
    if (!m_pending) lines.Save();
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, long long value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

std::vector<std::string> TIniFile::ReadSections() const {
    std::optional<TIniLines> fresh;
    const TIniLines& lines = LinesToRead(m_pending, m_fileName, fresh);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < lines.Size(); ++i) {
        if (lines.At(i).kind != TKind::Section) continue;
        bool seen = false;
        for (const std::string& n : names) seen = seen || SameTextAscii(n, lines.At(i).name);
        if (!seen) names.push_back(lines.At(i).name);
    }
    return names;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
    std::optional<TIniLines> fresh;
    const TIniLines& lines = LinesToRead(m_pending, m_fileName, fresh);
    std::vector<std::string> keys;
    lines.ForEachInSection(section, [&](std::size_t i) {
        if (lines.At(i).kind != TKind::Entry) return;
        bool seen = false;
        for (const std::string& k : keys) seen = seen || SameTextAscii(k, lines.At(i).name);
        if (!seen) keys.push_back(lines.At(i).name);
    });
    return keys;
}

std::vector<std::string> TIniFile::ReadSectionValues(const std::string& section) const {
    std::optional<TIniLines> fresh;
    const TIniLines& lines = LinesToRead(m_pending, m_fileName, fresh);
    std::vector<std::string> values;
    lines.ForEachInSection(section, [&](std::size_t i) {
        if (lines.At(i).kind == TKind::Entry) values.push_back(lines.At(i).name + "=" + lines.At(i).value);
    });
    return values;
}

bool TIniFile::SectionExists(const std::string& section) const {
    std::optional<TIniLines> fresh;
    return LinesToRead(m_pending, m_fileName, fresh).FindHeader(section).has_value();
}

void TIniFile::EraseSection(const std::string& section) {
    std::optional<TIniLines> fresh;
    TIniLines& lines = LinesToChange(m_pending, m_fileName, fresh);
    bool inside = false;
    for (std::size_t i = 0; i < lines.Size();) {
        if (lines.At(i).kind == TKind::Section) inside = SameTextAscii(lines.At(i).name, section);
        if (inside)
            lines.Erase(i);
        else
            ++i;
    }
    if (!m_pending) lines.Save();
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
    std::optional<TIniLines> fresh;
    TIniLines& lines = LinesToChange(m_pending, m_fileName, fresh);
    while (const auto i = lines.FindEntry(section, key)) lines.Erase(*i);
    if (!m_pending) lines.Save();
}

void TIniFile::BeginUpdate() {
    assert(!m_pending && "an update is already open");
    // The changes keep the lines as reading the saved file anew would give them (each line
    // keeps its end, new ones end CR LF), so the copy goes through the same steps as the file.
    m_pending = std::make_unique<TIniLines>(m_fileName, true);
}

void TIniFile::UpdateFile() {
    if (!m_pending) return;
    const std::unique_ptr<TIniLines> lines = std::move(m_pending);
    lines->Save();
}

}  // namespace vorla
