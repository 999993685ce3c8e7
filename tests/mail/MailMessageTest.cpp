#include "mail/MailMessage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/TempFolder.h"
#include "support/TempDir.h"

using namespace vorla;
using vorla::test::TTempDir;
using namespace std::string_literals;

namespace {

using TLines = std::vector<std::string>;

// Each test's attachment files go to a folder of its own, so that leftovers can be counted.
class MailMessageFixture : public ::testing::Test {
protected:
    void SetUp() override { SetPrivateTempFolder(m_temp.Path()); }
    void TearDown() override { SetPrivateTempFolder(""); }
    std::size_t TempFileCount() const { return FindFiles(m_temp.Path(), "Ind*.tmp").size(); }
    TTempDir m_temp;
};

const std::string kSimple =
    "From: Ann Example <ann@example.org>\r\n"
    "To: bob@example.net\r\n"
    "Subject: Hello\r\n"
    "Date: Wed, 23 Jul 2003 23:30:00 +0200\r\n"
    "\r\n"
    "Body line\r\n"
    ".\r\n";

std::string Field(const std::string& text, const std::string& name) {
    const std::size_t at = text.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "<none>";
    const std::size_t start = at + name.size() + 4;
    return text.substr(start, text.find("\r\n", start) - start);
}

}  // namespace

