// Soak: 200 good cables in a row through Tamber's real windows on the in-process bench, with the
// flow's timers fired as soon as they are armed. Prints memory, open file descriptors and threads at
// the start (after one warm-up cable) and at the end; none of them may grow.
//
//   QT_QPA_PLATFORM=offscreen build/release/tests/production/tamber_soak [cycles]

#include "HostMachine.h"
#include "InfoDlg.h"
#include "ProductionDlg.h"
#include "ScriptedPrompter.h"
#include "DeviceChangeRelay.h"
#include "TamberApp.h"
#include "TamberRig.h"
#include "WindowTimers.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace production;

namespace {

struct Usage {
    long rssKiB = 0;
    long fds = 0;
    long threads = 0;
};

Usage Measure()
{
    Usage u;
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:")
            status >> u.rssKiB;
        else if (key == "Threads:")
            status >> u.threads;
    }
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++u.fds;
    return u;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;

    TamberRig rig;
    // Every cable's outcome goes to a ledger of the run's own, not the station's.
    setenv("QT7730_LEDGER_DB", rig.dir.file("ledger.db").c_str(), 1);
    const bench::CableId cable = rig.AddCable();
    ScriptedPrompter prompter;
    prompter.OpenNext(QString::fromStdString(rig.WriteImage(TamberRig::BatchEeprom())));
    HostFlowMachine machine(rig.sim);
    CProductionDlg dlg(prompter, machine, HostCableRunner(rig.sim), {});
    DeviceChangeRelay relay(rig.sim, &dlg, [&dlg] { dlg.OnDeviceChange(); });

    int passed = 0, failed = 0;
    Usage start, end;
    QTimer::singleShot(0, &dlg, [&] {
        if (auto *info = dynamic_cast<CInfoDlg *>(QApplication::activeModalWidget()))
            info->m_btnStart->click();
    });
    auto fireArmed = [&] {
        for (int id : {TIMER_READY, TIMER_PASS, TIMER_FAIL, TIMER_START_TEST, TIMER_DETECT, TIMER_UNPLUG})
            if (dlg.Timers().IsArmed(id)) {
                dlg.Timers().Kill(id);
                dlg.Flow().OnTimer(id);
            }
    };
    auto until = [&](auto done) {
        while (!done()) {
            QApplication::processEvents(QEventLoop::AllEvents, 5);
            fireArmed();
        }
    };
    QTimer::singleShot(50, &dlg, [&] {
        for (int i = 0; i <= cycles; ++i) {
            rig.PlugBoth(cable, 1);
            until([&] { return dlg.Flow().WaitingForUnplug(); });
            (dlg.m_pDetectDlg->m_stcResult->m_bGreen ? passed : failed)++;
            rig.UnplugBoth(cable);
            until([&] { return !dlg.Flow().WaitingForUnplug(); });
            if (i == 0)
                start = Measure(); // after the warm-up cable
        }
        end = Measure();
        dlg.reject();
    });
    dlg.exec();

    std::printf("cycles: %d passed, %d failed (plus one warm-up)\n", passed - 1, failed);
    std::printf("start: RSS %ld KiB, %ld open fds, %ld threads\n", start.rssKiB, start.fds, start.threads);
    std::printf("end:   RSS %ld KiB, %ld open fds, %ld threads\n", end.rssKiB, end.fds, end.threads);
    return failed == 0 && end.fds <= start.fds && end.threads <= start.threads ? 0 : 1;
}
