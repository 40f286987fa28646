// The device layer through the USB backend: libusb, the emulated usbfs and the bench's cables behind
// it (the same topologies as device_benchmarks). The program puts umockdev's preload library in
// front of itself when it is not there yet.
//
//   build/release/tests/benchmarks/usb_benchmarks

#include "UmockdevPreload.h"
#include "BenchOptionsIn.h"
#include "Bench.h"
#include "PipeBenchmark.h"
#include "BridgeDevice.h"
#include "HostMachine.h"
#include "LineRun.h"
#include "Sides.h"
#include "TempDir.h"
#include "Topologies.h"
#include "UsbTreeWalker.h"
#include "UsbWorld.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <unistd.h>

namespace {

struct Rig {
    TempDir dir;
    bench::Bench bench;
    std::unique_ptr<UsbWorld> usb;

    explicit Rig(bool hundredPorts)
        : bench(BenchOptionsIn(dir))
    {
        if (hundredPorts)
            bench::BuildHundredPortTopology(bench);
        else
            bench::BuildSixteenCableTopology(bench);
        usb = std::make_unique<UsbWorld>(bench);
    }
    platform::Host &Host() { return usb->host; }
};

void BM_UsbScanBridgeDevices(benchmark::State &state)
{
    Rig rig(false);
    for (auto _ : state)
        if (ScanBridgeDevices(0x7730, rig.Host()) != 0xFFFFFFFFu)
            state.SkipWithError("unexpected mask");
    state.SetLabel("usb, 32 device objects");
}
BENCHMARK(BM_UsbScanBridgeDevices)->Unit(benchmark::kMillisecond);

void BM_UsbWalkAllControllers(benchmark::State &state)
{
    Rig rig(true);
    UsbTreeWalker walker(rig.Host());
    for (auto _ : state)
        if (walker.WalkAllControllers(nullptr, nullptr) != 100)
            state.SkipWithError("expected 100 device ports");
    state.SetLabel("usb, 100 device ports");
}
BENCHMARK(BM_UsbWalkAllControllers)->Unit(benchmark::kMillisecond);

void BM_UsbWholeEeprom(benchmark::State &state)
{
    const bool write = state.range(0);
    Rig rig(false);
    BridgeDevice device(rig.Host());
    if (!device.Open("\\\\.\\HOSTLNK-1")) {
        state.SkipWithError("cannot open");
        return;
    }
    uint8_t bytes[256] = {};
    for (auto _ : state)
        if (!(write ? device.WriteEeprom(bytes, 0, 256) : device.ReadEeprom(bytes, 0, 256)))
            state.SkipWithError("transfer failed");
    state.SetLabel(write ? "usb, write (32 requests)" : "usb, read (32 requests)");
}
BENCHMARK(BM_UsbWholeEeprom)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// One function-test direction: 131,071 bytes, read started on side A, written on side B, both awaited.
void BM_UsbPipeTransfer(benchmark::State &state)
{
    Rig rig(false);
    platform::Host &h = rig.Host();
    TimePipeDirection(state, h);
    state.SetLabel("usb, opens included");
}
BENCHMARK(BM_UsbPipeTransfer)->Unit(benchmark::kMillisecond);

// mfgkit's workers through libusb and the emulated usbfs, with the bench's timing model at 1 ms per
// request and 5 ms per EEPROM block write (as mfgkit_benchmarks on the in-process bench): range(0)
// cables, range(1) 1 = all at once, 0 = one after the other.
struct UsbLine {
    TempDir dir;
    bench::Bench bench;
    bench::SixteenCableTopology topology;
    std::unique_ptr<UsbWorld> usb;
    std::vector<line::CablePair> cables;
    EepromImage image;

    UsbLine()
        : bench(BenchOptionsIn(dir)),
          topology(bench::BuildSixteenCableTopology(
              bench, bench::ConfiguredEeprom(0x0C5E, 0x7730, "Veltrona", "USB Bridge Cable", std::string("000000000001"))))
    {
        usb = std::make_unique<UsbWorld>(bench);
        std::memcpy(image.Bytes(), bench.Eeprom(topology.cables[0]).data(), EepromImage::kEepromSize);
        image.m_rec.dwChipModel.set(0x7730);
        image.m_rec.dwChipVersion.set(0x0100);
        cables = line::PairByData(usb->host, line::FindBridgeSides(usb->host, false)).cables;
        production::KeepTransferBuffersInHeap(); // as mfgkit does at start
        bench::BenchTiming timing;
        timing.controlLatency = std::chrono::milliseconds(1);
        timing.eepromWriteCycle = std::chrono::milliseconds(5);
        bench.SetTiming(timing);
        ::setenv("QT7730_SETTINGS_DB", dir.file("settings.db").c_str(), 1);
    }
};

void BM_UsbMfgkit(benchmark::State &state, bool program)
{
    UsbLine line;
    if (line.cables.size() != 16) {
        state.SkipWithError("the USB backend did not pair 16 cables");
        return;
    }
    const std::vector<line::CablePair> chosen(line.cables.begin(), line.cables.begin() + state.range(0));
    int failed = 0;
    const line::OutcomeSink sink = [&failed](line::CableOutcome &o) {
        failed += o.passed ? 0 : 1;
        return true;
    };
    line::ProgramPlan programPlan;
    programPlan.image = line.image;
    programPlan.mode = line::SerialMode::Text;
    programPlan.text = "LINE-0001";
    line::TestPlan testPlan;
    testPlan.image = line.image;
    auto run = [&](const std::vector<line::CablePair> &some) {
        if (program)
            line::ProgramCables(line.usb->host, some, programPlan, sink, nullptr);
        else
            line::TestCables(line.usb->host, some, testPlan, sink);
    };
    for (auto _ : state) {
        if (state.range(1))
            run(chosen);
        else
            for (const line::CablePair &cable : chosen)
                run({cable});
    }
    if (failed)
        state.SkipWithError("a cable failed");
    state.SetLabel(std::string("usb, ") + (state.range(1) ? "at once" : "one after the other"));
}
void BM_UsbMfgkitProgram(benchmark::State &state) { BM_UsbMfgkit(state, true); }
void BM_UsbMfgkitTest(benchmark::State &state) { BM_UsbMfgkit(state, false); }
BENCHMARK(BM_UsbMfgkitProgram)->Args({1, 1})->Args({8, 1})->Args({8, 0})->Args({16, 1})->Args({16, 0})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_UsbMfgkitTest)->Args({1, 1})->Args({8, 1})->Args({8, 0})->Args({16, 1})->Args({16, 0})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

int main(int argc, char **argv)
{
    if (!EnsureUmockdevPreload(argv))
        return 127;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
