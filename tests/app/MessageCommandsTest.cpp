// Drives the real vorla program: vorla message and vorla import.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "mail/MessageStore.h"
#include "support/TempDir.h"

using vorla::test::ReadFile;
using vorla::test::TTempDir;
using vorla::test::WriteFile;
namespace fs = std::filesystem;

namespace {

struct TRun {
    int status = -1;  // exit status; -1 when killed or not started
    std::string out, err;
};

// Runs the program with args, stdin from /dev/null, and collects both outputs. A program that
// has not ended within the deadline is killed (the test then fails on its status).
TRun RunVorla(const std::vector<std::string>& args, std::chrono::seconds deadline = std::chrono::seconds(60)) {
    TRun run;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        ADD_FAILURE() << "pipe failed";
        return run;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        std::vector<char*> argv;
        std::string program = VORLA_BINARY;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        ADD_FAILURE() << "fork failed";
        return run;
    }
    const auto end = std::chrono::steady_clock::now() + deadline;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int openPipes = 2;
    bool killed = false;
    while (openPipes > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --openPipes;
            }
        }
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_FALSE(killed) << "vorla did not finish in time";
    if (!killed && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    return run;
}

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
    ASSERT_EQ(import.status, 0) << import.err;
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
        EXPECT_EQ(shown.status, 0) << shown.err;
        EXPECT_EQ(shown.out, stored) << "vorla message gives the stored bytes";
    }
}

TEST(MessageCommands, ImportDotStuffsAndAppendsAfterExistingMessages) {
    TTempDir home, store;
    const std::string folder = store / "queue";  // without the final "/"
    const TRun first = RunVorla({"--home", home.Path(), "import", folder, Fixture("dot-lines-and-no-final-line-break.eml"),
                                 Fixture("dot-lines-and-no-final-line-break.eml")});
    ASSERT_EQ(first.status, 0) << first.err;
    const TRun second = RunVorla({"import", folder, "--", Fixture("dot-lines-and-no-final-line-break.eml")});
    ASSERT_EQ(second.status, 0) << second.err;
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
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, vorla::MessageDisplayText(ReadFile(file)));
        EXPECT_NE(run.out.find("Plain part, caf\xC3\xA9."), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("<p>Hello from the HTML file</p>"), std::string::npos) << run.out;
    }
    const TRun raw = RunVorla({"message", file});
    ASSERT_EQ(raw.status, 0) << raw.err;
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
        EXPECT_EQ(run.status, row.status);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(row.errorText), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(folder)) << "nothing half-done";
        EXPECT_EQ(ReadFile(plainFile), "x");
    }
}
