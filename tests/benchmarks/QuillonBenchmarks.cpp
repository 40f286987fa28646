// Quillon's configuration on the in-process bench: the worker's part (from TIMER_START_CONFIG's
// thread start to the OK command handled on the GUI thread), at zero latency and with the bench's
// timing at 1 ms per request and 5 ms per EEPROM block write; and a whole configuration dialog run.
//
//   build/release/tests/benchmarks/quillon_benchmarks

#include "Bench.h"
#include "BridgeConfigDevice.h"
#include "ConfigDlg.h"
#include "ConfigWorker.h"
#include "EditorModel.h"
#include "GuiThread.h"
#include "ScriptedPrompter.h"
#include "SimHost.h"
#include "TempDir.h"
#include "UsbTreeWalker.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>

#include <thread>

namespace {

QApplication &App()
{
    static int argc = 1;
    static char name[] = "quillon_benchmarks";
    static char *argv[] = {name, nullptr};
    static QApplication *app = new QApplication(argc, argv);
    return *app;
}

struct Rig {
    TempDir dir;
    bench::Bench bench;
    platform::SimHost host;
    bench::CableId cable;
    editor::ConfigTarget target;
    EepromImage image;

    Rig()
        : bench([this] {
              bench::BenchOptions options;
              options.systemDirectory = dir.path() / "system";
              return options;
          }()),
          host(bench.Pc())
    {
        bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
        const bench::DeviceId root = bench.AddController(4);
        cable = bench.AddCable();
        bench.PlugSide(cable, bench::Side::A, {root, 1});
        UsbTreeWalker walker(host);
        walker.WalkAllControllers(
            [](void *context, UsbNodeInfo *r) {
                auto *t = static_cast<editor::ConfigTarget *>(context);
                if (r->pszDevicePath && r->pszDriverKey && t->devicePath.empty())
                    *t = {*r->pszDevicePath, *r->pszDriverKey};
                return 1;
            },
            &target);
        editor::EditorModel model([] { return std::tm{}; });
        model.BuildImage();
        image = model.m_image;
    }
};

// The worker's side of the dialog: log lines and questions go to the GUI thread and wait there.
class GuiUi : public editor::ConfigWorkerUi {
public:
    explicit GuiUi(QObject *gui) : m_gui(gui) {}
    void AppendLog(const std::string &text) override { CallOnGui(m_gui, [&] { m_log += text; }); }
    bool AskUpdateInf() override { return CallOnGui(m_gui, [] { return false; }); }
    void ShowFailure() override { CallOnGui(m_gui, [] {}); }
    void UpdateInf(const std::string &, uint16_t, uint16_t) override {}
    std::string m_log;

private:
    QObject *m_gui;
};

void BM_ConfigWorker(benchmark::State &state)
{
    App();
    Rig rig;
    if (state.range(0)) {
        bench::BenchTiming timing;
        timing.controlLatency = std::chrono::milliseconds(1);
        timing.eepromWriteCycle = std::chrono::milliseconds(5);
        rig.bench.SetTiming(timing);
    }
    QObject gui;
    for (auto _ : state) {
        QEventLoop loop;
        int command = 0;
        GuiUi ui(&gui);
        std::thread worker([&] {
            editor::BridgeConfigDevice device(rig.host);
            const int result = editor::RunConfiguration(&rig.target, &rig.image, device, ui);
            PostToGui(&gui, [&, result] {
                command = result;
                loop.quit();
            });
        });
        loop.exec();
        worker.join();
        if (command != editor::kConfigOk)
            state.SkipWithError("configuration failed");
    }
    // 32 block writes and 32 block reads, plus the chip query.
    state.counters["modelled_ms"] = state.range(0) ? 64 * 1.0 + 32 * 5.0 + 1.0 : 0.0;
}
BENCHMARK(BM_ConfigWorker)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConfigWorker)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

// The whole dialog: open, first walk after 100 ms, worker 100 ms later, OK.
void BM_ConfigDialogRun(benchmark::State &state)
{
    App();
    Rig rig;
    ScriptedPrompter prompter;
    for (auto _ : state) {
        prompter.AnswerNext(MessageResult::No);
        CConfigDlg dlg(rig.host, prompter);
        dlg.m_pImage = &rig.image;
        if (dlg.exec() != QDialog::Accepted)
            state.SkipWithError("configuration failed");
    }
}
BENCHMARK(BM_ConfigDialogRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace
