// The device layer through the USB backend: libusb, the emulated usbfs and the bench's cables behind
// it (the same topologies as device_benchmarks). The program puts umockdev's preload library in
// front of itself when it is not there yet.
//
//   build/release/tests/benchmarks/usb_benchmarks

#include "BenchOptionsIn.h"
#include "Bench.h"
#include "PipeBenchmark.h"
#include "BridgeDevice.h"
#include "TempDir.h"
#include "Topologies.h"
#include "UsbTreeWalker.h"
#include "UsbWorld.h"

#include <benchmark/benchmark.h>

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

} // namespace

int main(int argc, char **argv)
{
    const char *preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "libumockdev-preload")) {
        ::setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
        ::execv("/proc/self/exe", argv);
        return 127;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
