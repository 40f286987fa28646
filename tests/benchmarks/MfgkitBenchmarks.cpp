// mfgkit with the bench's timing model at 1 ms per request and 5 ms per EEPROM block write: sixteen
// cables programmed (and tested) at once against one cable, and the sixteen one after the other.
// Modelled time of one cable: programming 225 ms (chip query, 32 block writes, 32 block reads);
// testing 35 ms (chip query, 32 block reads, two prepare requests; data at the bench's full speed).
//
//   build/release/tests/benchmarks/mfgkit_benchmarks
//
// BM_Program / BM_Test: the workers alone (the outcome handed to a sink that keeps it in memory).
// BM_ProgramCommand: the whole `mfgkit program` (find the sides, pair them by data, program, store
// each record durably in the ledger, print), for the cost of the ledger beside the model.

#include "BenchOptionsIn.h"
#include "HostMachine.h"
#include "LineRun.h"
#include "Mfgkit.h"
#include "SimHost.h"
#include "TempDir.h"
#include "Topologies.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

struct Line {
    TempDir dir;
    bench::Bench bench;
    platform::SimHost host;
    bench::SixteenCableTopology topology;
    std::vector<line::CablePair> cables;
    EepromImage image;

    Line()
        : bench(BenchOptionsIn(dir)),
          host(bench.Pc()),
          topology(bench::BuildSixteenCableTopology(
              bench, bench::ConfiguredEeprom(0x0C5E, 0x7730, "Veltrona", "USB Bridge Cable", std::string("000000000001"))))
    {
        bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
        std::memcpy(image.Bytes(), bench.Eeprom(topology.cables[0]).data(), EepromImage::kEepromSize);
        image.m_rec.dwChipModel.set(0x7730);
        image.m_rec.dwChipVersion.set(0x0100);
        cables = line::PairByData(host, line::FindBridgeSides(host, false)).cables;
        production::KeepTransferBuffersInHeap(); // as mfgkit does at start
        bench::BenchTiming timing;
        timing.controlLatency = std::chrono::milliseconds(1);
        timing.eepromWriteCycle = std::chrono::milliseconds(5);
        bench.SetTiming(timing);
    }
};

// range(0): cables; range(1): 1 = all at once, 0 = one after the other.
void BM_Program(benchmark::State &state)
{
    Line line;
    if (line.cables.size() != 16) {
        state.SkipWithError("the bench did not pair 16 cables");
        return;
    }
    line::ProgramPlan plan;
    plan.image = line.image;
    plan.mode = line::SerialMode::Text;
    plan.text = "LINE-0001";
    const std::vector<line::CablePair> chosen(line.cables.begin(), line.cables.begin() + state.range(0));
    int failed = 0;
    const line::OutcomeSink sink = [&failed](line::CableOutcome &o) {
        failed += o.passed ? 0 : 1;
        return true;
    };
    for (auto _ : state) {
        if (state.range(1))
            line::ProgramCables(line.host, chosen, plan, sink, nullptr);
        else
            for (const line::CablePair &cable : chosen)
                line::ProgramCables(line.host, {cable}, plan, sink, nullptr);
    }
    if (failed)
        state.SkipWithError("a cable failed");
    state.SetLabel(state.range(1) ? "at once" : "one after the other");
}
BENCHMARK(BM_Program)->Args({1, 1})->Args({16, 1})->Args({16, 0})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_Test(benchmark::State &state)
{
    Line line;
    if (line.cables.size() != 16) {
        state.SkipWithError("the bench did not pair 16 cables");
        return;
    }
    line::TestPlan plan;
    plan.image = line.image;
    const std::vector<line::CablePair> chosen(line.cables.begin(), line.cables.begin() + state.range(0));
    int failed = 0;
    const line::OutcomeSink sink = [&failed](line::CableOutcome &o) {
        failed += o.passed ? 0 : 1;
        return true;
    };
    setenv("QT7730_SETTINGS_DB", line.dir.file("settings.db").c_str(), 1);
    for (auto _ : state) {
        if (state.range(1))
            line::TestCables(line.host, chosen, plan, sink);
        else
            for (const line::CablePair &cable : chosen)
                line::TestCables(line.host, {cable}, plan, sink);
    }
    if (failed)
        state.SkipWithError("a cable failed");
    state.SetLabel(state.range(1) ? "at once" : "one after the other");
}
BENCHMARK(BM_Test)->Args({1, 1})->Args({16, 1})->Args({16, 0})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

// The whole command on 1 or 16 cables (the others unplugged), ledger included.
// Numbers as a station's counter forms them, saved in memory: what numbering adds is the ledger's
// reservation and verdicts, not Numwell's dialogs.
struct MemoryNumbers : line::SerialSource {
    explicit MemoryNumbers(int &next) : m_next(next) {}
    bool Begin(std::string *) override { return true; }
    std::optional<std::vector<std::string>> Spend(std::size_t count, std::string *) override
    {
        std::vector<std::string> numbers;
        for (std::size_t i = 0; i < count; ++i)
            numbers.push_back("0261209" + std::to_string(10000000 + ++m_next).substr(3));
        return numbers;
    }
    int &m_next;
};

// Arg 0: cables; arg 1: 1 numbered (--serial numwell: spent, reserved, settled), 0 a fixed text.
void BM_ProgramCommand(benchmark::State &state)
{
    Line line;
    for (std::size_t k = std::size_t(state.range(0)); k < line.topology.cables.size(); ++k) {
        line.bench.UnplugSide(line.topology.cables[k], bench::Side::A);
        line.bench.UnplugSide(line.topology.cables[k], bench::Side::B);
    }
    const std::string image = line.dir.file("batch.eep");
    {
        std::ofstream file(image, std::ios::binary);
        file.write(reinterpret_cast<const char *>(line.image.Bytes()), EepromImage::kImageSize);
    }
    setenv("QT7730_SETTINGS_DB", line.dir.file("settings.db").c_str(), 1);
    std::ostringstream out, err;
    line::MfgkitEnv env;
    env.host = &line.host;
    env.out = &out;
    env.err = &err;
    env.ledgerPath = line.dir.file("ledger.db");
    int next = 0;
    env.needDisplay = false;
    env.numwell = [&next] { return std::make_unique<MemoryNumbers>(next); };
    const std::string serial = state.range(1) ? "numwell" : "LINE-0001";
    for (auto _ : state) {
        if (line::RunMfgkit({"program", image, "--serial", serial}, env) != 0) {
            state.SkipWithError("the command failed");
            break;
        }
    }
    state.SetLabel("find, pair, program, durable record per cable");
}
BENCHMARK(BM_ProgramCommand)->Args({1, 0})->Args({16, 0})->Args({1, 1})->Args({16, 1})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace
