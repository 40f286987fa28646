// Tamber on the in-process bench with zero latency, and the data test through the bench daemon's socket.
//
//   build/release/tests/benchmarks/tamber_benchmarks
//
// BM_FunctionTestDirection: one direction of the data test (open both pipes, 131,071 bytes each way
// in flight at once, compare, close). BM_FlowPerCable: one whole cable through the production flow
// (detection tick, walk, worker with chip check, EEPROM verification and both directions, verdict,
// unplug poll) with every timer fired at once: the flow's own time beyond its specified timers.

#include "HostMachine.h"
#include "HostServer.h"
#include "ProductionFlow.h"
#include "SocketHost.h"
#include "TamberRig.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

using namespace production;

namespace {

void BM_FunctionTestDirection(benchmark::State &state)
{
    const bool viaSocket = state.range(0);
    KeepTransferBuffersInHeap(); // as Tamber does at start
    TamberRig rig;
    const auto cable = rig.AddCable();
    rig.PlugBoth(cable, 1);
    benchwire::HostServer server(rig.sim);
    std::unique_ptr<benchwire::SocketHost> socket;
    if (viaSocket) {
        std::string error;
        if (!server.Start(rig.dir.file("vbench.sock"), error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        socket = std::make_unique<benchwire::SocketHost>(rig.dir.file("vbench.sock"));
        for (int i = 0; i < 200 && !socket->Connected(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    platform::Host &host = viaSocket ? static_cast<platform::Host &>(*socket) : rig.sim;
    HostCableIo io(host);
    const std::string a = "\\\\.\\HOSTLNK-" + std::to_string(rig.bench.DeviceObjectNumber(cable, bench::Side::A));
    const std::string b = "\\\\.\\HOSTLNK-" + std::to_string(rig.bench.DeviceObjectNumber(cable, bench::Side::B));
    for (auto _ : state)
        if (!io.TransferTest(a, b))
            state.SkipWithError("the direction failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPatternSize));
    state.SetLabel(viaSocket ? "socket" : "in-process");
}
BENCHMARK(BM_FunctionTestDirection)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The flow's surroundings with no window: timers queue up and fire at once, posted calls run on this
// thread.
struct ImmediateView : FlowView {
    std::deque<int> armed;
    std::mutex lock;
    std::condition_variable cv;
    std::deque<std::function<void()>> posted;
    bool waitingForUnplug = false;

    void ArmTimer(int id, int) override { armed.push_back(id); }
    void KillTimer(int id) override { std::erase(armed, id); }
    void ShowIcon(int) override {}
    void ShowResult(const std::string &, bool) override {}
    void HideResult() override {}
    void UpdatePrompt(const std::string &, const std::string &) override {}
    void ShowPrompt(bool) override {}
    void SetLogText(const std::string &) override {}
    void PostToDialogThread(std::function<void()> call) override
    {
        std::lock_guard<std::mutex> guard(lock);
        posted.push_back(std::move(call));
        cv.notify_all();
    }
    // Fires armed timers and runs posted calls until `done`.
    template <class Done>
    void Drive(ProductionFlow &flow, Done done)
    {
        while (!done()) {
            if (!armed.empty()) {
                const int id = armed.front();
                armed.pop_front();
                flow.OnTimer(id);
                continue;
            }
            std::unique_lock<std::mutex> guard(lock);
            cv.wait(guard, [&] { return !posted.empty(); });
            auto call = std::move(posted.front());
            posted.pop_front();
            guard.unlock();
            call();
        }
    }
};

void BM_FlowPerCable(benchmark::State &state)
{
    KeepTransferBuffersInHeap(); // as Tamber does at start
    TamberRig rig;
    // Each cable's outcome is stored durably, in a ledger of the benchmark's own (unless one is named).
    if (!getenv("QT7730_LEDGER_DB"))
        setenv("QT7730_LEDGER_DB", rig.dir.file("ledger.db").c_str(), 1);
    const auto cable = rig.AddCable();
    ImmediateView view;
    HostFlowMachine machine(rig.sim);
    ProductionFlow flow(view, machine, HostCableRunner(rig.sim));
    BatchImage batch;
    std::memcpy(batch.image.Bytes(), TamberRig::BatchEeprom().data(), 256);
    batch.image.m_rec.dwChipModel.set(0x7730);
    batch.image.m_rec.dwChipVersion.set(0x0100);
    batch.vendorId = "0C5E";
    batch.productId = "7730";
    flow.Start(batch);
    view.Drive(flow, [&] { return view.armed.empty(); });
    for (auto _ : state) {
        rig.PlugBoth(cable, 1);
        flow.OnDeviceChange();
        view.Drive(flow, [&] { return flow.WaitingForUnplug() && view.armed.size() == 1; });
        if (flow.Log().find("FAIL") != std::string::npos)
            state.SkipWithError("the cable failed");
        rig.UnplugBoth(cable);
        view.Drive(flow, [&] { return !flow.WaitingForUnplug(); });
    }
    state.SetLabel("scan, walk, checks, both directions, verdict, unplug poll");
}
BENCHMARK(BM_FlowPerCable)->Unit(benchmark::kMillisecond);

} // namespace
