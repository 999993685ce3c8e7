#include <gtest/gtest.h>

#include <elf.h>
#include <sys/stat.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>

#include "app/CoreVersion.h"
#include "app/Version.h"
#include "platform/VersionInfo.h"
#include "support/ProgramRun.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using TValues = std::array<std::string, 10>;

TValues Values(const TVersionReader& r) {
    return {r.CompanyName,  r.FileDescription,  r.FileVersion, r.InternalName,   r.LegalCopyright,
            r.LegalTradeMarks, r.OriginalFilename, r.ProductName, r.ProductVersion, r.Comments};
}

TValues ReadValues(const std::string& path, const std::string& langId = "0C09") {
    TVersionReader reader;
    reader.ExeName = path;
    reader.LangId = langId;
    reader.Read();
    return Values(reader);
}

const TValues kNone{};
// The program's block holds no trade marks and no comments.
const TValues kProgram{"Vorla developers", "Personal mail filter", VORLA_VERSION, "vorla",
                       "Copyright \xC2\xA9 2026 the Vorla developers", "", "vorla", "Vorla", VORLA_VERSION, ""};

TEST(VersionReader, ReadsTheProgramsBlockUnderItsOwnLanguageOnly) {
    TVersionReader fresh;
    EXPECT_EQ(Values(fresh), kNone);
    fresh.ExeName = VORLA_BINARY;
    fresh.Read();  // under the language a new reader asks for, "040C"
    EXPECT_EQ(Values(fresh), kNone);

    struct Row {
        const char* path;
        const char* langId;
        const TValues& expected;
    };
    const Row rows[] = {
        {VORLA_BINARY, "0C09", kProgram},
        {VORLA_BINARY, "0409", kNone},
        {"/proc/self/exe", "0C09", kProgram},  // this test program uses GetAppVersion too
        {"/bin/sh", "0C09", kNone},            // no block at all
        {VORLA_BINARY, "0C09", kProgram},
        {VORLA_BINARY, "", kNone},
    };
    TVersionReader reader;  // one reader for all rows: each read replaces what the last one left
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.path) + " under \"" + row.langId + "\"");
        reader.ExeName = row.path;
        reader.LangId = row.langId;
        reader.Read();
        EXPECT_EQ(Values(reader), row.expected);
    }
}

TEST(VersionReader, ProgramReportsTheVersionOfItsBlock) {
    EXPECT_EQ(GetAppVersion(), VORLA_VERSION);
    EXPECT_EQ(test::RunVorla({"--version"}).out, "Vorla " VORLA_VERSION "\n");
}

// Whatever lies on disk, reading ends with all values empty and nothing read out of bounds.
// Each damaged copy is made only when its row runs: the program file is large.
TEST(VersionReader, DamagedForeignAndMissingFilesReadEmpty) {
    const test::TTempDir dir;
    const std::string program = test::ReadFile(VORLA_BINARY);
    ASSERT_GT(program.size(), sizeof(Elf64_Ehdr));
    ASSERT_EQ(program[EI_CLASS], ELFCLASS64);
    std::mt19937 random(20261208);
    std::string noise(64 * 1024, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    auto cut = [&](std::size_t length) { return [&, length] { return program.substr(0, length); }; };
    auto patched = [&](std::size_t at, auto value) {
        return [&, at, value] {
            std::string copy = program;
            std::memcpy(copy.data() + at, &value, sizeof value);
            return copy;
        };
    };

    struct Row {
        const char* name;
        std::function<std::string()> bytes;
        const TValues& expected;
    };
    const Row rows[] = {
        {"unchanged copy", [&] { return program; }, kProgram},
        {"empty file", [] { return std::string(); }, kNone},
        {"random bytes", [&] { return noise; }, kNone},
        {"ELF identification, then random bytes", [&] { return program.substr(0, EI_NIDENT) + noise; }, kNone},
        {"cut inside the identification", cut(3), kNone},
        {"cut inside the file header", cut(sizeof(Elf64_Ehdr) - 1), kNone},
        {"cut after the file header", cut(sizeof(Elf64_Ehdr)), kNone},
        {"cut in the middle", cut(program.size() / 2), kNone},
        {"cut inside the last section header", cut(program.size() - 1), kNone},
        {"unknown class", patched(EI_CLASS, std::uint8_t{7}), kNone},
        {"unknown byte order", patched(EI_DATA, std::uint8_t{7}), kNone},
        {"section headers past the end", patched(offsetof(Elf64_Ehdr, e_shoff), std::uint64_t{program.size()}), kNone},
        {"section headers at the largest offset", patched(offsetof(Elf64_Ehdr, e_shoff), UINT64_MAX), kNone},
        {"section headers too small", patched(offsetof(Elf64_Ehdr, e_shentsize), std::uint16_t{8}), kNone},
        {"names section out of range", patched(offsetof(Elf64_Ehdr, e_shstrndx), std::uint16_t{0xFEFF}), kNone},
        {"names from the empty first section", patched(offsetof(Elf64_Ehdr, e_shstrndx), std::uint16_t{0}), kNone},
    };
    const std::string path = dir / "copy";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::WriteFile(path, row.bytes());
        EXPECT_EQ(ReadValues(path), row.expected);
    }

    const std::string fifo = dir / "fifo";  // opening it for reading must not wait for a writer
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& other : {dir / "missing", dir.Path(), fifo, std::string()}) {
        SCOPED_TRACE("\"" + other + "\"");
        EXPECT_EQ(ReadValues(other), kNone);
    }
}

}  // namespace
}  // namespace vorla
