// The device layer on the in-process bench with zero latency, and the same calls through the bench
// daemon's socket (a server in this process, a real Unix socket between them). The "busy" variants
// run beside two processes that loop without end, as a machine whose cores are busy with other work.
//
//   build/release/tests/benchmarks/device_benchmarks
//   build/release/tests/benchmarks/device_benchmarks --benchmark_filter=Busy

#include "Bench.h"
#include "PipeBenchmark.h"
#include "BridgeDevice.h"
#include "HostServer.h"
#include "RecordingHost.h"
#include "SimHost.h"
#include "SocketHost.h"
#include "TempDir.h"
#include "Topologies.h"
#include "UsbTreeWalker.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// One bench, its in-process Host and a socket Host reaching it through a server.
struct Rig {
    TempDir dir;
    bench::Bench bench;
    platform::SimHost sim;
    benchwire::HostServer server;
    std::unique_ptr<benchwire::SocketHost> socket;

    Rig()
        : bench([this] {
              bench::BenchOptions options;
              options.systemDirectory = dir.path() / "system";
              return options;
          }()),
          sim(bench.Pc()), server(sim)
    {
        std::string error;
        if (!server.Start(dir.file("vbench.sock"), error))
            throw std::runtime_error(error);
        socket = std::make_unique<benchwire::SocketHost>(dir.file("vbench.sock"));
        // Let the socket Host's notification stream connect, so caches start out valid.
        for (int i = 0; i < 200 && !socket->Connected(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    platform::Host &Over(bool viaSocket) { return viaSocket ? static_cast<platform::Host &>(*socket) : sim; }
};

// Two busy-looping child processes for as long as it lives; killed and reaped when it goes.
class BusyNeighbours {
public:
    explicit BusyNeighbours(int count)
    {
        for (int i = 0; i < count; ++i) {
            const pid_t child = ::fork();
            if (child == 0) {
                volatile unsigned long spin = 0;
                for (;;)
                    spin = spin + 1;
            }
            if (child > 0)
                m_children.push_back(child);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let them take their cores
    }
    ~BusyNeighbours()
    {
        for (pid_t child : m_children)
            ::kill(child, SIGKILL);
        for (pid_t child : m_children)
            ::waitpid(child, nullptr, 0);
    }
    BusyNeighbours(const BusyNeighbours &) = delete;
    BusyNeighbours &operator=(const BusyNeighbours &) = delete;

private:
    std::vector<pid_t> m_children;
};

void BM_ScanBridgeDevices(benchmark::State &state)
{
    const bool viaSocket = state.range(0);
    const bool populated = state.range(1);
    Rig rig;
    if (populated)
        bench::BuildSixteenCableTopology(rig.bench);
    platform::Host &host = rig.Over(viaSocket);
    const uint32_t expected = populated ? 0xFFFFFFFFu : 0u;
    for (auto _ : state)
        if (ScanBridgeDevices(0x7730, host) != expected)
            state.SkipWithError("unexpected mask");
    state.SetLabel(std::string(viaSocket ? "socket" : "in-process") + (populated ? ", 32 device objects" : ", none"));
}
BENCHMARK(BM_ScanBridgeDevices)->ArgsProduct({{0, 1}, {1, 0}})->Unit(benchmark::kMicrosecond);

void BM_WalkAllControllers(benchmark::State &state)
{
    const bool viaSocket = state.range(0);
    Rig rig;
    bench::BuildHundredPortTopology(rig.bench);
    UsbTreeWalker walker(rig.Over(viaSocket));
    for (auto _ : state)
        if (walker.WalkAllControllers(nullptr, nullptr) != 100)
            state.SkipWithError("expected 100 device ports");
    state.SetLabel(viaSocket ? "socket, 100 device ports" : "in-process, 100 device ports");
}
BENCHMARK(BM_WalkAllControllers)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Over the socket, beside two busy-looping processes: what the GUI thread waits when the cores are
// taken by other work.
void BM_ScanBridgeDevicesBusy(benchmark::State &state)
{
    Rig rig;
    bench::BuildSixteenCableTopology(rig.bench);
    BusyNeighbours busy(2);
    const uint64_t before = rig.socket->RoundTrips();
    for (auto _ : state)
        if (ScanBridgeDevices(0x7730, *rig.socket) != 0xFFFFFFFFu)
            state.SkipWithError("unexpected mask");
    state.counters["round_trips"] = double(rig.socket->RoundTrips() - before) / double(state.iterations());
    state.SetLabel("socket, 32 device objects, two busy processes beside it");
}
BENCHMARK(BM_ScanBridgeDevicesBusy)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WalkAllControllersBusy(benchmark::State &state)
{
    Rig rig;
    bench::BuildHundredPortTopology(rig.bench);
    UsbTreeWalker walker(*rig.socket);
    walker.WalkAllControllers(nullptr, nullptr); // as the other walks: tree and registry cached
    BusyNeighbours busy(2);
    const uint64_t before = rig.socket->RoundTrips();
    for (auto _ : state)
        if (walker.WalkAllControllers(nullptr, nullptr) != 100)
            state.SkipWithError("expected 100 device ports");
    state.counters["round_trips"] = double(rig.socket->RoundTrips() - before) / double(state.iterations());
    state.SetLabel("socket, 100 device ports, two busy processes beside it");
}
BENCHMARK(BM_WalkAllControllersBusy)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WholeEeprom(benchmark::State &state)
{
    const bool viaSocket = state.range(0);
    const bool write = state.range(1);
    Rig rig;
    bench::BuildSixteenCableTopology(rig.bench);
    RecordingHost counted(rig.Over(viaSocket));
    BridgeDevice device(counted);
    if (!device.Open("\\\\.\\HOSTLNK-1")) {
        state.SkipWithError("cannot open");
        return;
    }
    uint8_t bytes[256] = {};
    counted.clear();
    for (auto _ : state)
        if (!(write ? device.WriteEeprom(bytes, 0, 256) : device.ReadEeprom(bytes, 0, 256)))
            state.SkipWithError("transfer failed");
    state.counters["requests"] =
        benchmark::Counter(double(counted.vendorRequests().size()) / double(state.iterations()));
    state.SetLabel(std::string(viaSocket ? "socket" : "in-process") + (write ? ", write" : ", read"));
}
BENCHMARK(BM_WholeEeprom)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMicrosecond);

// One 131,071-byte transfer through a cable: read started on side A, written on side B, both awaited.
void BM_PipeTransfer(benchmark::State &state)
{
    const bool viaSocket = state.range(0);
    Rig rig;
    bench::BuildSixteenCableTopology(rig.bench);
    platform::Host &h = rig.Over(viaSocket);
    TimePipeDirection(state, h);
    state.SetLabel(viaSocket ? "socket" : "in-process");
}
BENCHMARK(BM_PipeTransfer)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace
