#include "net/LineReader.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/TcpSocket.h"
#include "platform/Errors.h"
#include "support/ScriptedPeer.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using test::PeerClose;
using test::PeerPause;
using test::PeerReadLine;
using test::PeerSend;
using test::TScriptedPeer;

// A socket connected to peer, and a reader on it.
struct TClientEnd {
    explicit TClientEnd(const TScriptedPeer& peer) { socket.Connect("127.0.0.1", peer.Port(), 5s); }
    TTcpSocket socket;
    TLineReader reader{socket};
};

// The error text of what call throws as TError; fails the test when it throws nothing or
// something else.
template <class TError, class F>
std::string ErrorOf(F&& call) {
    try {
        call();
    } catch (const TError& e) {
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "wrong exception: " << e.what();
        return "";
    }
    ADD_FAILURE() << "no exception";
    return "";
}

TEST(LineReader, SameLinesAndListingWhereverTheInputIsSplit) {
    const std::string wire =
        "+OK 2 340\r\n"
        "Subject: a\r\n"
        "..dot stuffed\r\n"
        "bare lf\n"
        "inner\rcr\r\n"
        "\r\n"
        "...\r\n"
        ".\r\n"
        "+ok next\n";
    const std::string listing = "Subject: a\r\n.dot stuffed\r\nbare lf\r\ninner\rcr\r\n\r\n..\r\n";
    for (std::size_t cut = 1; cut < wire.size(); ++cut) {
        SCOPED_TRACE("split at byte " + std::to_string(cut));
        TScriptedPeer peer({PeerSend(wire.substr(0, cut)), PeerPause(2ms), PeerSend(wire.substr(cut))});
        TClientEnd client(peer);
        EXPECT_EQ(client.reader.ReadLine(2s), "+OK 2 340");
        EXPECT_EQ(client.reader.ReadListing(2s, 1000, 1000), listing);
        EXPECT_EQ(client.reader.ReadLine(2s), "+ok next");
    }
}

TEST(LineReader, ListingsEndOnlyAtALoneDot) {
    struct TRow {
        const char* name;
        std::string wire;
        std::string expected;
    } rows[] = {
        {"empty listing", ".\r\n", ""},
        {"stuffed lone dot", "..\r\n.\r\n", ".\r\n"},
        {"dot and space is a line", ". \r\n.\r\n", " \r\n"},
        {"space and dot is a line", " .\r\n.\r\n", " .\r\n"},
        {"unstuffed leading dot loses it", ".x\r\n.\r\n", "x\r\n"},
        {"bare lf terminator", "a\n.\n", "a\r\n"},
        {"empty lines kept", "\r\n\r\nz\r\n.\r\n", "\r\n\r\nz\r\n"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        TScriptedPeer peer({PeerSend(row.wire + "after\r\n")});
        TClientEnd client(peer);
        EXPECT_EQ(client.reader.ReadListing(2s, 1000, 1000), row.expected);
        EXPECT_EQ(client.reader.ReadLine(2s), "after");
    }
}

TEST(LineReader, ListingOverItsLimitIsSkippedAndLeavesTheStreamInStep) {
    // 8 + 2 bytes per line: ten lines are exactly 100 bytes.
    std::string lines;
    for (int i = 0; i < 10; ++i) lines += "line " + std::to_string(100 + i) + "\r\n";
    std::string stuffed = "." + lines;  // the first line stuffed: it still counts as sent
    struct TRow {
        const char* name;
        std::string wire;
        bool fits;
    } rows[] = {
        {"exactly the limit", lines, true},
        {"stuffing does not count", stuffed, true},
        {"an empty line over", lines + "\r\n", false},
        {"one long line", std::string(500, 'x') + "\r\n", false},
        {"over the limit after a fitting start", lines + lines, false},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        TScriptedPeer peer({PeerSend(row.wire + ".\r\n+OK after\r\n")});
        TClientEnd client(peer);
        const std::optional<std::string> got = client.reader.ReadListing(2s, 100, 1000);
        EXPECT_EQ(got.has_value(), row.fits);
        if (got && row.fits) {
            EXPECT_EQ(got->size(), 100u);
        }
        EXPECT_EQ(client.reader.ReadLine(2s), "+OK after");
    }
}

TEST(LineReader, LineLengthLimitCountsNeitherCrNorLf) {
    struct TRow {
        std::string line;
        bool fits;
    } rows[] = {
        {"0123456789\r\n", true}, {"0123456789\n", true}, {"0123456789\r\r\n", false},
        {"01234567890\r\n", false}, {std::string(5000, 'q'), false},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.line.substr(0, 20));
        TScriptedPeer peer({PeerSend(row.line)});
        TClientEnd client(peer);
        if (row.fits) {
            EXPECT_EQ(client.reader.ReadLine(2s, 10), "0123456789");
        } else {
            EXPECT_EQ(ErrorOf<TProtocolError>([&] { client.reader.ReadLine(2s, 10); }),
                      "Line longer than 10 bytes");
        }
    }
}

TEST(LineReader, TellsACloseBeforeALineFromOneInsideIt) {
    {
        TScriptedPeer peer({PeerSend("+OK whole\r\n"), PeerClose()});
        TClientEnd client(peer);
        EXPECT_EQ(client.reader.ReadLine(2s), "+OK whole");
        EXPECT_EQ(ErrorOf<TNetError>([&] { client.reader.ReadLine(2s); }), "Connection closed by the peer");
    }
    {
        // A last line without its line end is not a line.
        TScriptedPeer peer({PeerSend("+OK cut"), PeerClose()});
        TClientEnd client(peer);
        EXPECT_EQ(ErrorOf<TNetError>([&] { client.reader.ReadLine(2s); }),
                  "Connection closed by the peer in the middle of a line");
    }
    {
        TScriptedPeer peer({PeerSend("Subject: x\r\n\r\nbody\r\n"), PeerClose()});
        TClientEnd client(peer);
        EXPECT_EQ(ErrorOf<TNetError>([&] { client.reader.ReadListing(2s, 1000, 1000); }),
                  "Connection closed by the peer");
    }
}

TEST(LineReader, SilentPeerTimesOutAndShutdownWakesAWaitingRead) {
    {
        TScriptedPeer peer({});
        TClientEnd client(peer);
        EXPECT_EQ(ErrorOf<TNetError>([&] { client.reader.ReadLine(150ms); }), "Timed out after 150 ms");
    }
    {
        TScriptedPeer peer({});
        TClientEnd client(peer);
        std::jthread stopper([&] {
            std::this_thread::sleep_for(100ms);
            client.socket.Shutdown();
        });
        // Without the wake-up this would be a time-out, with another text.
        EXPECT_EQ(ErrorOf<TNetError>([&] { client.reader.ReadLine(20s); }), "Connection stopped");
        stopper.join();
        EXPECT_EQ(ErrorOf<TNetError>([&] { client.reader.WriteLine("QUIT", 1s); }), "Connection stopped");
        EXPECT_EQ(ErrorOf<TNetError>([&] { client.socket.Connect("127.0.0.1", peer.Port(), 1s); }),
                  "Connection stopped");
    }
}

TEST(LineReader, TranscriptShowsBothDirectionsAndHidesThePassword) {
    TScriptedPeer peer({PeerSend("+OK hello\r\n"), PeerReadLine(), PeerReadLine(), PeerReadLine(),
                        PeerSend("+OK\r\nhead\r\n..dot\r\n.\r\n")});
    TClientEnd client(peer);
    std::vector<std::string> transcript;
    client.reader.SetTranscript([&](std::string_view line) { transcript.emplace_back(line); });
    client.reader.ReadLine(2s);
    client.reader.WriteLine("USER bob", 2s);
    client.reader.WriteLine("PASS s3cret word", 2s);
    client.reader.WriteLine("pass again", 2s);
    client.reader.ReadLine(2s);
    client.reader.ReadListing(2s, 1000, 1000);
    client.socket.Close();
    const std::vector<std::string> expected = {"<- +OK hello", "-> USER bob", "-> PASS ****", "-> PASS ****",
                                               "<- +OK",       "<- head",     "<- ..dot",    "<- ."};
    EXPECT_EQ(transcript, expected);
    const std::vector<std::string> sent = {"USER bob", "PASS s3cret word", "pass again"};
    EXPECT_EQ(peer.Received(), sent);
}

}  // namespace
}  // namespace vorla
