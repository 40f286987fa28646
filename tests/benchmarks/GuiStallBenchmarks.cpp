// The longest the GUI thread of Quillon's configuration dialog and of Tamber's main window goes
// without serving its events while cables are plugged and unplugged: two cables (four sides) plugged
// one side every 300 ms, left for 3 s, unplugged, left for 1.5 s. A 1 ms timer on the GUI thread
// measures the gaps between its ticks; "worst_stall_ms" is the longest gap beyond its own interval.
// Chips answer each vendor request after 200 ms, or never (each request given up after 1 s).
// Worlds: the in-process bench, and libusb through usbemu's emulated usbfs (the program puts
// umockdev's preload library in front of itself).
//
//   build/release/tests/benchmarks/gui_stall_benchmarks

#include "UmockdevPreload.h"
#include "BenchOptionsIn.h"
#include "Bench.h"
#include "ConfigDlg.h"
#include "DeviceChangeRelay.h"
#include "HostMachine.h"
#include "ProductionDlg.h"
#include "ProductionScript.h"
#include "ScriptedPrompter.h"
#include "SimHost.h"
#include "TempDir.h"
#include "Topologies.h"
#include "UsbWorld.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <unistd.h>

namespace {

QApplication &App()
{
    static int argc = 1;
    static char name[] = "gui_stall_benchmarks";
    static char *argv[] = {name, nullptr};
    static QApplication *app = new QApplication(argc, argv);
    return *app;
}

// Runs the event loop of the current thread for `ms`.
void Serve(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Measures the GUI thread's longest gap between two ticks of a 1 ms timer.
class StallProbe {
public:
    StallProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_worstNs = std::max(m_worstNs, now - m_lastNs - 1'000'000);
            m_lastNs = now;
        });
    }
    void Start()
    {
        m_clock.start();
        m_lastNs = 0;
        m_timer.start(1);
    }
    double Stop()
    {
        m_timer.stop();
        return double(m_worstNs) / 1e6;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0, m_worstNs = 0;
};

struct Rig {
    TempDir dir;
    bench::Bench bench;
    std::unique_ptr<platform::SimHost> sim;
    std::unique_ptr<UsbWorld> usb;
    bench::DeviceId root = 0;
    std::vector<bench::CableId> cables;

    Rig(bool overUsb, bool silent, bench::EepromBytes eeprom) : bench(BenchOptionsIn(dir))
    {
        bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
        root = bench.AddController(8);
        for (int i = 0; i < 2; ++i) {
            bench::CableSpec spec;
            spec.eeprom = eeprom;
            cables.push_back(bench.AddCable(spec));
            if (silent) {
                bench::SideFaults dead;
                dead.chipSilent = true;
                bench.SetSideFaults(cables.back(), bench::Side::A, dead);
                bench.SetSideFaults(cables.back(), bench::Side::B, dead);
            }
        }
        if (!silent) {
            bench::BenchTiming timing;
            timing.controlLatency = std::chrono::milliseconds(200);
            bench.SetTiming(timing);
        }
        if (overUsb)
            usb = std::make_unique<UsbWorld>(bench);
        else
            sim = std::make_unique<platform::SimHost>(bench.Pc());
    }
    platform::Host &Host() { return usb ? static_cast<platform::Host &>(usb->host) : *sim; }

    // The plugging the windows live through, while `probe` measures. The hands that plug are not the
    // GUI thread's: it only serves its events meanwhile.
    double PlugAndUnplug(StallProbe &probe)
    {
        probe.Start();
        std::atomic<bool> done{false};
        std::thread hands([&] {
            int port = 1;
            for (bench::CableId cable : cables)
                for (bench::Side side : {bench::Side::A, bench::Side::B}) {
                    bench.PlugSide(cable, side, {root, port++});
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                }
            std::this_thread::sleep_for(std::chrono::milliseconds(3000));
            for (bench::CableId cable : cables)
                for (bench::Side side : {bench::Side::A, bench::Side::B})
                    bench.UnplugSide(cable, side);
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            done = true;
        });
        while (!done.load())
            Serve(20);
        hands.join();
        return probe.Stop();
    }
};

