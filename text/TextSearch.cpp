#include "text/TextSearch.h"

#include <array>
#include <cstddef>

#include "platform/Errors.h"
#include "platform/Strings.h"

// The vector skip loop of FindNoCase (x86-64 only); defining VORLA_VECTOR_SKIP=0 or
// VORLA_VECTOR_AVX2=0 at build time leaves the plain scan, or the 16-byte loop, to be tested.
#ifndef VORLA_VECTOR_SKIP
#if defined(__x86_64__) && defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
#define VORLA_VECTOR_SKIP 1
#else
#define VORLA_VECTOR_SKIP 0
#endif
#endif
#ifndef VORLA_VECTOR_AVX2
#define VORLA_VECTOR_AVX2 1
#endif
#if VORLA_VECTOR_SKIP
#include <immintrin.h>
#endif

namespace vorla {

namespace {

constexpr std::array<unsigned char, 256> MakeFoldTable() {
    std::array<unsigned char, 256> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto c = static_cast<unsigned char>(i);
        table[i] = (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
    }
    return table;
}

constexpr std::array<unsigned char, 256> kFoldTable = MakeFoldTable();

inline const unsigned char* Bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

inline bool IsUpperLetter(unsigned char c) {
    return c >= 'A' && c <= 'Z';
}

#if VORLA_VECTOR_SKIP
// The skip loop done 32 or 16 alignments at a time, as memchr looks for a byte. An alignment
// can only match where the text bytes under the pattern's first and last byte fold like them;
// the loop passes over every alignment where either does not, none of which the scan could
// report, and stops at the next one where both do. The result is the scan's result: the
// leftmost match at or after the start. Folding needs no table here because only letters fold:
// a text byte x folds like a pattern letter c exactly when (x | 0x20) == (c | 0x20), and like
// any other byte c exactly when x == c.
struct TVectorProbe {
    TVectorProbe(unsigned char first, unsigned char lastByte)
        : firstBit(CaseBit(first)),
          firstValue(static_cast<unsigned char>(first | firstBit)),
          lastBit(CaseBit(lastByte)),
          lastValue(static_cast<unsigned char>(lastByte | lastBit)) {}

    static unsigned char CaseBit(unsigned char c) {
        return IsUpperLetter(kFoldTable[c]) ? 0x20 : 0;
    }

    unsigned char firstBit, firstValue, lastBit, lastValue;
};

__attribute__((target("avx2"))) bool VectorSkipAvx2(const TVectorProbe& probe, const unsigned char* t,
                                                    std::size_t n, std::size_t last, std::size_t& p) {
    const __m256i firstBit = _mm256_set1_epi8(static_cast<char>(probe.firstBit));
    const __m256i firstValue = _mm256_set1_epi8(static_cast<char>(probe.firstValue));
    const __m256i lastBit = _mm256_set1_epi8(static_cast<char>(probe.lastBit));
    const __m256i lastValue = _mm256_set1_epi8(static_cast<char>(probe.lastValue));
    while (n - p >= 32) {
        const __m256i lastBytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + p));
        const __m256i firstBytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + p - last));
        const __m256i hit = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_or_si256(lastBytes, lastBit), lastValue),
                                             _mm256_cmpeq_epi8(_mm256_or_si256(firstBytes, firstBit), firstValue));
        const auto mask = static_cast<unsigned>(_mm256_movemask_epi8(hit));
        if (mask != 0) {
            p += static_cast<std::size_t>(__builtin_ctz(mask));
            return true;
        }
        p += 32;
    }
    return false;
}

bool VectorSkipSse2(const TVectorProbe& probe, const unsigned char* t, std::size_t n, std::size_t last,
                    std::size_t& p) {
    const __m128i firstBit = _mm_set1_epi8(static_cast<char>(probe.firstBit));
    const __m128i firstValue = _mm_set1_epi8(static_cast<char>(probe.firstValue));
    const __m128i lastBit = _mm_set1_epi8(static_cast<char>(probe.lastBit));
    const __m128i lastValue = _mm_set1_epi8(static_cast<char>(probe.lastValue));
    while (n - p >= 16) {
        const __m128i lastBytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + p));
        const __m128i firstBytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + p - last));
        const __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(lastBytes, lastBit), lastValue),
                                          _mm_cmpeq_epi8(_mm_or_si128(firstBytes, firstBit), firstValue));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask != 0) {
            p += static_cast<std::size_t>(__builtin_ctz(mask));
            return true;
        }
        p += 16;
    }
    return false;
}

// Whether the processor (and the system, which must save its registers) has AVX2. Detection
// is started here because this may run before the library's own start-up code.
const bool kHaveAvx2 = [] {
    __builtin_cpu_init();
    return VORLA_VECTOR_AVX2 && __builtin_cpu_supports("avx2");
}();

// Moves p (p < n) over alignments that cannot match. True: p is an alignment whose first and
// last bytes match. False: fewer bytes are left than one vector holds; the caller goes on.
inline bool VectorSkip(const TVectorProbe& probe, const unsigned char* t, std::size_t n, std::size_t last,
                       std::size_t& p) {
    if (p >= n) {
        return false;
    }
    if (kHaveAvx2 && VectorSkipAvx2(probe, t, n, last, p)) {
        return true;
    }
    return VectorSkipSse2(probe, t, n, last, p);
}
#endif

}  // namespace

unsigned char FoldByte(unsigned char c) {
    return kFoldTable[c];
}