TEST(MailMessageFileForm, BodyLinesAreStuffedAndReadBack) {
    struct {
        const char* name;
        TLines body;
        std::string stored;  // the body part of the file, after the empty line
    } rows[] = {
        {"a lone dot", {"."}, "..\r\n.\r\n"},
        {"two dots", {"..x"}, "...x\r\n.\r\n"},
        {"dot inside", {"a.b", ".a"}, "a.b\r\n..a\r\n.\r\n"},
        {"empty body", {}, ".\r\n"},
        {"empty lines kept", {"", "", "x", ""}, "\r\n\r\nx\r\n\r\n.\r\n"},
        {"lone CR stays inside", {"a\rb", "c\r"}, "a\rb\r\nc\r\r\n.\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string text = "X-Test: 1\r\n\r\n" + row.stored;
        TMailMessage loaded;
        loaded.LoadFromText(text);
        EXPECT_EQ(loaded.Body, row.body);
        EXPECT_EQ(loaded.SaveToText(), text);
        const bool crInside = std::any_of(row.body.begin(), row.body.end(),
                                          [](const std::string& line) { return line.find('\r') != std::string::npos; });
        if (crInside) continue;  // a creator's text with a CR is written quoted-printable
        TMailMessage created;
        created.Headers = {"X-Test: 1"};
        created.Body = row.body;
        EXPECT_EQ(created.SaveToText(), text);
    }
}

TEST(MailMessageFileForm, ReadingSplitsAtLfAndStopsAtTheDotLine) {
    struct {
        const char* name;
        std::string text;
        TLines headers, body;
    } rows[] = {
        {"LF only", "A: 1\nB: 2\n\nx\n..y\n.\n", {"A: 1", "B: 2"}, {"x", ".y"}},
        {"stops at dot", "A: 1\r\n\r\nx\r\n.\r\nafter\r\n", {"A: 1"}, {"x"}},
        {"no terminator, no final line end", "A: 1\r\n\r\nx\r\ny", {"A: 1"}, {"x", "y"}},
        {"folded field is one entry", "S: a\r\n b\r\n\tc\r\nT: d\r\n\r\n", {"S: a\r\n b\r\n\tc", "T: d"}, {}},
        {"continuation without a field first", " lead\r\nA: 1\r\n\r\n", {" lead", "A: 1"}, {}},
        {"dot line in the header ends all", "A: 1\r\n.\r\nB: 2\r\n", {"A: 1"}, {}},
        {"stuffed header line", "..odd\r\nA: 1\r\n\r\n", {".odd", "A: 1"}, {}},
        {"no empty line", "A: 1\r\nB: 2", {"A: 1", "B: 2"}, {}},
        {"empty header", "\r\nx\r\n.\r\n", {}, {"x"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TMailMessage m;
        m.LoadFromText(row.text);
        EXPECT_EQ(m.Headers, row.headers);
        EXPECT_EQ(m.Body, row.body);
    }
}

TEST(MailMessageFileForm, HeadersOnlyGivesPropertiesAndNoBody) {
    TMailMessage m;
    m.LoadFromText(kSimple, true);
    EXPECT_EQ(m.From.Address, "ann@example.org");
    EXPECT_EQ(m.Subject, "Hello");
    EXPECT_EQ(m.Date, UnixToLocal(1058995800));
    EXPECT_TRUE(m.Body.empty());
    EXPECT_EQ(m.Headers.size(), 4u);
}

TEST(MailMessageFileForm, RawLoadSavesTheSameBytes) {
    const std::string odd =
        "Received: from x\r\n\tby y\r\n"
        "from:   \"Ann\"   <ann@example.org>  (comment)\r\n"
        "Subject: =?iso-8859-1?q?Gr=FC=DFe?=\r\n"
        "To: a@b,\r\n  c@d\r\n"
        "Date: garbage\r\n"
        "Content-Type: multipart/mixed; boundary=\"b\"\r\n"
        "X-Empty:\r\n"
        "\r\n"
        "--b\r\n\r\n..dotted\r\n--b--\r\n"
        ".\r\n";
    for (const std::string& text : {kSimple, odd}) {
        TMailMessage m;
        m.LoadFromText(text);
        EXPECT_EQ(m.SaveToText(), text);
        TMailMessage copy;
        copy.LoadFromText(m.SaveToText());
        EXPECT_EQ(copy.Headers, m.Headers);
        EXPECT_EQ(copy.Body, m.Body);
    }
}

TEST(MailMessageFileForm, MailTextBecomesTheFileForm) {
    struct {
        const char* name;
        std::string eml, file;
    } rows[] = {
        {"LF ends", "A: 1\n\nx\n.\n..y\n", "A: 1\r\n\r\nx\r\n..\r\n...y\r\n.\r\n"},
        {"no final line end", "A: 1\r\n\r\nx", "A: 1\r\n\r\nx\r\n.\r\n"},
        {"headers only", "A: 1\n B\n", "A: 1\r\n B\r\n\r\n.\r\n"},
        {"dot in the header block", "A: 1\n.\nB: 2\n\nx\n", "A: 1\r\n..\r\nB: 2\r\n\r\nx\r\n.\r\n"},
        {"trailing empty lines", "A: 1\n\nx\n\n\n", "A: 1\r\n\r\nx\r\n\r\n\r\n.\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TMailMessage m;
        m.LoadFromMailText(row.eml);
        EXPECT_EQ(m.SaveToText(), row.file);
        TMailMessage back;
        back.LoadFromText(row.file);
        EXPECT_EQ(back.SaveToText(), row.file);
    }
}

TEST(MailMessageProperties, ReadFromTheHeader) {
    TMailMessage m;
    m.LoadFromText(
        " from: =?ISO-8859-1?Q?Andr=E9?= Pirard <pirard@example.be>\r\n"
        "From: second@example.org\r\n"
        "TO: \"Doe, John\" <john@example.org>, team: a@x, b@y;, plain@z\r\n"
        "Cc: Gr\xfc\xdf Gott <g@x>\r\n"
        "Reply-To: <r@x>\r\n"
        "Sender: s@x (The Sender)\r\n"
        "Subject: =?utf-8?b?w6R1?= and\r\n =?utf-8?q?=C3=B6?= end\r\n"
        "Content-Type: text/plain;\r\n\tcharset=utf-8\r\n"
        "Content-Transfer-Encoding:  base64 \r\n"
        "\r\n.\r\n");
    EXPECT_EQ(m.From.Name, "Andr\xc3\xa9 Pirard");
    EXPECT_EQ(m.From.Address, "pirard@example.be");
    ASSERT_EQ(m.Recipients.Count(), 4u);
    EXPECT_EQ(m.Recipients[0].Name, "Doe, John");
    EXPECT_EQ(m.Recipients[2].Address, "b@y");
    EXPECT_EQ(m.Recipients[3].Address, "plain@z");
    ASSERT_EQ(m.CCList.Count(), 1u);
    EXPECT_EQ(m.CCList[0].Name, "Gr\xc3\xbc\xc3\x9f Gott");  // 8-bit Latin-1 read as such
    EXPECT_EQ(m.ReplyTo.Text(), "r@x");
    EXPECT_EQ(m.Sender.Text(), "The Sender <s@x>");
    EXPECT_EQ(m.Subject, "\xc3\xa4u and \xc3\xb6 end");
    EXPECT_EQ(m.ContentType, "text/plain;\tcharset=utf-8");
    EXPECT_EQ(m.ContentTransferEncoding, "base64");
    EXPECT_EQ(m.Date, kZeroDate);
}

TEST(MailMessageProperties, DatesInTheirManyForms) {
    struct {
        const char* text;
        std::time_t utc;  // 0: unreadable, the zero date
    } rows[] = {
        {"Wed, 23 Jul 2003 23:30:00 +0200", 1058995800},
        {"Wed, 23 Jul 2003 23:30:00 +0200 (CEST)", 1058995800},
        {"23 Jul 2003 21:30:00 GMT", 1058995800},
        {"Wed, 23 Jul 03 16:30:00 EST", 1058995800},
        {"Wed Jul 23 21:30:00 2003", 1058995800},
        {"Wed, 23 Jul 2003 21:30 UT", 1058995800},
        {"garbage", 0},
        {"31 Feb 2020 10:00:00 +0000", 0},
        {"", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        TMailMessage m;
        m.LoadFromText(std::string("Date: ") + row.text + "\r\n\r\n.\r\n");
        EXPECT_EQ(m.Date, row.utc ? UnixToLocal(row.utc) : kZeroDate);
    }
}

TEST(MailAddress, TextFormAndListParsing) {
    struct {
        const char* name;
        const char* address;
        const char* text;
    } rows[] = {
        {"", "a@b", "a@b"},
        {"Ann Example", "a@b", "Ann Example <a@b>"},
        {"Doe, John", "a@b", "\"Doe, John\" <a@b>"},
        {"John Q. Public", "a@b", "\"John Q. Public\" <a@b>"},
        {"Say \"hi\"", "a@b", "\"Say \\\"hi\\\"\" <a@b>"},
        {"J\xc3\xb6rg", "a@b", "J\xc3\xb6rg <a@b>"},
    };
    TMailAddressList list;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        TMailAddress& a = list.Add();
        a.Name = row.name;
        a.Address = row.address;
        EXPECT_EQ(a.Text(), row.text);
    }
    TMailAddressList back;
    back.SetText(list.Text());
    EXPECT_TRUE(back == list) << back.Text();

    struct {
        const char* text;
        TLines addresses;
    } lists[] = {
        {"undisclosed-recipients:;", {}},
        {"", {}},
        {"a@b, , c@d", {"a@b", "c@d"}},
        {"<>, ,", {"<>"}},
        {"not an address", {"not an address"}},  // kept as it stands, never dropped
        {"John <john@x", {"john@x"}},
    };
    for (const auto& row : lists) {
        SCOPED_TRACE(row.text);
        back.SetText(row.text);
        TLines got;
        for (const TMailAddress& a : back) got.push_back(a.Address);
        EXPECT_EQ(got, row.addresses);
    }
}

TEST(MailMessageSave, UnchangedFieldsKeepTheirBytes) {
    const std::string text =
        "From:   \"Ann\"   <ann@example.org>  (comment)\r\n"
        "Subject: =?iso-8859-1?q?Gr=FC=DFe?=\r\n"
        "To: a@b,\r\n  c@d\r\n"
        "Cc: x@y\r\n"
        "Cc: second@y\r\n"
        "Date: Wed, 23 Jul 2003 23:30:00 +0200\r\n"
        "Message-ID: <1@x>\r\n"
        "\r\nbody\r\n.\r\n";
    TMailMessage m;
    m.LoadFromText(text);
    m.Subject = "Neu: \xc3\xa4rger";
    m.CCList.Clear();
    m.ReplyTo.SetText("r@x");
    const std::string saved = m.SaveToText();
    const std::string subject = Field(saved, "Subject");
    EXPECT_TRUE(std::all_of(subject.begin(), subject.end(), [](char c) { return c > 0 && c < 127; })) << subject;
    EXPECT_EQ(saved,
              "From:   \"Ann\"   <ann@example.org>  (comment)\r\n"
              "Subject: " + subject + "\r\n"
              "To: a@b,\r\n  c@d\r\n"
              "Cc: second@y\r\n"
              "Date: Wed, 23 Jul 2003 23:30:00 +0200\r\n"
              "Message-ID: <1@x>\r\n"
              "Reply-To: r@x\r\n"
              "\r\nbody\r\n.\r\n");
    TMailMessage back;
    back.LoadFromText(saved);
    EXPECT_EQ(back.Subject, m.Subject);
}

TEST(MailMessageSave, CreatedMessageHasTheStandardFields) {
    TMailMessage m;
    TMailAddress& to = m.Recipients.Add();
    to.Name = "Bob B\xc3\xa4r";
    to.Address = "bob@example.net";
    m.Headers.push_back("To: bob@example.net");
    m.Headers.push_back("AutoAwayReply: 1");
    m.From.Name = "Vorla";
    m.From.Address = "me@example.org";
    m.Subject = "Away";
    m.Date = EncodeDateTime(2026, 12, 7, 12, 22, 26);
    m.ContentType = "text/plain";
    m.Body = {"I am away.", ".", "Back soon"};
    m.ExtraHeaders = {"X-Mailer: Vorla"};
    const std::string text = m.SaveToText();
    EXPECT_EQ(text.find("Message-ID"), std::string::npos);
    // The "To: " line that the creator added is where the generated field goes.
    EXPECT_EQ(text.rfind("To: Bob =?UTF-8?", 0), 0u) << text;
    EXPECT_NE(text.find("?= <bob@example.net>\r\nAutoAwayReply: 1\r\nFrom: "), std::string::npos) << text;
    EXPECT_EQ(Field(text, "From"), "Vorla <me@example.org>");
    EXPECT_EQ(Field(text, "Subject"), "Away");
    EXPECT_EQ(Field(text, "Content-Type"), "text/plain");
    EXPECT_EQ(Field(text, "MIME-Version"), "<none>");
    EXPECT_EQ(Field(text, "Date").substr(0, 25), "Mon, 07 Dec 2026 12:22:26");
    EXPECT_NE(text.find("X-Mailer: Vorla\r\n\r\nI am away.\r\n..\r\nBack soon\r\n.\r\n"), std::string::npos) << text;

    TMailMessage back;
    back.LoadFromText(text);
    EXPECT_EQ(back.Date, m.Date);  // the zone written is the one in force that day
    EXPECT_EQ(back.Recipients[0].Name, "Bob B\xc3\xa4r");
    EXPECT_EQ(back.From.Text(), "Vorla <me@example.org>");
}

TEST(MailMessageSave, DateCarriesTheOffsetInForceThatDay) {
    struct TZoneGuard {
        std::string old;
        bool had;
        TZoneGuard() : had(std::getenv("TZ") != nullptr) {
            if (had) old = std::getenv("TZ");
            setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
            tzset();
        }
        ~TZoneGuard() {
            if (had) setenv("TZ", old.c_str(), 1); else unsetenv("TZ");
            tzset();
        }
    } zone;
    struct {
        TDateTime date;
        const char* field;
    } rows[] = {
        {EncodeDateTime(2026, 1, 15, 9, 5, 7), "Thu, 15 Jan 2026 09:05:07 +0100"},
        {EncodeDateTime(2026, 7, 1, 23, 59, 59), "Wed, 01 Jul 2026 23:59:59 +0200"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.field);
        TMailMessage m;
        m.Date = row.date;
        const std::string text = m.SaveToText();
        EXPECT_EQ(text, std::string("Date: ") + row.field + "\r\n\r\n.\r\n");
        TMailMessage back;
        back.LoadFromText(text);
        EXPECT_EQ(back.Date, row.date);
    }
}

TEST(MailMessageSave, LongFieldsAreFoldedAndReadBack) {
    TMailMessage m;
    for (int i = 0; i < 12; ++i) {
        TMailAddress& a = m.Recipients.Add();
        a.Name = i % 3 ? "Person Number " + std::to_string(i) : "B\xc3\xa4r, Nummer " + std::to_string(i);
        a.Address = "person" + std::to_string(i) + "@example.org";
    }
    for (int i = 0; i < 20; ++i) m.Subject += "W\xc3\xb6rter und words ";
    const std::string text = m.SaveToText();
    std::size_t longest = 0;
    for (std::size_t at = 0, next; (next = text.find("\r\n", at)) != std::string::npos; at = next + 2)
        longest = std::max(longest, next - at);
    EXPECT_LE(longest, 78u) << text;
    TMailMessage back;
    back.LoadFromText(text);
    EXPECT_EQ(back.Headers.size(), 2u);
    EXPECT_TRUE(back.Recipients == m.Recipients) << back.Recipients.Text();
    EXPECT_EQ(back.Subject, m.Subject.substr(0, m.Subject.size() - 1));  // the last blank is trimmed
}

TEST_F(MailMessageFixture, CreatedTextNeedingEncodingIsQuotedPrintable) {
    TMailMessage m;
    m.ContentType = "text/plain";
    const std::string longLine(1200, 'x');
    m.Body = {"Gr\xc3\xbc\xc3\x9f""e = mehr  ", longLine};
    const std::string text = m.SaveToText();
    EXPECT_EQ(Field(text, "Content-Transfer-Encoding"), "quoted-printable");
    EXPECT_EQ(text.rfind("Content-Type: text/plain; charset=utf-8\r\nMIME-Version: 1.0\r\n", 0), 0u) << text;
    std::size_t longest = 0;
    for (std::size_t at = 0, next; (next = text.find("\r\n", at)) != std::string::npos; at = next + 2)
        longest = std::max(longest, next - at);
    EXPECT_LE(longest, 76u);
    TMailMessage back;
    back.LoadMode = TLoadMode::Decoded;
    back.LoadFromText(text);
    EXPECT_EQ(back.Body, m.Body);
}

TEST_F(MailMessageFixture, PartsAreWrittenAsMultipartAndDecodeBack) {
    TTempDir dir;
    const std::string binary("\x00\x01\xff\r\n.x\n", 8);
    vorla::test::WriteFile(dir / "r\xc3\xa9sum\xc3\xa9.bin", binary);
    TMailMessage m;
    m.From.Address = "me@example.org";
    m.Body = {"Intro"};
    m.MessageParts.emplace_back(TTextPart{"text/plain", {"Gr\xc3\xbc\xc3\x9f""e", "second", ""}});
    m.MessageParts.emplace_back(TAttachmentPart{"", "", dir / "r\xc3\xa9sum\xc3\xa9.bin", false});
    const std::string text = m.SaveToText();
    EXPECT_EQ(text, m.SaveToText());  // the same bytes every time
    EXPECT_EQ(Field(text, "MIME-Version"), "1.0");
    EXPECT_EQ(Field(text, "Content-Type").rfind("multipart/mixed; boundary=", 0), 0u);
    // The store finds the name on the line after "Content-Disposition: attachment;".
    EXPECT_NE(text.find("Content-Disposition: attachment;\r\n\tfilename=\""), std::string::npos);
    EXPECT_NE(text.find("Content-Type: application/octet-stream;\r\n\tname=\""), std::string::npos);

    TMailMessage back;
    back.LoadMode = TLoadMode::Decoded;
    back.LoadFromText(text);
    ASSERT_EQ(back.MessageParts.size(), 3u);
    EXPECT_EQ(std::get<TTextPart>(back.MessageParts[0]).Body, TLines{"Intro"});
    EXPECT_EQ(std::get<TTextPart>(back.MessageParts[1]).Body, (TLines{"Gr\xc3\xbc\xc3\x9f""e", "second", ""}));
    const auto& file = std::get<TAttachmentPart>(back.MessageParts[2]);
    EXPECT_EQ(file.FileName, "r\xc3\xa9sum\xc3\xa9.bin");
    EXPECT_TRUE(file.OwnsFile);
    EXPECT_EQ(ExtractFileName(file.StoredPath).rfind("Ind", 0), 0u);
    EXPECT_EQ(ReadFileBytes(file.StoredPath), binary);
    EXPECT_EQ(TempFileCount(), 1u);
    back.Clear();
    EXPECT_EQ(TempFileCount(), 0u);

    m.MessageParts.emplace_back(TAttachmentPart{"", "gone.bin", dir / "missing", false});
    EXPECT_THROW(m.SaveToText(), TFileError);
}

TEST_F(MailMessageFixture, DecodedLoadTurnsMimeIntoTextAndFiles) {
    const std::string text =
        "From: a@b\r\nSubject: s\r\nContent-Type: multipart/mixed; boundary=\"o\"\r\n\r\n"
        "--o\r\nContent-Type: multipart/alternative; boundary=\"i\"\r\n\r\n"
        "--i\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
        "Gr=FC=DFe, a soft=\r\n break\r\n"
        "--i\r\nContent-Type: text/html\r\n\r\n<b>Hi</b>\r\n--i--\r\n"
        "--o\r\nContent-Type: text/plain\r\nContent-Disposition: attachment; filename=\"notes.txt\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nbm90ZXM=\r\n"
        "--o--\r\n.\r\n";
    {
        TMailMessage m;
        m.LoadMode = TLoadMode::Decoded;
        m.LoadFromText(text);
        EXPECT_TRUE(m.Body.empty());
        ASSERT_EQ(m.MessageParts.size(), 3u);
        EXPECT_EQ(std::get<TTextPart>(m.MessageParts[0]).Body, TLines{"Gr\xc3\xbc\xc3\x9f""e, a soft break"});
        const auto& html = std::get<TAttachmentPart>(m.MessageParts[1]);
        EXPECT_EQ(html.ContentType, "text/html");
        EXPECT_EQ(ReadFileBytes(html.StoredPath), "<b>Hi</b>");
        const auto& notes = std::get<TAttachmentPart>(m.MessageParts[2]);
        EXPECT_EQ(notes.FileName, "notes.txt");
        EXPECT_EQ(ReadFileBytes(notes.StoredPath), "notes");
        EXPECT_EQ(TempFileCount(), 2u);
        TMailMessage reloaded;  // written anew from the parts
        reloaded.LoadMode = TLoadMode::Decoded;
        reloaded.LoadFromText(m.SaveToText());
        EXPECT_EQ(reloaded.MessageParts.size(), 3u);
        EXPECT_EQ(std::get<TTextPart>(reloaded.MessageParts[0]).Body,
                  std::get<TTextPart>(m.MessageParts[0]).Body);
    }
    EXPECT_EQ(TempFileCount(), 0u);  // the destructors deleted them
    {
        // The store folds HTML attachments into the body and drops their parts: the files
        // still go with the message.
        TMailMessage m;
        m.LoadMode = TLoadMode::Decoded;
        m.LoadFromText(text);
        m.MessageParts.clear();
        EXPECT_EQ(TempFileCount(), 2u);
    }
    EXPECT_EQ(TempFileCount(), 0u);

    // A single part: its decoded text is the body, and saving describes the text as it is now.
    TMailMessage single;
    single.LoadMode = TLoadMode::Decoded;
    single.LoadFromText(
        "Subject: b\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "R3L832UKLmRvdAo=\r\n.\r\n");
    EXPECT_EQ(single.Body, (TLines{"Gr\xc3\xbc\xc3\x9f""e", ".dot"}));
    EXPECT_TRUE(single.MessageParts.empty());
    const std::string saved = single.SaveToText();
    EXPECT_EQ(Field(saved, "Content-Transfer-Encoding"), "quoted-printable");
    EXPECT_EQ(Field(saved, "Content-Type"), "text/plain; charset=utf-8");
    TMailMessage again;
    again.LoadMode = TLoadMode::Decoded;
    again.LoadFromText(saved);
    EXPECT_EQ(again.Body, single.Body);
}

TEST(MailMessageFiles, LoadAndSave) {
    TTempDir dir;
    TMailMessage m;
    m.Subject = "stale";
    try {
        m.LoadFromFile(dir / "missing.msg");
        ADD_FAILURE() << "no error";
    } catch (const TFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot load message from file " + (dir / "missing.msg"));
    }
    m.LoadFromText(kSimple);
    vorla::test::WriteFile(dir / "00001.msg", "old and longer than the new content, much longer indeed........");
    m.SaveToFile(dir / "00001.msg");
    EXPECT_EQ(vorla::test::ReadFile(dir / "00001.msg"), kSimple);
    EXPECT_EQ(FindFiles(dir.Path(), "*"), TLines{"00001.msg"});  // no temporary left behind
    TMailMessage back;
    back.LoadFromFile(dir / "00001.msg", true);
    EXPECT_EQ(back.Subject, "Hello");
    EXPECT_TRUE(back.Body.empty());
    EXPECT_THROW(m.SaveToFile(dir / "no-such-folder/x.msg"), TFileError);
}

TEST_F(MailMessageFixture, HostileInputsLoadSanely) {
    std::string deep, wide, manyHeaders, params;
    for (int i = 0; i < 3000; ++i)
        deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" + std::to_string(i) + "\r\n";
    wide = "Content-Type: multipart/mixed; boundary=w\r\n\r\n";
    for (int i = 0; i < 1500; ++i) wide += "--w\r\nContent-Type: application/x-a\r\n\r\nA\r\n";
    for (int i = 0; i < 20000; ++i) manyHeaders += "X-H: v\r\n ";
    for (int i = 0; i < 5000; ++i) params += "; p" + std::to_string(i) + "=\"v";
    struct {
        const char* name;
        std::string text;
    } rows[] = {
        {"NUL bytes", "Subj\0ect: a\0b\r\nFrom: \0<a@b>\r\nSubject: \0\r\n\r\nx\0y\r\n"s},
        {"8-bit garbage", "From: \xff\xfe\x80 <\xc3@\xff>\r\nSubject: \xe4\xf6\xfc =?x?q?\xff?=\r\n\r\n\xff\xfe\r\n"},
        {"huge line", "Subject: " + std::string(1 << 20, 'a') + "\r\n\r\n" + std::string(1 << 20, 'b')},
        {"deep nesting", deep},
        {"many parts", wide},
        {"long folded field", manyHeaders + "\r\n\r\nbody"},
        {"endless parameters", "Content-Type: text/plain" + params + "\r\n\r\nx"},
        {"bad encodings",
         "Content-Type: text/plain; charset=no-such-charset\r\nContent-Transfer-Encoding: base64\r\n\r\n"
         "!!!!====\r\n"},
        {"unterminated multipart", "Content-Type: multipart/mixed; boundary=z\r\n\r\n--z\r\nContent-Type: text/plain"},
        {"boundary missing", "Content-Type: multipart/mixed\r\n\r\n--\r\n--\r\n"},
        {"encoded word soup", "Subject: =?utf-8?b?" + std::string(5000, '=') + "?= =?utf-8?q?=ZZ=?=\r\n\r\n"},
        {"only dots", ".\r\n..\r\n...\r\n"},
        {"empty", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TMailMessage raw;
        raw.LoadFromText(row.text);
        const std::string saved = raw.SaveToText();
        TMailMessage copy;
        copy.LoadFromText(saved);
        EXPECT_EQ(copy.SaveToText(), saved);
        {
            TMailMessage decoded;
            decoded.LoadMode = TLoadMode::Decoded;
            decoded.LoadFromText(row.text);
            EXPECT_LE(decoded.MessageParts.size(), 1000u);
            TMailMessage again;
            again.LoadFromText(decoded.SaveToText());
            EXPECT_EQ(again.Subject, decoded.Subject);
        }
        EXPECT_EQ(TempFileCount(), 0u);
    }
}

TEST_F(MailMessageFixture, LoadsOnSeveralThreadsAtOnce) {
    // Fetch workers, POP3 connections and the UI thread all load messages.
    const std::string text =
        "From: =?iso-8859-1?q?J=F6rg?= <j@x>\r\nSubject: =?utf-8?b?w6R1?=\r\nDate: Wed, 23 Jul 2003 23:30:00 +0200\r\n"
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain; charset=koi8-r\r\n\r\n"
        "\xf0\xd2\xc9\xd7\xc5\xd4\r\n--b\r\nContent-Type: image/gif; name=a.gif\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "R0lGODlh\r\n--b--\r\n.\r\n";
    std::vector<int> good(4, 0);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 50; ++i) {
                    TMailMessage m;
                    m.LoadMode = i % 2 ? TLoadMode::Decoded : TLoadMode::Raw;
                    m.LoadFromText(text);
                    const bool decodedRight = m.LoadMode == TLoadMode::Raw ||
                        (m.MessageParts.size() == 2 &&
                         std::get<TTextPart>(m.MessageParts[0]).Body == TLines{"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"});
                    if (m.Subject == "\xc3\xa4u" && m.From.Name == "J\xc3\xb6rg" && m.Date == UnixToLocal(1058995800) &&
                        decodedRight)
                        ++good[static_cast<std::size_t>(t)];
                }
            });
    }
    EXPECT_EQ(good, (std::vector<int>{50, 50, 50, 50}));
    EXPECT_EQ(TempFileCount(), 0u);
}