const char *Label(const benchmark::State &state)
{
    static const char *labels[] = {"bench, 200 ms per request", "bench, silent chips", "usb, 200 ms per request",
                                   "usb, silent chips"};
    return labels[state.range(0) * 2 + state.range(1)];
}

// The machine's own share: the same probe on an event loop with no window and no cable, for as long
// as a plugging run lasts (what a busy machine costs any GUI thread).
void BM_IdleEventLoopStall(benchmark::State &state)
{
    App();
    for (auto _ : state) {
        StallProbe probe;
        probe.Start();
        Serve(6400);
        state.counters["worst_stall_ms"] = probe.Stop();
    }
    state.SetLabel("no window, no cable");
}
BENCHMARK(BM_IdleEventLoopStall)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Quillon's configuration dialog looking for a blank cable while configured ones come and go: each
// change is a scan of every device object, and a walk when the scan changed.
void BM_QuillonConfigDialogStall(benchmark::State &state)
{
    App();
    for (auto _ : state) {
        Rig rig(state.range(0), state.range(1), bench::ConfiguredEeprom(0x0C5E, 0x7730));
        // Quillon records what it writes: into the rig's ledger, never the station's.
        ::setenv("QT7730_LEDGER_DB", rig.dir.file("ledger.db").c_str(), 1);
        ScriptedPrompter prompter;
        EepromImage image;
        CConfigDlg dlg(rig.Host(), prompter);
        dlg.m_pImage = &image;
        StallProbe probe;
        double worst = 0;
        QTimer::singleShot(0, &dlg, [&] {
            worst = rig.PlugAndUnplug(probe);
            dlg.reject();
        });
        dlg.exec();
        state.counters["worst_stall_ms"] = worst;
    }
    state.SetLabel(Label(state));
}
BENCHMARK(BM_QuillonConfigDialogStall)->ArgsProduct({{0, 1}, {0, 1}})->Iterations(1)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Tamber's main window with the batch's cables: detection ticks, walks, runs, unplug polls.
void BM_TamberWindowStall(benchmark::State &state)
{
    App();
    for (auto _ : state) {
        Rig rig(state.range(0), state.range(1),
                bench::ConfiguredEeprom(0x0C5E, 0x7730, "Veltrona", "USB Bridge Cable", "000000000001"));
        ::setenv("QT7730_LEDGER_DB", rig.dir.file("ledger.db").c_str(), 1);
        std::vector<uint8_t> bytes(256 + 8, 0);
        std::memcpy(bytes.data(), bench::ConfiguredEeprom(0x0C5E, 0x7730, "Veltrona", "USB Bridge Cable",
                                                          "000000000001").data(), 256);
        bytes[256] = 0x30, bytes[257] = 0x77, bytes[260] = 0x00, bytes[261] = 0x01;
        ScriptedPrompter prompter;
        prompter.OpenNext(QString::fromStdString(rig.dir.write("batch.eep", bytes)));
        production::HostFlowMachine machine(rig.Host());
        production::CProductionDlg dlg(prompter, machine, production::HostCableRunner(rig.Host()),
                                       [] { return std::optional<platform::FileVersion>(); });
        DeviceChangeRelay relay(rig.Host(), &dlg, [&] { dlg.OnDeviceChange(); });
        StallProbe probe;
        double worst = 0;
        WhenProductionRuns(&dlg, [&] {
            Serve(500); // the first scan
            worst = rig.PlugAndUnplug(probe);
            dlg.reject();
        });
        dlg.exec();
        state.counters["worst_stall_ms"] = worst;
    }
    state.SetLabel(Label(state));
}
BENCHMARK(BM_TamberWindowStall)->ArgsProduct({{0, 1}, {0, 1}})->Iterations(1)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    if (!EnsureUmockdevPreload(argv))
        return 127;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