std::size_t FindNoCase(std::string_view pattern, std::string_view text, std::size_t start) {
    const std::size_t m = pattern.size();
    if (m == 0) {
        throw TVorlaError("BufferLen is 0");
    }
    if (start < 1) {
        start = 1;  // position 0 would align the pattern before the text's first byte
    }
    const std::size_t n = text.size();
    const std::size_t from = start - 1;  // 0-based index of the first alignment's first byte
    if (from > n || n - from < m) {
        return 0;
    }

    const unsigned char* const pat = Bytes(pattern);
    const unsigned char* const t = Bytes(text);
    const std::size_t last = m - 1;
    const unsigned char lastFolded = kFoldTable[pat[last]];

    // The skip table of the scan, indexed by the raw text byte rather than its folded value:
    // both bytes of a letter pair get the entry of their folded form, so the hot loop needs no
    // fold look-up. Bytes that fold like the pattern's last byte get 0, which stops the skip
    // loop at every alignment where the last byte matches; their true entry is lastShift.
    std::size_t skip[256];
    for (std::size_t& entry : skip) {
        entry = m;
    }
    for (std::size_t k = 0; k < last; ++k) {
        const unsigned char folded = kFoldTable[pat[k]];
        skip[folded] = last - k;
        if (IsUpperLetter(folded)) {
            skip[folded + ('a' - 'A')] = last - k;
        }
    }
    const std::size_t lastShift = skip[lastFolded];
    skip[lastFolded] = 0;
    if (IsUpperLetter(lastFolded)) {
        skip[lastFolded + ('a' - 'A')] = 0;
    }

#if VORLA_VECTOR_SKIP
    const TVectorProbe probe(pat[0], pat[last]);
#endif
    // p: index of the text byte under the pattern's last byte.
    std::size_t p = from + last;
    // Each step moves p by at most m, and a 0 entry keeps it where it is (so later steps of an
    // unrolled round stay on that alignment); four unchecked steps and the test that follows
    // stay inside the text while p + 4m < n.
    const std::size_t unrolledEnd = (n > 4 * m) ? n - 4 * m : 0;
    for (;;) {
        bool candidate = false;
#if VORLA_VECTOR_SKIP
        candidate = VectorSkip(probe, t, n, last, p);
#endif
        if (!candidate) {
            while (p < unrolledEnd) {
                p += skip[t[p]];
                p += skip[t[p]];
                p += skip[t[p]];
                p += skip[t[p]];
                if (skip[t[p]] == 0) {
                    break;
                }
            }
            std::size_t s;
            while (p < n && (s = skip[t[p]]) != 0) {
                p += s;
            }
            if (p >= n) {
                return 0;
            }
        }
        // The last byte matches; compare the rest from the end backwards.
        const unsigned char* const window = t + (p - last);
        std::size_t j = last;
        while (j > 0 && kFoldTable[window[j - 1]] == kFoldTable[pat[j - 1]]) {
            --j;
        }
        if (j == 0) {
            return p - last + 1;
        }
        p += lastShift;
    }
}

std::string ReplaceAllNoCase(std::string_view text, std::string_view pattern, std::string_view replacement) {
    if (text.empty()) {
        return std::string();
    }
    std::string result;
    result.reserve(text.size());
    std::size_t from = 1;
    for (;;) {
        const std::size_t found = FindNoCase(pattern, text, from);
        if (found == 0) {
            break;
        }
        result.append(text.substr(from - 1, found - from));
        result.append(replacement);
        from = found + pattern.size();
    }
    if (from - 1 < text.size()) {
        result.append(text.substr(from - 1));
    }
    return result;
}

std::size_t CharPosNoCase(std::string_view text, char c, std::size_t start) {
    if (start < 1) {
        start = 1;
    }
    if (text.empty() || start > text.size()) {
        return 0;
    }
    const unsigned char wanted = kFoldTable[static_cast<unsigned char>(c)];
    const unsigned char* const t = Bytes(text);
    for (std::size_t i = start - 1; i < text.size(); ++i) {
        if (kFoldTable[t[i]] == wanted) {
            return i + 1;
        }
    }
    return 0;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (prefix.empty()) {
        throw TVorlaError("BufferLen is 0");
    }
    return StartsWithAscii(text, prefix);
}

std::size_t NextLine(std::string_view text, std::size_t begin, TLineBreak breaks, std::string_view& line) {
    // Messages are split whole on every load. find (memchr) for one byte; for two a plain
    // loop, as find_first_of looks each byte up in the set with a call of its own.
    std::size_t at = std::string_view::npos;
    if (breaks == TLineBreak::Any) {
        for (std::size_t i = begin; i < text.size(); ++i) {
            if (text[i] == '\r' || text[i] == '\n') {
                at = i;
                break;
            }
        }
    } else {
        at = text.find('\n', begin);
    }
    if (at == std::string_view::npos) {
        line = text.substr(begin);
        if (breaks == TLineBreak::LfAndFinalCr && line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        return text.size();
    }
    std::size_t end = at;
    std::size_t next = at + 1;
    if (text[at] == '\r' && next < text.size() && text[next] == '\n') {
        ++next;
    } else if (breaks != TLineBreak::Any && end > begin && text[end - 1] == '\r') {
        --end;
    }
    line = text.substr(begin, end - begin);
    return next;
}

std::vector<std::string> SplitLines(std::string_view text, TLineBreak breaks) {
    std::vector<std::string> lines;
    ForEachLine(text, breaks, [&](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines, std::string_view separator) {
    std::string result;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            result.append(separator);
        }
        result.append(lines[i]);
    }
    return result;
}

}  // namespace vorla
