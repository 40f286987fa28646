// Serial numbers issued and durably saved per second: IncreaseSN + Save against a settings store
// on this machine's disk (a temporary folder; set TMPDIR to measure another disk).

#include <benchmark/benchmark.h>

#include "Numwell.h"
#include "NumwellServices.h"
#include "SqliteSettingsStore.h"
#include "TempDir.h"

static void BM_IncreaseAndSave(benchmark::State &state)
{
    TempDir dir;
    auto store = std::make_shared<platform::SqliteSettingsStore>(dir.file("settings.db"));
    store->CreateKey(numwell::SettingsKeyPath());
    numwell::SetSettingsStore(store);
    CNumwellerator sn;
    for (auto _ : state) {
        sn.IncreaseSN();
        if (!sn.Save()) {
            state.SkipWithError("Save failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    numwell::SetSettingsStore(nullptr);
}
BENCHMARK(BM_IncreaseAndSave)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
