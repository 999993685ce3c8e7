// The message model against mail written by others: the enmime test messages and the
// SpamAssassin samples (fetched by scripts/fetch-corpus into CORPUS_DIR).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "mail/MailMessage.h"
#include "platform/DateTime.h"
#include "platform/Files.h"
#include "platform/TempFolder.h"
#include "support/TempDir.h"

using namespace vorla;

namespace {

using TLines = std::vector<std::string>;

std::string CorpusPath(const std::string& name) { return std::string(CORPUS_DIR) + "/" + name; }

// Every corpus message by its path below CORPUS_DIR, in a fixed order.
std::vector<std::string> CorpusMessages() {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code error;
    for (fs::recursive_directory_iterator it(CORPUS_DIR, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const bool sample = name.rfind("sample-", 0) == 0 && it->path().extension() == ".txt";
        if (it->is_regular_file() && (it->path().extension() == ".raw" || sample))
            names.push_back(fs::relative(it->path(), CORPUS_DIR).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The message file form of a mail text, worked out here without the model: lines end at LF
// (one CR before it belongs to the line end), each written with CR LF and a "." more when it
// begins with "."; an empty line is added when the text has no header end; then ".".
std::string ExpectedFileForm(const std::string& eml) {
    std::string out;
    bool headerEnded = false;
    std::size_t start = 0;
    while (start < eml.size()) {
        std::size_t end = eml.find('\n', start);
        const std::size_t next = end == std::string::npos ? eml.size() : end + 1;
        if (end == std::string::npos) end = eml.size();
        else if (end > start && eml[end - 1] == '\r') --end;
        const std::string line = eml.substr(start, end - start);
        if (line.empty()) headerEnded = true;
        if (!line.empty() && line[0] == '.') out += '.';
        out += line + "\r\n";
        start = next;
    }
    if (!headerEnded) out += "\r\n";
    return out + ".\r\n";
}

class MailCorpus : public ::testing::Test {
protected:
    void SetUp() override {
        SetPrivateTempFolder(m_temp.Path());
        m_names = CorpusMessages();
        // Missing corpus is a failure, not a skip: run scripts/fetch-corpus.
        ASSERT_GE(m_names.size(), 75u) << "mail corpus missing or incomplete in " << CORPUS_DIR;
    }
    void TearDown() override { SetPrivateTempFolder(""); }
    std::size_t TempFileCount() const { return FindFiles(m_temp.Path(), "Ind*.tmp").size(); }

    vorla::test::TTempDir m_temp;
    std::vector<std::string> m_names;
};

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

const TTextPart* TextPart(const TMailMessage& m, std::size_t n) {
    for (const TMessagePart& part : m.MessageParts)
        if (const auto* text = std::get_if<TTextPart>(&part); text && n-- == 0) return text;
    return nullptr;
}

const TAttachmentPart* Attachment(const TMailMessage& m, std::size_t n) {
    for (const TMessagePart& part : m.MessageParts)
        if (const auto* file = std::get_if<TAttachmentPart>(&part); file && n-- == 0) return file;
    return nullptr;
}

}  // namespace

TEST_F(MailCorpus, EveryMessageBecomesItsFileFormAndRoundTrips) {
    for (const std::string& name : m_names) {
        SCOPED_TRACE(name);
        const std::string eml = ReadFileBytes(CorpusPath(name));
        TMailMessage imported;
        imported.LoadFromMailText(eml);
        const std::string file = imported.SaveToText();
        EXPECT_EQ(file, ExpectedFileForm(eml));

        TMailMessage stored;
        stored.LoadFromText(file);
        EXPECT_EQ(stored.SaveToText(), file);
        EXPECT_EQ(stored.Headers, imported.Headers);
        EXPECT_EQ(stored.Body, imported.Body);
        EXPECT_EQ(stored.Subject, imported.Subject);
    }
}

TEST_F(MailCorpus, EveryMessageDecodesAndIsWrittenAnew) {
    for (const std::string& name : m_names) {
        SCOPED_TRACE(name);
        const std::string eml = ReadFileBytes(CorpusPath(name));
        TMailMessage raw;
        raw.LoadFromMailText(eml);
        {
            TMailMessage decoded;
            decoded.LoadMode = TLoadMode::Decoded;
            decoded.LoadFromMailText(eml);
            EXPECT_EQ(decoded.Headers, raw.Headers);
            EXPECT_EQ(decoded.Subject, raw.Subject);
            EXPECT_TRUE(decoded.From.Text() == raw.From.Text());
            for (const TMessagePart& part : decoded.MessageParts) {
                if (const auto* file = std::get_if<TAttachmentPart>(&part)) {
                    EXPECT_TRUE(FileExists(file->StoredPath));
                }
            }

            // Written anew from the parts, it decodes to the same text and the same files.
            TMailMessage again;
            again.LoadMode = TLoadMode::Decoded;
            again.LoadFromText(decoded.SaveToText());
            EXPECT_EQ(again.Subject, decoded.Subject);
            EXPECT_EQ(again.Body.empty(), decoded.Body.empty());
            for (std::size_t i = 0; TextPart(decoded, i); ++i) {
                SCOPED_TRACE("text part " + std::to_string(i));
                const TTextPart* rewritten = TextPart(again, decoded.Body.empty() ? i : i + 1);
                ASSERT_NE(rewritten, nullptr);
                EXPECT_EQ(rewritten->Body, TextPart(decoded, i)->Body);
            }
            for (std::size_t i = 0; Attachment(decoded, i); ++i) {
                SCOPED_TRACE("attachment " + std::to_string(i));
                ASSERT_NE(Attachment(again, i), nullptr);
                EXPECT_EQ(ReadFileBytes(Attachment(again, i)->StoredPath),
                          ReadFileBytes(Attachment(decoded, i)->StoredPath));
            }
        }
        EXPECT_EQ(TempFileCount(), 0u);
    }
}

TEST_F(MailCorpus, KnownMessagesShowWhatAMailClientShows) {
    const TMailMessage* current = nullptr;
    auto load = [&](TMailMessage& m, const std::string& name) {
        m.LoadMode = TLoadMode::Decoded;
        m.LoadFromMailText(ReadFileBytes(CorpusPath(name)));
        current = &m;
    };
    auto text = [&](std::size_t n) { return TextPart(*current, n) ? TextPart(*current, n)->Body : TLines{"<none>"}; };

    {
        SCOPED_TRACE("GTUBE sample");
        TMailMessage m;
        load(m, "spamassassin/sample-spam.txt");
        EXPECT_EQ(m.Subject, "Test spam mail (GTUBE)");
        EXPECT_EQ(m.From.Text(), "Sender <sender@example.net>");
        EXPECT_EQ(m.Recipients.Text(), "Recipient <recipient@example.net>");
        EXPECT_EQ(m.Date, UnixToLocal(1058995800));
        ASSERT_GE(m.Body.size(), 2u);
        EXPECT_EQ(m.Body[0], "This is the GTUBE, the");
        EXPECT_EQ(m.Body[1], "\tGeneric");
        EXPECT_NE(std::find(m.Body.begin(), m.Body.end(),
                            "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X"),
                  m.Body.end());
        EXPECT_TRUE(m.MessageParts.empty());
    }
    {
        SCOPED_TRACE("encoded words in three charsets, quoted-printable Latin-1 text");
        TMailMessage m;
        load(m, "enmime/mail/qp-utf8-header.raw");
        EXPECT_EQ(m.Subject, "MIME UTF8 Test \xc2\xa2 More Text");
        EXPECT_EQ(m.From.Text(), "James Hillyerd <jamehi03@jamehi03lx.noa.com>");
        EXPECT_EQ(m.Sender.Text(), "Andr\xc3\xa9 Pirard <PIRARD@vm1.ulg.ac.be>");
        EXPECT_EQ(m.Recipients.Text(), "Miros\xc5\x82""aw Marczak <marczak@inbucket.com>");
        EXPECT_EQ(m.Date, UnixToLocal(1350674569));
        const TLines body = text(0);
        ASSERT_GE(body.size(), 3u);
        EXPECT_EQ(body[0].rfind("Lorem ipsum dolor sit amet, consectetur adipiscing elit. Nullam venenatis ante ", 0), 0u);
        EXPECT_TRUE(EndsWith(body[0], " suscipit mattis libero.")) << body[0];
        EXPECT_EQ(body[1], "");
        EXPECT_EQ(body[2].rfind("Donec iaculis dapibus purus in accumsan.", 0), 0u);
        ASSERT_NE(Attachment(m, 0), nullptr);
        EXPECT_EQ(Attachment(m, 0)->ContentType, "text/html");
        EXPECT_EQ(ReadFileBytes(Attachment(m, 0)->StoredPath).rfind("<html>\n  <head>", 0), 0u);
        EXPECT_EQ(TextPart(m, 1), nullptr);
    }
    {
        SCOPED_TRACE("alternative with related HTML and an inline image");
        TMailMessage m;
        load(m, "enmime/mail/html-mime-inline.raw");
        EXPECT_EQ(m.Subject, "MIME test 1");
        EXPECT_EQ(m.From.Text(), "James Hillyerd <james@makita.skynet>");
        EXPECT_EQ(text(0), TLines{"Test of text section"});
        ASSERT_NE(Attachment(m, 1), nullptr);
        EXPECT_EQ(Attachment(m, 0)->ContentType, "text/html");
        EXPECT_EQ(Attachment(m, 1)->ContentType, "image/png");
        EXPECT_EQ(Attachment(m, 1)->FileName, "favicon.png");
        EXPECT_EQ(ReadFileBytes(Attachment(m, 1)->StoredPath).substr(0, 4), "\x89PNG");
    }
    {
        SCOPED_TRACE("8-bit UTF-8 file name");
        TMailMessage m;
        load(m, "enmime/mail/mime-bad-8bit-filename.raw");
        EXPECT_EQ(m.Subject, "Malformed test");
        EXPECT_EQ(m.From.Text(), "Pavel Bazika <pavel.bazika@some.domain>");
        EXPECT_EQ(text(0), TLines{"Text part"});
        ASSERT_NE(Attachment(m, 0), nullptr);
        EXPECT_EQ(Attachment(m, 0)->FileName, "\xe7\xae\xa1\xe7\x90\x86.doc");
        EXPECT_EQ(ReadFileBytes(Attachment(m, 0)->StoredPath), "<html>\n");
    }
    {
        SCOPED_TRACE("plain messages");
        TMailMessage m;
        load(m, "enmime/mail/qp-ascii-header.raw");
        EXPECT_EQ(m.Subject, "Test QP Subject!");
        EXPECT_EQ(m.Body, (TLines{"This is a test mailing", ""}));
        load(m, "enmime/mail/quoted-printable.raw");
        ASSERT_EQ(m.Body.size(), 1u);
        EXPECT_EQ(m.Body[0].rfind("Lorem ipsum dolor sit amet, consectetur adipiscing elit. Phasellus sit amet arcu", 0),
                  0u);
        EXPECT_TRUE(EndsWith(m.Body[0], " egestas eu vel dolor. ")) << m.Body[0];
    }
}
