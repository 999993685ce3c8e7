#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Many patterns looked for in one pass over a text, letter case ignored the way FoldByte
// folds (a-z / A-Z only): an Aho-Corasick automaton with its transitions in one dense table
// over the byte classes that occur in the patterns.
namespace vorla {

class TMultiSearch {
public:
    // The patterns, numbered by their position; empty patterns are never reported. Building
    // takes time and memory linear in the patterns' total length times the number of distinct
    // folded bytes they use.
    explicit TMultiSearch(const std::vector<std::string>& patterns = {});

    std::size_t PatternCount() const { return m_lengths.size(); }
    std::size_t PatternLength(std::uint32_t pattern) const { return m_lengths[pattern]; }
    bool Empty() const { return m_lengths.empty(); }

    // Calls found(pattern, end) for every occurrence of every pattern in text, overlapping ones
    // included, where end is the position just after the occurrence.
    template <typename Found>
    void Scan(std::string_view text, Found&& found) const {
        if (m_classes == 0) return;
        // The state is kept as its row's offset in the table: one load per byte.
        std::uint32_t row = 0;
        const std::uint32_t* delta = m_delta.data();
        const std::uint8_t* byteClass = m_class;
        const std::uint32_t classes = m_classes;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const std::uint32_t next = delta[row + byteClass[static_cast<unsigned char>(text[i])]];
            row = next & kStateMask;
            if (next & kHasOutput)
                for (std::uint32_t node = row / classes; node != kNone; node = m_outLink[node])
                    for (std::uint32_t k = m_outBegin[node]; k < m_outBegin[node + 1]; ++k) found(m_outputs[k], i + 1);
        }
    }

private:
    static constexpr std::uint32_t kHasOutput = 0x80000000u;
    static constexpr std::uint32_t kStateMask = 0x7fffffffu;
    static constexpr std::uint32_t kNone = 0xffffffffu;

    std::uint32_t m_classes = 0;           // byte classes; 0: no pattern at all
    std::uint8_t m_class[256] = {};        // folded byte -> class; 0 for bytes no pattern holds
    std::vector<std::uint32_t> m_delta;    // state * classes + class -> next state * classes | kHasOutput
    std::vector<std::uint32_t> m_outBegin; // state -> its own patterns in m_outputs (one extra end entry)
    std::vector<std::uint32_t> m_outputs;
    std::vector<std::uint32_t> m_outLink;  // state -> nearest shorter suffix state with patterns, or kNone
    std::vector<std::uint32_t> m_lengths;
};

}  // namespace vorla
