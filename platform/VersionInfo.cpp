#include "platform/VersionInfo.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace vorla {

namespace {

// Bounds far above what a program holds, so that a damaged header cannot make us read or
// allocate much. Files numbering more sections than kMaxSections are taken to have no block.
constexpr std::uint64_t kMaxSections = 1u << 16;
constexpr std::uint64_t kMaxNamesSize = 1u << 20;
constexpr std::uint64_t kMaxBlockSize = 1u << 16;

// A program file open for reading at offsets checked against its size.
class TProgramFile {
public:
    explicit TProgramFile(const std::string& path) {
        // Non-blocking: opening a FIFO must not wait for a writer (it is no regular file and
        // is refused just below).
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st {};
        if (m_fd >= 0 && ::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
            m_size = static_cast<std::uint64_t>(st.st_size);
        }
    }
    ~TProgramFile() {
        if (m_fd >= 0) ::close(m_fd);
    }
    TProgramFile(const TProgramFile&) = delete;
    TProgramFile& operator=(const TProgramFile&) = delete;

    // Reads size bytes at offset into out; false unless they all lie within the file and were
    // read.
    bool ReadAt(std::uint64_t offset, void* out, std::uint64_t size) const {
        if (offset > m_size || size > m_size - offset) return false;
        char* to = static_cast<char*>(out);
        while (size > 0) {
            const ssize_t n = ::pread(m_fd, to, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;  // the file shrank under us, or a read error
            to += n;
            offset += static_cast<std::uint64_t>(n);
            size -= static_cast<std::uint64_t>(n);
        }
        return true;
    }

    std::optional<std::string> ReadString(std::uint64_t offset, std::uint64_t size) const {
        if (offset > m_size || size > m_size - offset) return std::nullopt;
        std::string text(size, '\0');
        if (!ReadAt(offset, text.data(), size)) return std::nullopt;
        return text;
    }

private:
    int m_fd = -1;
    std::uint64_t m_size = 0;  // stays 0 for anything but a non-empty regular file
};

// A header field as stored in the file, in the host's byte order.
template <typename T>
T Host(T value, bool swap) {
    if (!swap) return value;
    if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(value));
    else if constexpr (sizeof(T) == 4) return static_cast<T>(__builtin_bswap32(value));
    else return static_cast<T>(__builtin_bswap64(value));
}

struct TSection {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint32_t name = 0;
    std::uint32_t link = 0;
    bool hasBytes = false;  // a bss-like section takes no room in the file
};

// The contents of the section named wanted, from a file whose identification bytes say it is
// ELF of class Ehdr/Shdr; nothing when any part of the way there is missing or out of bounds.
template <typename Ehdr, typename Shdr>
std::optional<std::string> FindSection(const TProgramFile& file, bool swap, std::string_view wanted) {
    Ehdr eh;
    if (!file.ReadAt(0, &eh, sizeof eh)) return std::nullopt;
    const std::uint64_t tableOffset = Host(eh.e_shoff, swap);
    const std::uint64_t entrySize = Host(eh.e_shentsize, swap);
    if (tableOffset == 0 || entrySize < sizeof(Shdr)) return std::nullopt;

    auto section = [&](std::uint64_t index) -> std::optional<TSection> {
        const std::uint64_t at = index * entrySize;  // index < 2^32, entrySize < 2^16: no overflow
        if (at > UINT64_MAX - tableOffset) return std::nullopt;
        Shdr sh;
        if (!file.ReadAt(tableOffset + at, &sh, sizeof sh)) return std::nullopt;
        TSection s;
        s.offset = Host(sh.sh_offset, swap);
        s.size = Host(sh.sh_size, swap);
        s.name = Host(sh.sh_name, swap);
        s.link = Host(sh.sh_link, swap);
        s.hasBytes = Host(sh.sh_type, swap) != SHT_NOBITS;
        return s;
    };

    // A file with too many sections for the header's fields keeps the count and the index of
    // the names section in the first section header instead.
    std::uint64_t count = Host(eh.e_shnum, swap);
    std::uint64_t namesIndex = Host(eh.e_shstrndx, swap);
    if (count == 0 || namesIndex == SHN_XINDEX) {
        const std::optional<TSection> first = section(0);
        if (!first) return std::nullopt;
        if (count == 0) count = first->size;
        if (namesIndex == SHN_XINDEX) namesIndex = first->link;
    }
    if (count > kMaxSections || namesIndex >= count) return std::nullopt;

    const std::optional<TSection> namesSection = section(namesIndex);
    if (!namesSection || !namesSection->hasBytes || namesSection->size > kMaxNamesSize) return std::nullopt;
    const std::optional<std::string> names = file.ReadString(namesSection->offset, namesSection->size);
    if (!names) return std::nullopt;

    for (std::uint64_t i = 0; i < count; ++i) {
        const std::optional<TSection> s = section(i);
        if (!s) return std::nullopt;
        if (s->name >= names->size()) continue;
        const std::size_t nameEnd = names->find('\0', s->name);
        if (nameEnd == std::string::npos) continue;  // a name running off the table names nothing
        if (std::string_view(*names).substr(s->name, nameEnd - s->name) != wanted) continue;
        if (!s->hasBytes || s->size > kMaxBlockSize) return std::nullopt;
        return file.ReadString(s->offset, s->size);
    }
    return std::nullopt;
}

std::optional<std::string> ReadVersionBlock(const std::string& path) {
    const TProgramFile file(path);
    unsigned char ident[EI_NIDENT];
    if (!file.ReadAt(0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) return std::nullopt;
    bool swap = false;
    switch (ident[EI_DATA]) {
        case ELFDATA2LSB: swap = std::endian::native != std::endian::little; break;
        case ELFDATA2MSB: swap = std::endian::native != std::endian::big; break;
        default: return std::nullopt;
    }
    switch (ident[EI_CLASS]) {
        case ELFCLASS64: return FindSection<Elf64_Ehdr, Elf64_Shdr>(file, swap, VORLA_VERSION_SECTION);
        case ELFCLASS32: return FindSection<Elf32_Ehdr, Elf32_Shdr>(file, swap, VORLA_VERSION_SECTION);
        default: return std::nullopt;
    }
}

// The text stored under path in a block of path/value pairs; empty when there is none.
std::string LookUp(std::string_view block, std::string_view path) {
    std::size_t at = 0;
    while (at < block.size()) {
        const std::size_t pathEnd = block.find('\0', at);
        if (pathEnd == std::string_view::npos || pathEnd == at) break;  // cut off, or the end mark
        std::size_t valueEnd = block.find('\0', pathEnd + 1);
        if (valueEnd == std::string_view::npos) valueEnd = block.size();  // the last value may lack its NUL
        if (block.substr(at, pathEnd - at) == path) {
            return std::string(block.substr(pathEnd + 1, valueEnd - pathEnd - 1));
        }
        at = valueEnd + 1;
    }
    return {};
}

}  // namespace

void TVersionReader::Read() {
    struct TValue {
        const char* name;
        std::string TVersionReader::*field;
    };
    static constexpr TValue kValues[] = {
        {"CompanyName", &TVersionReader::CompanyName},
        {"FileDescription", &TVersionReader::FileDescription},
        {"FileVersion", &TVersionReader::FileVersion},
        {"InternalName", &TVersionReader::InternalName},
        {"LegalCopyright", &TVersionReader::LegalCopyright},
        {"LegalTradeMarks", &TVersionReader::LegalTradeMarks},
        {"OriginalFilename", &TVersionReader::OriginalFilename},
        {"ProductName", &TVersionReader::ProductName},
        {"ProductVersion", &TVersionReader::ProductVersion},
        {"Comments", &TVersionReader::Comments},
    };
    for (const TValue& value : kValues) (this->*value.field).clear();
    const std::optional<std::string> block = ReadVersionBlock(ExeName);
    if (!block) return;
    const std::string table = "StringFileInfo\\" + LangId + "04E4\\";
    for (const TValue& value : kValues) this->*value.field = LookUp(*block, table + value.name);
}

}  // namespace vorla
