// Drives the real vorla program: vorla message and vorla import.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "mail/MessageStore.h"
#include "support/ProgramRun.h"
#include "support/TempDir.h"

using vorla::test::ReadFile;
using vorla::test::RunVorla;
using vorla::test::TTempDir;
using vorla::test::WriteFile;
namespace fs = std::filesystem;

namespace {

using TRun = vorla::test::TProgramResult;

// The message file a plain mail file must become, worked out here on its own: lines split
// at LF (a CR before it belongs to the line end) with a last unterminated line counted; the
// header block up to the first empty line, unchanged; then the empty line, the body lines
// with one more "." in front of those beginning with "."; then "." alone; every line ending
// CR LF.
std::string ExpectedMessageFile(const std::string& mail) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < mail.size()) {
        std::size_t lf = mail.find('\n', start);
        std::size_t next = lf == std::string::npos ? mail.size() : lf + 1;
        std::size_t stop = lf == std::string::npos ? mail.size() : lf;
        if (stop > start && mail[stop - 1] == '\r') --stop;
        lines.push_back(mail.substr(start, stop - start));
        start = next;
    }
    std::string file;
    bool inHeader = true;
    for (const std::string& line : lines) {
        if (inHeader) {
            file += line + "\r\n";
            if (line.empty()) inHeader = false;
            continue;
        }
        file += (line.starts_with(".") ? "." : "") + line + "\r\n";
    }
    if (inHeader) file += "\r\n";
    return file + ".\r\n";
}

std::vector<std::string> CorpusMessages() {
    const fs::path corpus = CORPUS_DIR;
    std::vector<std::string> files;
    if (fs::is_directory(corpus / "enmime")) {
        for (const auto& entry : fs::recursive_directory_iterator(corpus / "enmime")) {
            if (entry.is_regular_file() && entry.path().extension() == ".raw") files.push_back(entry.path().string());
        }
    }
    if (fs::is_directory(corpus / "spamassassin")) {
        for (const auto& entry : fs::directory_iterator(corpus / "spamassassin")) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with("sample-") && name.ends_with(".txt")) files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string Numbered(int position) {
    std::string digits = std::to_string(position);
    return std::string(digits.size() < 5 ? 5 - digits.size() : 0, '0') + digits + ".msg";
}

std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (!fs::exists(folder)) return names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Fixture(const std::string& name) { return std::string(TEST_DATA_DIR) + "/" + name; }

}  // namespace

TEST(MessageCommands, ImportStoresEveryCorpusMessageAsItsMessageFile) {
    const std::vector<std::string> corpus = CorpusMessages();
    // The corpus is part of the test suite: a missing one is a failure, not a reason to skip.
    ASSERT_GE(corpus.size(), 60u) << "corpus missing in " << CORPUS_DIR << "; run scripts/fetch-corpus";
    ASSERT_TRUE(std::any_of(corpus.begin(), corpus.end(), [](const std::string& f) { return f.ends_with("sample-spam.txt"); }));

    TTempDir home, store;
    const std::string folder = store / "vorla/";
    std::vector<std::string> args = {"--home", home.Path(), "import", folder};
    args.insert(args.end(), corpus.begin(), corpus.end());
    const TRun import = RunVorla(args);
    ASSERT_EQ(import.exitCode, 0) << import.err;
    EXPECT_EQ(import.err, "");

    std::string names;
    std::vector<std::string> expectedFiles;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        names += folder + Numbered(static_cast<int>(i) + 1) + "\n";
        expectedFiles.push_back(Numbered(static_cast<int>(i) + 1));
    }
    EXPECT_EQ(import.out, names);
    EXPECT_EQ(FilesIn(folder), expectedFiles) << "nothing but the message files";

    for (std::size_t i = 0; i < corpus.size(); ++i) {
        SCOPED_TRACE(corpus[i]);
        const std::string file = folder + Numbered(static_cast<int>(i) + 1);
        const std::string stored = ReadFile(file);
        EXPECT_EQ(stored, ExpectedMessageFile(ReadFile(corpus[i])));
        const TRun shown = RunVorla({"--home", home.Path(), "message", file});
        EXPECT_EQ(shown.exitCode, 0) << shown.err;
        EXPECT_EQ(shown.out, stored) << "vorla message gives the stored bytes";
    }
}

