#include "net/LineReader.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "net/TcpSocket.h"
#include "platform/Errors.h"

namespace vorla {
namespace {

constexpr std::size_t kChunk = 64u << 10;

std::size_t SaturatingAdd(std::size_t a, std::size_t b) {
    return a > std::numeric_limits<std::size_t>::max() - b ? std::numeric_limits<std::size_t>::max() : a + b;
}

bool IsPassCommand(std::string_view line) {
    static constexpr std::string_view kPass = "PASS ";
    if (line.size() < kPass.size()) return false;
    for (std::size_t i = 0; i < kPass.size(); ++i) {
        const char c = line[i] >= 'a' && line[i] <= 'z' ? static_cast<char>(line[i] - 'a' + 'A') : line[i];
        if (c != kPass[i]) return false;
    }
    return true;
}

}  // namespace

TLineReader::TLineReader(TTcpSocket& socket) : m_socket(socket) {}

void TLineReader::Reset() {
    m_buffer.clear();
    m_pos = 0;
}

void TLineReader::Note(std::string_view prefix, std::string_view line) const {
    if (!m_transcript) return;
    std::string text(prefix);
    text += line;
    m_transcript(text);
}

void TLineReader::Fill(std::chrono::milliseconds timeout, bool midLine) {
    m_buffer.resize(kChunk);
    m_pos = 0;
    std::size_t got = 0;
    try {
        got = m_socket.Receive(m_buffer.data(), m_buffer.size(), timeout);
    } catch (...) {
        m_buffer.clear();
        throw;
    }
    m_buffer.resize(got);
    if (got == 0)
        throw TNetError(midLine ? "Connection closed by the peer in the middle of a line"
                                : "Connection closed by the peer");
}

std::size_t TLineReader::NextLine(std::chrono::milliseconds timeout, std::size_t limit, std::size_t keep,
                                  std::string& out) {
    out.clear();
    std::size_t length = 0;  // bytes of the line so far, a CR at its end included
    bool endsInCr = false;
    const auto tooLong = [&] {
        return TProtocolError("Line longer than " + std::to_string(limit) + " bytes");
    };
    for (;;) {
        const char* begin = m_buffer.data() + m_pos;
        const std::size_t available = m_buffer.size() - m_pos;
        const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', available));
        const std::size_t take = lf ? static_cast<std::size_t>(lf - begin) : available;
        if (take > 0) {
            if (out.size() < keep) out.append(begin, std::min(take, keep - out.size()));
            length += take;
            endsInCr = begin[take - 1] == '\r';
        }
        m_pos += lf ? take + 1 : take;
        if (m_pos == m_buffer.size()) Reset();
        if (lf) {
            if (endsInCr) {
                --length;
                if (out.size() > length) out.pop_back();
            }
            if (length > limit) throw tooLong();
            return length;
        }
        // One byte over the limit may still be the CR of the line end.
        if (length > limit && (length - limit > 1 || !endsInCr)) throw tooLong();
        Fill(timeout, length > 0);
    }
}

std::string TLineReader::ReadLine(std::chrono::milliseconds timeout, std::size_t maxLength) {
    std::string line;
    NextLine(timeout, maxLength, maxLength, line);
    Note("<- ", line);
    return line;
}

std::optional<std::string> TLineReader::ReadListing(std::chrono::milliseconds timeout, std::size_t maxBytes,
                                                    std::size_t skipLimit) {
    const std::size_t total = SaturatingAdd(maxBytes, skipLimit);
    std::string text;
    std::string line;
    std::size_t consumed = 0;  // listing bytes read, each line end counted as two
    bool overflow = false;
    for (;;) {
        // Keep one byte more than still fits, so that a line that does not fit shows it.
        const std::size_t keep = overflow ? 2 : maxBytes - text.size() + 1;
        std::size_t length = 0;
        try {
            length = NextLine(timeout, total - consumed, keep, line);
        } catch (const TProtocolError&) {
            throw TProtocolError("Listing did not end within " + std::to_string(total) + " bytes");
        }
        consumed = SaturatingAdd(consumed, SaturatingAdd(length, 2));
        if (length == 1 && line == ".") {
            if (!overflow) Note("<- ", line);
            break;
        }
        if (consumed > total)
            throw TProtocolError("Listing did not end within " + std::to_string(total) + " bytes");
        if (overflow) continue;
        Note("<- ", line);
        // A sender stuffs one "." before every line that begins with one.
        const std::size_t start = line.empty() || line.front() != '.' ? 0 : 1;
        const std::size_t needed = length - start + 2;
        if (needed > maxBytes - text.size()) {
            overflow = true;
            std::string().swap(text);
            continue;
        }
        text.append(line, start, std::string::npos);
        text += "\r\n";
    }
    if (overflow) return std::nullopt;
    return text;
}

void TLineReader::WriteLine(std::string_view line, std::chrono::milliseconds timeout) {
    Note("-> ", IsPassCommand(line) ? std::string_view("PASS ****") : line);
    std::string wire(line);
    wire += "\r\n";
    m_socket.Send(wire, timeout);
}

void TLineReader::WriteSecretLine(std::string_view line, std::string_view shown, std::chrono::milliseconds timeout) {
    Note("-> ", shown);
    std::string wire(line);
    wire += "\r\n";
    m_socket.Send(wire, timeout);
    std::fill(wire.begin(), wire.end(), '\0');
}

void TLineReader::WriteLines(const std::vector<std::string>& lines, std::chrono::milliseconds timeout) {
    std::string wire;
    for (const std::string& line : lines) {
        Note("-> ", IsPassCommand(line) ? std::string_view("PASS ****") : std::string_view(line));
        wire += line;
        wire += "\r\n";
    }
    if (!wire.empty()) m_socket.Send(wire, timeout);
}

}  // namespace vorla
