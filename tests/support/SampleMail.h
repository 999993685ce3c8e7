#pragma once
#include <cstdint>
#include <string>

// Made-up but mail-like messages for tests and benchmarks that need many of them: folded
// Received lines with bracketed addresses, encoded-word headers, plain and HTML bodies,
// attachments. Everything follows from the seed, so a run can be repeated exactly.
namespace vorla::test {

// A small deterministic generator (64-bit linear congruential), good enough to vary mail.
class TSampleRandom {
public:
    explicit TSampleRandom(std::uint64_t seed) : m_state(seed * 6364136223846793005ull + 1442695040888963407ull) {}
    std::uint32_t Next();
    // 0 .. bound-1 (bound > 0).
    std::uint32_t Below(std::uint32_t bound) { return Next() % bound; }
    bool Chance(std::uint32_t percent) { return Below(100) < percent; }

private:
    std::uint64_t m_state;
};

// The word numbered n of a vocabulary of kSampleWords made-up words ("kelora", "mabitu").
inline constexpr std::uint32_t kSampleWords = 4000;
std::string SampleWord(std::uint32_t n);

// A message in the message file form (CR LF lines, dot-stuffed, ending in the line "."), of
// roughly targetBytes bytes.
std::string SampleMessage(std::uint64_t seed, std::size_t targetBytes = 5000);

// The header block of a message text (up to and including its empty line), or the whole
// text when it has none.
std::string SampleHeaderOf(const std::string& message);

}  // namespace vorla::test