TEST(MessageCommands, ImportDotStuffsAndAppendsAfterExistingMessages) {
    TTempDir home, store;
    const std::string folder = store / "queue";  // without the final "/"
    const TRun first = RunVorla({"--home", home.Path(), "import", folder, Fixture("dot-lines-and-no-final-line-break.eml"),
                                 Fixture("dot-lines-and-no-final-line-break.eml")});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const TRun second = RunVorla({"import", folder, "--", Fixture("dot-lines-and-no-final-line-break.eml")});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(second.out, folder + "/00003.msg\n");
    EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{"00001.msg", "00002.msg", "00003.msg"}));
    const std::string expected =
        "From: Dotty <dotty@example.org>\r\nTo: user@example.net\r\nSubject: Dots\r\n"
        "Date: Thu, 04 Jan 2024 09:00:00 +0000\r\n\r\n"
        "..\r\n...two dots\r\n..leading dot\r\na line\r\n\r\nlast line without a break\r\n.\r\n";
    EXPECT_EQ(ReadFile(folder + "/00003.msg"), expected);
    EXPECT_EQ(ExpectedMessageFile(ReadFile(Fixture("dot-lines-and-no-final-line-break.eml"))), expected);
}

TEST(MessageCommands, DisplayShowsTheDecodedText) {
    TTempDir home;
    const std::string file = Fixture("multipart-text-and-html-attachment.msg");
    for (const auto& args : {std::vector<std::string>{"message", "--display", file},
                             std::vector<std::string>{"--home", home.Path(), "message", file, "--display"}}) {
        SCOPED_TRACE(args.back());
        const TRun run = RunVorla(args);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, vorla::MessageDisplayText(ReadFile(file)));
        EXPECT_NE(run.out.find("Plain part, caf\xC3\xA9."), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("<p>Hello from the HTML file</p>"), std::string::npos) << run.out;
    }
    const TRun raw = RunVorla({"message", file});
    ASSERT_EQ(raw.exitCode, 0) << raw.err;
    EXPECT_EQ(raw.out, ReadFile(file));
}

TEST(MessageCommands, BadUsageAndUnreadableFilesFailWithoutSideEffects) {
    TTempDir home, store;
    const std::string good = Fixture("dot-lines-and-no-final-line-break.eml");
    const std::string missing = store / "no-such.eml";
    const std::string folder = store / "vorla/";
    const std::string plainFile = store / "plain-file";
    WriteFile(plainFile, "x");
    struct {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string errorText;
    } rows[] = {
        {"message without file", {"message"}, 2, "vorla message: "},
        {"message with two files", {"message", good, good}, 2, "vorla message: "},
        {"message with unknown option", {"message", "--raw", good}, 2, "unknown option '--raw'"},
        {"message of a missing file", {"message", missing}, 1, missing},
        {"message of a folder", {"message", store.Path()}, 1, "vorla message: "},
        {"import without arguments", {"import"}, 2, "vorla import: "},
        {"import without mail files", {"import", folder}, 2, "vorla import: "},
        {"import with unknown option", {"import", folder, "--display", good}, 2, "unknown option '--display'"},
        {"import with a missing mail file", {"import", folder, good, missing}, 1, missing},
        {"import of a folder as mail file", {"import", folder, good, store.Path()}, 1, "vorla import: "},
        {"import into a file", {"import", plainFile, good}, 1, plainFile},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> args = {"--home", home.Path()};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const TRun run = RunVorla(args);
        EXPECT_EQ(run.exitCode, row.status);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(row.errorText), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(folder)) << "nothing half-done";
        EXPECT_EQ(ReadFile(plainFile), "x");
    }
}
