// Messages per second of the classification against 100, 1,000 and 10,000 active rules, one
// core: the uplink's header pass (header block only) and the filtering of stored messages
// (display text, then every check and rule). 10,000 made-up ~5 KB messages are classified in
// turn; the rules are spread over From, Subject, Body, Received IP and Present In Any Header,
// and hit few of them, so nearly every message is tried against every rule.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "BenchFolder.h"
#include "filters/Classify.h"
#include "filters/RuleIndex.h"
#include "filters/ZivadFilters.h"
#include "mail/MessageStore.h"
#include "platform/Home.h"
#include "support/SampleMail.h"

namespace {

using namespace vorla;
using vorla::test::SampleWord;
using vorla::test::TSampleRandom;

constexpr int kMessages = 10000;

const std::vector<std::string>& Messages() {
    static const std::vector<std::string> messages = [] {
        std::vector<std::string> all;
        all.reserve(kMessages);
        for (int i = 0; i < kMessages; ++i) all.push_back(vorla::test::SampleMessage(static_cast<std::uint64_t>(i)));
        return all;
    }();
    return messages;
}

const std::vector<std::string>& Headers() {
    static const std::vector<std::string> headers = [] {
        std::vector<std::string> all;
        all.reserve(kMessages);
        for (const std::string& m : Messages()) all.push_back(vorla::test::SampleHeaderOf(m));
        return all;
    }();
    return headers;
}

std::string Word(TSampleRandom& random) { return SampleWord(random.Below(vorla::test::kSampleWords)); }

// count active rules, a fifth each of From, Subject, Body, Received IP and Present In Any
// Header; two of three reject.
void AddRules(TZivadFilters& list, int count) {
    TSampleRandom random(12345);
    for (int i = 0; i < count; ++i) {
        TZivadFilterItem& rule = list.AddRule();
        rule.SetDescription("rule " + std::to_string(i));
        rule.SetAction(i % 3 ? TFilterAction::Reject : TFilterAction::Accept);
        rule.SetActive(true);
        switch (i % 5) {
            case 0:
                rule.SetSection(TFilterSection::From);
                rule.SetSearchText(Word(random) + "@" + Word(random));
                break;
            case 1:
                rule.SetSection(TFilterSection::Subject);
                rule.SetSearchText(Word(random) + " " + Word(random));
                break;
            case 2:
                rule.SetSection(TFilterSection::Body);
                rule.SetSearchText(Word(random) + " " + Word(random) + " " + Word(random));
                break;
            case 3:
                rule.SetSection(TFilterSection::ReceivedIP);
                rule.SetSearchText(std::to_string(random.Below(256)) + "." + std::to_string(random.Below(256)) + "." +
                                   std::to_string(random.Below(256)) + ".*");
                break;
            default:
                rule.SetSection(TFilterSection::PresentInAnyHeader);
                rule.SetSearchText("X-Campaign: " + Word(random) + " " + Word(random));
                break;
        }
    }
}

// The rules' filter file lines, for the command-line comparison (bench/classify-vs-bogofilter.sh).
std::string RulesFileText(int count) {
    TBenchFolder folder;
    TZivadFilters list(folder.Path() + "rules.fil");
    AddRules(list, count);
    return list.RulesText(kAllFilterActions);
}

struct TSetup {
    TBenchFolder folder;
    std::unique_ptr<TZivadFilters> global;
    TClassifyAccount account;
    TClassifyEngine engine;

    explicit TSetup(int rules) {
        global = std::make_unique<TZivadFilters>(folder.Path() + "vorla.fil");
        AddRules(*global, rules);
        account.name = "bench";
        account.email = "me@example.net";
        engine.globalRules = global.get();
    }
};

void BM_HeaderPass(benchmark::State& state) {
    TSetup setup(static_cast<int>(state.range(0)));
    const std::vector<std::string>& headers = Headers();
    std::size_t i = 0, decided = 0;
    for (auto _ : state) {
        const std::string& text = headers[i++ % headers.size()];
        const TClassification c =
            ClassifyMessage(setup.account, setup.engine, text, static_cast<std::int64_t>(text.size()), false);
        decided += c.result != kClassifyUndecided;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["decided_percent"] = 100.0 * static_cast<double>(decided) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_HeaderPass)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// Making a list's index again, as after an edit of the list.
void BM_IndexBuild(benchmark::State& state) {
    TSetup setup(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        setup.global->NoteRuleChange();
        benchmark::DoNotOptimize(setup.global->Index());
    }
}
BENCHMARK(BM_IndexBuild)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_StoredPass(benchmark::State& state) {
    TSetup setup(static_cast<int>(state.range(0)));
    const std::vector<std::string>& messages = Messages();
    std::size_t i = 0, decided = 0;
    for (auto _ : state) {
        const std::string text = MessageDisplayText(messages[i++ % messages.size()]);
        const TClassification c =
            ClassifyMessage(setup.account, setup.engine, text, static_cast<std::int64_t>(text.size()), false);
        decided += c.result != kClassifyUndecided;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["decided_percent"] = 100.0 * static_cast<double>(decided) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_StoredPass)->Arg(0)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

// "--write-mail DIR COUNT RULES" writes COUNT of the messages as DIR/00001.msg ... and RULES rules
// as DIR/rules.txt, for the command-line comparison; anything else runs the benchmarks.
int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--write-mail") == 0) {
        const std::string dir = std::string(argv[2]) + "/";
        const int count = std::atoi(argv[3]);
        for (int i = 0; i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "%05d.msg", i + 1);
            std::ofstream(dir + name, std::ios::binary) << vorla::test::SampleMessage(static_cast<std::uint64_t>(i));
        }
        const std::string rules = RulesFileText(std::atoi(argv[4]));
        std::ofstream(dir + "rules.txt", std::ios::binary) << rules;
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
