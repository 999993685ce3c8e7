// How long writing the engine's settings file takes when every value changes (the first save, or
// a save after the options were edited).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/Files.h"
#include "platform/IniFile.h"

namespace {

using namespace vorla;

constexpr int kSections = 5;
constexpr int kKeysPerSection = 8;

// Writes 40 keys in 5 sections into a settings file whose values all differ from the last round;
// with "update" 1 inside one BeginUpdate/UpdateFile, as the settings save does.
void BM_WriteChangedSettings(benchmark::State& state) {
    std::string templ = (std::filesystem::temp_directory_path() / "vorla-bench-XXXXXX").string();
    if (!mkdtemp(templ.data())) std::abort();
    const std::string path = templ + "/vorla.ini";
    int round = 0;
    for (auto _ : state) {
        ++round;
        TIniFile ini(path);
        if (state.range(0) == 1) ini.BeginUpdate();
        for (int s = 0; s < kSections; ++s)
            for (int k = 0; k < kKeysPerSection; ++k)
                ini.WriteInteger("section" + std::to_string(s), "key" + std::to_string(k), round);
        ini.UpdateFile();
    }
    if (TIniFile(path).ReadInteger("section4", "key7", 0) != round) state.SkipWithError("settings not written");
    state.SetItemsProcessed(state.iterations() * kSections * kKeysPerSection);
    std::error_code ec;
    std::filesystem::remove_all(templ, ec);
}
BENCHMARK(BM_WriteChangedSettings)->Arg(0)->Arg(1)->ArgNames({"update"})->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
