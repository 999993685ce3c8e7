// Throughput of FindNoCase on 64 KB mail-like texts, next to the standard library's
// Boyer-Moore-Horspool searcher with a case-folding hash and predicate, and plain memmem.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/Strings.h"
#include "text/TextSearch.h"

namespace {

constexpr std::size_t kTextSize = 64 * 1024;
constexpr std::size_t kFromEnd = 300;  // where a present pattern is put, counted from the end

// Patterns by length; none of them can come out of the text generator below.
std::string PatternOfLength(std::size_t length) {
    switch (length) {
        case 4: return "wire";
        case 8: return "lottery ";
        case 16: return "claim your prize";
        case 32: return "click here to unsubscribe today";
        default: std::fprintf(stderr, "no pattern of length %zu\n", length); std::abort();
    }
}

// Headers and a plain-text body of ordinary English words, CR LF line ends, ~70 columns.
std::string MailLikeText() {
    static const std::vector<std::string> kWords = {
        "the", "of", "and", "to", "a", "in", "is", "that", "for", "it", "as", "was", "with", "be",
        "by", "on", "not", "he", "this", "are", "or", "his", "from", "at", "which", "but", "have",
        "an", "had", "they", "you", "were", "their", "one", "all", "we", "can", "her", "has",
        "there", "been", "if", "more", "when", "will", "would", "who", "so", "no", "meeting",
        "report", "attached", "please", "regards", "thanks", "project", "message", "account",
        "server", "question", "tomorrow", "office", "schedule", "update", "version", "review",
        "customer", "order", "delivery", "payment", "invoice", "team", "next", "week", "about",
        "should", "could", "also", "time", "people", "year", "good", "some", "them", "see",
        "other", "than", "then", "now", "look", "only", "come", "its", "over", "think", "back",
        "after", "use", "two", "how", "our", "work", "first", "well", "way", "even", "new",
        "want", "because", "any", "these", "give", "day", "most", "us", "data", "system",
    };
    std::mt19937 random(4242u);
    std::string text =
        "Return-Path: <newsletter@lists.example.org>\r\n"
        "Received: from mail.example.org (mail.example.org [192.0.2.17])\r\n"
        "\tby mx.example.net (Postfix) with ESMTPS id 4F2A1B3C\r\n"
        "\tfor <someone@example.net>; Tue, 11 Jun 2024 09:14:02 +0200 (CEST)\r\n"
        "Received: from [10.1.2.3] (helo=office.example.org)\r\n"
        "\tby mail.example.org with esmtpa (Exim 4.96)\r\n"
        "Message-ID: <20240611071402.12345@mail.example.org>\r\n"
        "Date: Tue, 11 Jun 2024 09:14:01 +0200\r\n"
        "From: Project Office <office@example.org>\r\n"
        "To: Someone <someone@example.net>\r\n"
        "Subject: Re: the schedule for next week\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: 8bit\r\n"
        "\r\n";
    std::size_t column = 0;
    bool sentenceStart = true;
    while (text.size() < kTextSize) {
        std::string word = kWords[random() % kWords.size()];
        if (sentenceStart) {
            word[0] = static_cast<char>(word[0] - 'a' + 'A');
            sentenceStart = false;
        }
        if (random() % 9 == 0) {
            word += random() % 3 == 0 ? "." : ",";
            sentenceStart = word.back() == '.';
        }
        if (column + word.size() + 1 > 70) {
            text += "\r\n";
            column = 0;
            if (random() % 8 == 0) {
                text += "\r\n";
            }
        } else if (column > 0) {
            text += ' ';
            ++column;
        }
        text += word;
        column += word.size();
    }
    text.resize(kTextSize);
    return text;
}

struct TSetup {
    std::string text;
    std::string pattern;       // what the case-insensitive searches look for
    std::string exactPattern;  // the bytes as they stand in the text, for memmem
    std::size_t expected;      // 1-based position of the pattern; 0 when absent
};

TSetup Prepare(std::size_t length, bool present) {
    TSetup setup{MailLikeText(), PatternOfLength(length), {}, 0};
    if (vorla::FindNoCase(setup.pattern, setup.text) != 0) {
        std::fprintf(stderr, "pattern \"%s\" occurs in the generated text\n", setup.pattern.c_str());
        std::abort();
    }
    setup.exactPattern = vorla::AsciiUpper(setup.pattern);
    if (present) {
        const std::size_t at = setup.text.size() - kFromEnd;
        setup.text.replace(at, setup.exactPattern.size(), setup.exactPattern);
        setup.expected = at + 1;
    }
    return setup;
}

void Check(benchmark::State& state, std::size_t got, std::size_t expected) {
    if (got != expected) {
        state.SkipWithError("wrong search result");
    }
}

void FindNoCaseBench(benchmark::State& state) {
    const TSetup s = Prepare(static_cast<std::size_t>(state.range(0)), state.range(1) != 0);
    std::size_t result = 0;
    for (auto _ : state) {
        result = vorla::FindNoCase(s.pattern, s.text);
        benchmark::DoNotOptimize(result);
    }
    Check(state, result, s.expected);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.text.size()));
}

struct TFoldHash {
    std::size_t operator()(char c) const { return vorla::FoldByte(static_cast<unsigned char>(c)); }
};
struct TFoldEqual {
    bool operator()(char a, char b) const {
        return vorla::FoldByte(static_cast<unsigned char>(a)) == vorla::FoldByte(static_cast<unsigned char>(b));
    }
};

void StdSearcherBench(benchmark::State& state) {
    const TSetup s = Prepare(static_cast<std::size_t>(state.range(0)), state.range(1) != 0);
    std::size_t result = 0;
    for (auto _ : state) {
        // Built per search, as FindNoCase builds its skip table per call.
        const std::boyer_moore_horspool_searcher searcher(s.pattern.begin(), s.pattern.end(), TFoldHash(),
                                                          TFoldEqual());
        const auto it = std::search(s.text.begin(), s.text.end(), searcher);
        result = it == s.text.end() ? 0 : static_cast<std::size_t>(it - s.text.begin()) + 1;
        benchmark::DoNotOptimize(result);
    }
    Check(state, result, s.expected);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.text.size()));
}

void MemmemBench(benchmark::State& state) {
    const TSetup s = Prepare(static_cast<std::size_t>(state.range(0)), state.range(1) != 0);
    std::size_t result = 0;
    for (auto _ : state) {
        const void* hit = memmem(s.text.data(), s.text.size(), s.exactPattern.data(), s.exactPattern.size());
        result = hit == nullptr ? 0 : static_cast<std::size_t>(static_cast<const char*>(hit) - s.text.data()) + 1;
        benchmark::DoNotOptimize(result);
    }
    Check(state, result, s.expected);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.text.size()));
}

void Lengths(benchmark::internal::Benchmark* b) {
    b->ArgNames({"len", "present"});
    for (int present : {1, 0}) {
        for (int length : {4, 8, 16, 32}) {
            b->Args({length, present});
        }
    }
}

}  // namespace

BENCHMARK(FindNoCaseBench)->Name("FindNoCase")->Apply(Lengths);
BENCHMARK(StdSearcherBench)->Name("StdBmhFolding")->Apply(Lengths);
BENCHMARK(MemmemBench)->Name("Memmem")->Apply(Lengths);
