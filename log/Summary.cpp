#include "log/Summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <unordered_map>

#include "log/LogLines.h"
#include "platform/Errors.h"

namespace vorla {

namespace {

constexpr std::size_t kStampLength = 20;  // "dd mmm yyyy hh:nn:ss"

bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

// The first `count` fields of the line split at every space and TAB; the last separator's
// field runs to the next separator or the end of the line, missing fields are empty.
std::vector<std::string> SplitFields(const std::string& line, std::size_t count) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (fields.size() < count) {
        std::size_t end = start;
        while (end < line.size() && !IsSeparator(line[end])) ++end;
        fields.push_back(line.substr(start, end - start));
        if (end >= line.size()) break;
        start = end + 1;
    }
    fields.resize(count);
    return fields;
}

// Counts keys in order of first appearance.
class TCounter {
public:
    // Returns the record's index, so callers can keep parallel data per record.
    std::size_t Add(const std::string& key) {
        const auto [it, inserted] = m_index.try_emplace(key, m_records.size());
        if (inserted)
            m_records.push_back({key, 1});
        else
            ++m_records[it->second].count;
        return it->second;
    }
    std::vector<TSummaryRec>& Records() { return m_records; }

private:
    std::vector<TSummaryRec> m_records;
    std::unordered_map<std::string, std::size_t> m_index;
};

std::optional<int> PositiveNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n <= 0) return std::nullopt;
    return static_cast<int>(n);
}

std::optional<int> MonthNumber(const std::string& name) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (name.size() != 3) return std::nullopt;
    for (int m = 0; m < 12; ++m) {
        const char* known = kShortMonthNames[m];
        if (lower(name[0]) == lower(known[0]) && lower(name[1]) == lower(known[1]) && lower(name[2]) == lower(known[2]))
            return m + 1;
    }
    return std::nullopt;
}

enum class TLineAge { Unreadable, Old, Young };

TLineAge AgeOf(const std::string& line, std::int32_t trimDays, TDateTime today) {
    const auto part = [&](std::size_t pos, std::size_t len) {
        return pos < line.size() ? line.substr(pos, len) : std::string();
    };
    const auto day = PositiveNumber(part(0, 2));
    const auto month = MonthNumber(part(3, 3));
    const auto year = PositiveNumber(part(7, 4));
    if (!day || !month || !year) return TLineAge::Unreadable;
    TDateTime date;
    try {
        date = EncodeDate(*year, *month, *day);
    } catch (const TVorlaError&) {
        return TLineAge::Old;  // "31 Feb 2026" is no date to keep a line for
    }
    return std::floor(today) - date > trimDays ? TLineAge::Old : TLineAge::Young;
}

std::string Percent(std::int64_t part, std::int64_t whole) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%3.1f%%", static_cast<double>(part) * 100.0 / static_cast<double>(whole));
    return buf;
}

}  // namespace

TLogFields ParseLogFields(const std::string& line) {
    TLogFields f;
    const auto fields = SplitFields(line, 6);
    f.day = fields[0];
    f.month = fields[1];
    f.year = fields[2];
    f.time = fields[3];
    f.account = fields[4];
    f.word = fields[5];
    f.dated = line.size() >= kStampLength && ParseLogDateTime(line.substr(0, kStampLength)).has_value() &&
              (line.size() == kStampLength || IsSeparator(line[kStampLength]));
    // The writers put a TAB after the time stamp and after the account name; reading the name
    // up to that TAB keeps names with spaces whole.
    if (f.dated && line.size() > kStampLength && line[kStampLength] == '\t') {
        const std::size_t nameStart = kStampLength + 1;
        const std::size_t tab = line.find('\t', nameStart);
        if (tab != std::string::npos) {
            f.account = line.substr(nameStart, tab - nameStart);
            std::size_t end = tab + 1;
            while (end < line.size() && !IsSeparator(line[end])) ++end;
            f.word = line.substr(tab + 1, end - tab - 1);
        }
    }
    if (IsCategoryWord(f.account))
        f.category = f.account;
    else if (IsCategoryWord(f.word))
        f.category = f.word;
    return f;
}

std::string DailySummaryText(const std::vector<std::string>& linesOldestFirst) {
    TCounter counter;
    std::vector<std::pair<std::string, std::string>> shown;  // per record: date, category
    for (auto it = linesOldestFirst.rbegin(); it != linesOldestFirst.rend(); ++it) {
        const TLogFields f = ParseLogFields(*it);
        if (!f.dated) continue;
        const std::string date = f.day + " " + f.month + " " + f.year;
        if (counter.Add(date + " " + f.category) == shown.size()) shown.emplace_back(date, f.category);
    }
    std::string out;
    const auto& records = counter.Records();
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i > 0) out += "\r\n";
        out += shown[i].first + "\t" + shown[i].second + "\t" + std::to_string(records[i].count);
    }
    return out;
}

std::string AccountSummaryText(const std::vector<std::string>& linesOldestFirst) {
    struct TRow {
        TSummaryRec rec;
        std::string account, category;
    };
    TCounter counter;
    std::vector<TRow> rows;
    for (auto it = linesOldestFirst.rbegin(); it != linesOldestFirst.rend(); ++it) {
        const TLogFields f = ParseLogFields(*it);
        if (!f.dated) continue;
        if (counter.Add(f.account + " " + f.category) == rows.size()) rows.push_back({{}, f.account, f.category});
    }
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i].rec = counter.Records()[i];
    // std::string compares its characters as unsigned bytes, which is the order wanted here.
    std::sort(rows.begin(), rows.end(), [](const TRow& a, const TRow& b) { return a.rec.key < b.rec.key; });

    std::string out;
    std::vector<std::pair<std::string, std::int64_t>> totals;  // per category, first appearance
    std::int64_t grandTotal = 0;
    for (const TRow& row : rows) {
        out += row.account + "\t" + row.category + "\t" + std::to_string(row.rec.count) + "\r\n";
        auto total = std::find_if(totals.begin(), totals.end(), [&](const auto& t) { return t.first == row.category; });
        if (total == totals.end()) total = totals.insert(totals.end(), {row.category, 0});
        total->second += row.rec.count;
        grandTotal += row.rec.count;
    }
    out += "\r\nTotals";
    for (const auto& [category, total] : totals)
        out += "\t" + category + "\t" + std::to_string(total) + " (" + Percent(total, grandTotal) + ")\r\n";
    if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0) out.resize(out.size() - 2);
    return out;
}

std::size_t LinesToTrim(const std::vector<std::string>& linesOldestFirst, std::int32_t trimDays, TDateTime today) {
    if (trimDays <= 0) return 0;
    std::size_t remove = 0;
    for (std::size_t i = 0; i < linesOldestFirst.size(); ++i) {
        const TLineAge age = AgeOf(linesOldestFirst[i], trimDays, today);
        if (age == TLineAge::Young) break;
        // An unreadable line cannot be dated itself; it goes only with an old line below it,
        // so a damaged line at the top never stops the log from being trimmed.
        if (age == TLineAge::Old) remove = i + 1;
    }
    return remove;
}

}  // namespace vorla
