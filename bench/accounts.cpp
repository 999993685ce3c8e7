// How fast an account recognises seen header blocks, and how long the account list takes to load
// and to save.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "BenchFolder.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "platform/Files.h"
#include "platform/Home.h"

namespace {

using namespace vorla;

constexpr int kSeenCount = 200000;

// Lookups in an account holding 200,000 seen checksums. Arg 1: values that are in the list;
// arg 0: values that are not (every stored value is even, every probe for a miss odd).
void BM_IsSeen(benchmark::State& state) {
    TBenchFolder folder;
    TZivadAccount account(nullptr, "bench");
    std::mt19937 random(42);
    std::vector<std::uint32_t> stored;
    stored.reserve(kSeenCount);
    while (account.SeenCount() < static_cast<std::size_t>(kSeenCount)) {
        const std::uint32_t crc = random() & ~1u;
        account.AddSeen(crc);
        stored.push_back(crc);
    }
    const bool hits = state.range(0) == 1;
    std::size_t i = 0;
    std::int64_t found = 0;
    for (auto _ : state) {
        const std::uint32_t probe = hits ? stored[i % stored.size()] : (stored[i % stored.size()] | 1u);
        found += account.IsSeen(probe);
        ++i;
    }
    if (found != (hits ? state.iterations() : 0)) state.SkipWithError("wrong lookup result");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IsSeen)->Arg(1)->Arg(0)->ArgNames({"hit"});

// LoadAll of 200 account folders, each with a full "options.ini", away and reject texts, a
// mailbot, 1,000 seen checksums and empty message folders, as SaveAll and SaveSeenAll wrote them.
void BM_LoadAll200Accounts(benchmark::State& state) {
    TBenchFolder folder;
    {
        TZivadAccounts list(nullptr);
        for (int a = 0; a < 200; ++a) {
            TZivadAccount& account = list.Add("account" + std::to_string(1000 + a));
            account.Edit([&](TAccountSettings& s) {
                s.name = "Account " + std::to_string(a);
                s.popserver = "pop.example.org";
                s.loginname = "user" + std::to_string(a);
                s.password = "secret" + std::to_string(a);
            });
            account.AddMailbot("info", "Line one\r\nLine two\r\n");
            for (std::uint32_t c = 0; c < 1000; ++c) account.AddSeen(c * 2654435761u + static_cast<std::uint32_t>(a));
        }
        if (!list.SaveAll().empty()) state.SkipWithError("saving the accounts failed");
    }  // writes the seen lists
    for (auto _ : state) {
        TZivadAccounts list(nullptr);
        if (list.Count() != 200) state.SkipWithError("not every account loaded");
        state.PauseTiming();  // destruction writes the seen lists back: not part of loading
        list.Clear();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LoadAll200Accounts)->Unit(benchmark::kMillisecond);

// SaveAll of arg accounts with every setting filled in, as the accounts editor's OK does it;
// with "changed" 1 every account has a new name each time, else nothing changed since the last
// save. Each file written is flushed to disk, so the cost is mostly waiting for the disk:
// measured in real time.
void BM_SaveAllAccounts(benchmark::State& state) {
    TBenchFolder folder;
    TZivadAccounts list(nullptr);
    for (int a = 0; a < state.range(0); ++a) {
        TZivadAccount& account = list.Add("account" + std::to_string(1000 + a));
        account.Edit([&](TAccountSettings& s) {
            s.name = "Account " + std::to_string(a);
            s.email = "user" + std::to_string(a) + "@example.org";
            s.popserver = "pop.example.org";
            s.loginname = "user" + std::to_string(a);
            s.password = "secret" + std::to_string(a);
            s.smtpserver = "smtp.example.org";
            s.awayText = "Back on Monday.";
        });
        account.AddMailbot("info", "Line one\r\nLine two\r\n");
    }
    if (!list.SaveAll().empty()) state.SkipWithError("saving the accounts failed");  // files exist from here
    int round = 0;
    for (auto _ : state) {
        ++round;
        if (state.range(1) == 1)
            for (const TAccountPtr& account : list.Snapshot())
                account->Edit([&](TAccountSettings& s) { s.name = "Account " + std::to_string(round); });
        if (!list.SaveAll().empty()) state.SkipWithError("saving the accounts failed");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SaveAllAccounts)
    ->ArgsProduct({{1, 20}, {0, 1}})
    ->ArgNames({"accounts", "changed"})
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
