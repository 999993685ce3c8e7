#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The line layer of the text protocols: lines ending in CR LF (a bare LF is taken too), the
// multi-line listing that ends at a line holding only "." with its dot-stuffing, and an
// optional transcript of the dialogue.
namespace vorla {

class TTcpSocket;

class TLineReader {
public:
    // Status and command lines are short; this bounds what a peer that never sends a line
    // end can make us hold.
    static constexpr std::size_t kMaxLine = 1u << 20;

    // Receives each line as it goes over the wire: "<- " + received line, "-> " + sent line,
    // both without line end; the argument of a sent PASS command is shown as "****".
    using TTranscript = std::function<void(std::string_view line)>;

    // Keeps a reference: the socket is not owned and must outlive the reader.
    explicit TLineReader(TTcpSocket& socket);

    void SetTranscript(TTranscript transcript) { m_transcript = std::move(transcript); }
    // Forgets bytes buffered from an earlier connection.
    void Reset();
    // Bytes received and not yet returned as lines. Before a switch to TLS this must be 0:
    // whatever the peer sent after its go-ahead was sent in plain text and is not to be
    // trusted as part of the encrypted dialogue.
    std::size_t Buffered() const { return m_buffer.size() - m_pos; }

    // The next line without its line end (a CR right before the LF is dropped, any other CR
    // kept). timeout is the longest wait for more bytes. Throws TNetError on a time-out, a
    // stop, or the peer's close ("Connection closed by the peer", with " in the middle of a
    // line" when part of a line had come), TProtocolError when the line is longer than
    // maxLength bytes (the stream is then out of step).
    std::string ReadLine(std::chrono::milliseconds timeout, std::size_t maxLength = kMaxLine);

    // The lines of a multi-line listing up to the line ".", which is consumed but not
    // returned: each line with one leading "." removed when it has one, each ending in CR LF,
    // so a message comes back byte for byte as it was before the sender stuffed it. When the
    // lines grow past maxBytes, the rest of the listing is read and thrown away and nullopt
    // is returned; the stream is then still in step. When the listing has not ended after
    // skipLimit bytes more, TProtocolError. Throws like ReadLine otherwise (no line length
    // limit of its own).
    std::optional<std::string> ReadListing(std::chrono::milliseconds timeout, std::size_t maxBytes,
                                           std::size_t skipLimit);

    // Sends line and CR LF. Throws TNetError.
    void WriteLine(std::string_view line, std::chrono::milliseconds timeout);
    // The same for a line that carries a secret (a login's credentials): the transcript gets
    // shown instead.
    void WriteSecretLine(std::string_view line, std::string_view shown, std::chrono::milliseconds timeout);
    // Sends every line with its CR LF in one write where the socket takes it.
    void WriteLines(const std::vector<std::string>& lines, std::chrono::milliseconds timeout);

private:
    // Reads one line; keeps at most keep bytes of it in out and returns its whole length.
    // Throws TProtocolError past limit bytes.
    std::size_t NextLine(std::chrono::milliseconds timeout, std::size_t limit, std::size_t keep,
                         std::string& out);
    void Fill(std::chrono::milliseconds timeout, bool midLine);
    void Note(std::string_view prefix, std::string_view line) const;

    TTcpSocket& m_socket;
    std::string m_buffer;   // received, not yet consumed bytes from m_pos on
    std::size_t m_pos = 0;
    TTranscript m_transcript;
};

}  // namespace vorla
