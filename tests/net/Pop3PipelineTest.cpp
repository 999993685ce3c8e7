#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/Pop3Client.h"
#include "platform/Errors.h"
#include "support/ScriptedPeer.h"

// The uplink client's pipelined commands against scripted servers: replies taken in order,
// refusals that leave the session going, and the servers whose replies slip out of step,
// break off or stop, which must never hand one message's text out as another's.
namespace vorla {
namespace {

using namespace std::chrono_literals;
using test::PeerClose;
using test::PeerPause;
using test::PeerReadLine;
using test::PeerSend;
using test::TPeerStep;
using test::TScriptedPeer;
using TTicket = TPop3Client::TTicket;

std::vector<TPeerStep> Session(std::vector<TPeerStep> steps) {
    std::vector<TPeerStep> all = {PeerSend("+OK ready\r\n"), PeerReadLine(), PeerSend("+OK\r\n"), PeerReadLine(),
                                  PeerSend("+OK in\r\n")};
    all.insert(all.end(), steps.begin(), steps.end());
    return all;
}

std::unique_ptr<TPop3Client> Client(const TScriptedPeer& peer) {
    TPop3Limits limits;
    limits.ConnectTimeout = 300ms;
    limits.ReplyTimeout = 300ms;
    auto client = std::make_unique<TPop3Client>(limits);
    client->SetHost("127.0.0.1");
    client->SetPort(peer.Port());
    client->SetLogin("bob");
    client->SetPassword("pw");
    return client;
}

std::string Header(int n) { return "Subject: m" + std::to_string(n) + "\r\n\r\n"; }
std::string Whole(int n) { return Header(n) + "body " + std::to_string(n) + "\r\n"; }
std::string Listing(const std::string& text) { return "+OK\r\n" + text + ".\r\n"; }
std::string Size(int n) { return "+OK " + std::to_string(n) + " " + std::to_string(100 + n) + "\r\n"; }

TEST(Pop3Pipeline, RepliesComeBackInOrderAndARefusalStaysWithItsCommand) {
    TScriptedPeer peer(Session({
        PeerReadLine(), PeerSend(Listing(Header(1))), PeerReadLine(), PeerSend(Size(1)),      // TOP 1 0, LIST 1
        PeerReadLine(), PeerSend("-ERR no TOP today\r\n"), PeerReadLine(), PeerSend(Size(2)),  // TOP 2 0, LIST 2
        PeerReadLine(), PeerSend(Listing(Whole(1))), PeerReadLine(), PeerSend("-ERR gone\r\n"),  // RETR 1, LIST 1
        PeerReadLine(), PeerSend("-ERR locked\r\n"),                                           // DELE 1
        PeerReadLine(), PeerSend("+OK 2 102\r\n"),                                             // STAT
        PeerReadLine(), PeerSend("+OK bye\r\n"),
    }));
    auto client = Client(peer);
    client->Connect();
    const TTicket top1 = client->QueueHeader(1);
    const TTicket top2 = client->QueueHeader(2);
    const TTicket retr1 = client->QueueRetrieve(1);
    const TTicket dele1 = client->QueueDelete(1);
    EXPECT_EQ(client->Pending(), 4u);
    EXPECT_FALSE(client->Ready(top1));
    // Taken out of order: the replies before it are read and kept.
    const TPop3Client::TPipelined whole = client->Take(retr1);
    EXPECT_EQ(whole.text, Whole(1));
    EXPECT_EQ(whole.size, -1);
    EXPECT_TRUE(whole.sizeError);
    EXPECT_TRUE(client->Ready(top1));
    EXPECT_TRUE(client->Ready(top2));
    const TPop3Client::TPipelined header = client->Take(top1);
    EXPECT_EQ(header.text, Header(1));
    EXPECT_EQ(header.size, 101);
    EXPECT_THROW(client->Take(top2), TPeerRefused);
    EXPECT_THROW(client->Take(top1), TVorlaError);  // taken once
    EXPECT_THROW(client->Take(dele1), TPeerRefused);
    EXPECT_EQ(client->Pending(), 0u);
    // An exchange-at-a-time command after them finds the dialogue in step.
    EXPECT_EQ(client->MessageCount(), 2);
    client->Disconnect();
    EXPECT_EQ(peer.Received(), (std::vector<std::string>{"USER bob", "PASS pw", "TOP 1 0", "LIST 1", "TOP 2 0",
                                                         "LIST 2", "RETR 1", "LIST 1", "DELE 1", "STAT", "QUIT"}));
}

// Each script answers TOP 1 0, LIST 1, TOP 2 0, LIST 2, RETR 1, LIST 1 in some broken way.
// Whatever a request gives must be its own message's text; once the break is seen every
// later request fails and the connection is closed.
TEST(Pop3Pipeline, ServersOutOfStepBrokenOffOrSilentNeverMixUpMessages) {
    struct TCase {
        const char* what;
        std::vector<TPeerStep> replies;
        int good;  // how many of the three requests get their text
        const char* error;  // part of the first error
    };
    const std::string top1 = Listing(Header(1)), top2 = Listing(Header(2)), retr1 = Listing(Whole(1));
    const TCase cases[] = {
        {"the size names another message",
         {PeerReadLine(), PeerSend(top1), PeerReadLine(), PeerSend(Size(2))},
         0, "out of step"},
        {"a reply left out",
         {PeerReadLine(), PeerReadLine(), PeerSend(Size(1)), PeerReadLine(), PeerSend(top2), PeerReadLine(),
          PeerSend(Size(2))},
         0, "out of step"},
        {"a reply too many",
         {PeerReadLine(), PeerSend(top1), PeerSend("+OK\r\n"), PeerReadLine(), PeerSend(Size(1)), PeerReadLine(),
          PeerSend(top2), PeerReadLine(), PeerSend(Size(2))},
         0, "out of step"},
        {"a reply too many inside the next",
         {PeerReadLine(), PeerSend(top1), PeerReadLine(), PeerSend(Size(1)), PeerSend(Size(1)), PeerReadLine(),
          PeerSend(top2), PeerReadLine(), PeerSend(Size(2))},
         1, "out of step"},
        {"replies swapped",
         {PeerReadLine(), PeerReadLine(), PeerSend(Size(1)), PeerSend(top1)},
         0, "out of step"},
        {"connection dropped inside a message",
         {PeerReadLine(), PeerSend(top1), PeerReadLine(), PeerSend(Size(1)), PeerReadLine(),
          PeerSend("+OK\r\nSubject: m2\r\n"), PeerClose()},
         1, "Connection closed by the peer"},
        {"connection dropped before the size after a message",
         {PeerReadLine(), PeerSend(top1), PeerReadLine(), PeerSend(Size(1)), PeerReadLine(), PeerSend(top2),
          PeerClose()},
         1, "Connection closed by the peer"},
        {"no more replies",
         {PeerReadLine(), PeerSend(top1), PeerReadLine(), PeerSend(Size(1)), PeerPause(1500ms)},
         1, "Timed out after 300 ms"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        TScriptedPeer peer(Session(c.replies));
        auto client = Client(peer);
        client->Connect();
        const std::vector<TTicket> tickets = {client->QueueHeader(1), client->QueueHeader(2),
                                              client->QueueRetrieve(1)};
        const std::string texts[] = {Header(1), Header(2), Whole(1)};
        int good = 0;
        std::string firstError;
        for (std::size_t i = 0; i < tickets.size(); ++i) {
            try {
                EXPECT_EQ(client->Take(tickets[i]).text, texts[i]);
                ++good;
                EXPECT_TRUE(firstError.empty()) << "a text after the break";
            } catch (const TVorlaError& e) {
                if (firstError.empty()) firstError = e.what();
                else EXPECT_NE(std::string(e.what()).find("Not connected"), std::string::npos) << e.what();
            }
        }
        EXPECT_EQ(good, c.good);
        EXPECT_NE(firstError.find(c.error), std::string::npos) << firstError;
        EXPECT_FALSE(client->Connected());
        EXPECT_THROW(client->QueueDelete(1), TNetError);
        EXPECT_NO_THROW(client->Disconnect());  // no QUIT on a broken session
        client.reset();
        const std::vector<std::string> received = peer.Received();
        EXPECT_EQ(std::count(received.begin(), received.end(), "QUIT"), 0);
    }
}

TEST(Pop3Pipeline, CapabilitiesAndOneListing) {
    struct TCase {
        const char* capa;
        bool pipelining;
        const char* list;
        std::vector<std::int64_t> sizes;  // empty: refused
    };
    const TCase cases[] = {
        {"+OK\r\nTOP\r\nPIPELINING\r\nUIDL\r\n.\r\n", true, "+OK 3 messages\r\n1 10\r\n3 x\r\n2 20\r\n.\r\n",
         {10, 20, -1}},
        {"+OK\r\npipelining  \r\n.\r\n", true, "+OK\r\n1 10\r\n9 90\r\n.\r\n", {10, -1, -1}},
        {"+OK\r\nTOP\r\nPIPELINING-NOT\r\n.\r\n", false, "-ERR no listing\r\n", {}},
        {"-ERR what\r\n", false, "+OK\r\n.\r\n", {-1, -1, -1}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.capa);
        TScriptedPeer peer(Session({PeerReadLine(), PeerSend("+OK 3 300\r\n"), PeerReadLine(), PeerSend(c.capa),
                                    PeerReadLine(), PeerSend(c.list)}));
        auto client = Client(peer);
        client->Connect();
        ASSERT_EQ(client->MessageCount(), 3);
        EXPECT_EQ(client->OffersPipelining(), c.pipelining);
        EXPECT_EQ(client->OffersPipelining(), c.pipelining);  // asked once
        const auto sizes = client->ListAll();
        if (c.sizes.empty())
            EXPECT_FALSE(sizes);
        else
            EXPECT_EQ(sizes.value_or(std::vector<std::int64_t>{}), c.sizes);
        client.reset();
        EXPECT_EQ(peer.Received(), (std::vector<std::string>{"USER bob", "PASS pw", "STAT", "CAPA", "LIST"}));
    }
}

}  // namespace
}  // namespace vorla
