// Quillon's editor and configuration dialogs against the in-process bench: the real dialogs, device
// layer and topology walk; only the message boxes and file choosers are answered by a script.

#include "BenchFixture.h"
#include "ConfigDlg.h"
#include "EditorDlg.h"
#include "FixedDay.h"
#include "InfUpdate.h"
#include "QtTestApp.h"
#include "RecordingHost.h"
#include "RunCommand.h"
#include "ScriptedPrompter.h"
#include "UsbTreeWalker.h"

#include <QElapsedTimer>
#include <QThread>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <fstream>

#include <sys/fsuid.h>

using bench::Side;

void PrintTo(const QString &text, std::ostream *out) { *out << '"' << text.toStdString() << '"'; }

namespace {

const QString kFound = "Found a QT7730 device to config...\r\n";
const QString kInit = "Initialize device\t";
const QString kWrite = "Write EEPROM data\t";
const QString kVerify = "Verify configuration\t";
const QString kAllOk = kFound + kInit + "OK\r\n" + kWrite + "OK\r\n" + kVerify + "OK\r\n";

class ConfigOnBench : public BenchFixture {
protected:
    ConfigOnBench()
    {
        QtTestApp::App();
        InstallDefaultDriver();
        root = bench.AddController(8);
        editor = std::make_unique<CEditorDlg>(
            prompter, host, [this](QWidget *parent, EepromImage *image) { return RunConfig(parent, image); },
            FixedDay);
    }

    bench::CableId PlugBlankCable()
    {
        const bench::CableId cable = bench.AddCable();
        bench.PlugSide(cable, Side::A, {root, nextPort++});
        return cable;
    }

    // The configuration dialog as the editor runs it, watched every few milliseconds; the operator
    // cancels it after `giveUpMs` (refused while its worker runs).
    int RunConfig(QWidget *parent, EepromImage *image)
    {
        CConfigDlg config(configHost ? *configHost : host, prompter, parent);
        config.m_pImage = image;
        QElapsedTimer clock;
        clock.start();
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, &config, [&] {
            if (duringRun)
                duringRun(config);
            if (clock.elapsed() > giveUpMs)
                config.reject();
        });
        watch.start(2);
        const int result = config.exec();
        log = config.m_strLog;
        shownLog = config.LogEdit()->toPlainText();
        title = config.windowTitle();
        return result;
    }

    // Presses "Config" and returns the configuration dialog's result.
    int Configure()
    {
        editor->ConfigButton()->click();
        return editor->Model().m_nState == editor::EditorModel::Configured ? QDialog::Accepted : QDialog::Rejected;
    }

    std::vector<uint8_t> BuiltBytes() const
    {
        const uint8_t *b = editor->Model().m_image.Bytes();
        return {b, b + 256};
    }
    std::vector<uint8_t> EepromOf(bench::CableId cable) const
    {
        const auto e = bench.Eeprom(cable);
        return {e.begin(), e.end()};
    }
    std::string InfText() const
    {
        std::ifstream in(bench.DriverInfPath(), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }

    // The failure tail every failed run ends with.
    void ExpectFailedRun(const QString &lastStep)
    {
        EXPECT_TRUE(log.endsWith(lastStep + "Fail\r\n")) << log.toStdString();
        EXPECT_EQ(prompter.lastText(), "Config device fail");
        EXPECT_EQ(prompter.shown().back().buttons, MessageButtons::Ok);
        EXPECT_EQ(editor->Model().m_nState, editor::EditorModel::Editing);
        EXPECT_EQ(editor->ConfigButton()->text(), "Config");
    }

    bench::DeviceId root = 0;
    int nextPort = 1;
    ScriptedPrompter prompter;
    std::unique_ptr<CEditorDlg> editor;
    int giveUpMs = 5000;
    platform::Host *configHost = nullptr; // the configuration dialog's own, when not `host`
    std::function<void(CConfigDlg &)> duringRun;
    QString log, shownLog, title;
};

TEST_F(ConfigOnBench, BlankCableIsProgrammedVerifiedAndSaved)
{
    const bench::CableId cable = PlugBlankCable();
    ASSERT_EQ(Configure(), QDialog::Accepted) << log.toStdString();
    EXPECT_EQ(title, "Config QT7730");
    EXPECT_EQ(log, kAllOk);
    EXPECT_EQ(shownLog, QString(kAllOk).replace("\r\n", "\n"));
    EXPECT_EQ(EepromOf(cable), BuiltBytes());
    EXPECT_EQ(editor->ConfigButton()->text(), "Save");
    EXPECT_FALSE(editor->LoadButton()->isEnabled());

    const auto asked = prompter.shown();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].text, "Configure device completely\nUpdate INF file to support this device ID?");
    EXPECT_EQ(asked[0].caption, "Config");
    EXPECT_EQ(asked[0].buttons, MessageButtons::YesNo);

    const std::string path = dir.file("QT7730_Veltrona_1.eep");
    prompter.SaveNext(QString::fromStdString(path));
    editor->ConfigButton()->click();
    EXPECT_EQ(editor->result(), QDialog::Accepted);
    EepromImage saved;
    ASSERT_EQ(saved.LoadFile(path, 0x7730), 0);
    EXPECT_EQ(saved.m_rec.dwChipModel.get(), 0x7730u);
    EXPECT_EQ(saved.m_rec.dwChipVersion.get(), bench.Chip(cable).version);
    EXPECT_EQ(std::vector<uint8_t>(saved.Bytes(), saved.Bytes() + 256), EepromOf(cable));
}

// The kit's udev rule asks qt7730-inf-match whether a device's IDs are in the INF the programs bind
// by: its exit status, for `vid pid` as udev gives them.
int InfMatch(const bench::Bench &bench, const std::string &vid, const std::string &pid)
{
    const std::string env = "QT7730_DATA_DIR='" + bench.Options().systemDirectory.string() + "' QT7730_INF_NAME='" +
                            bench.Options().driverInfName + "' ";
    return RunCommand(env + INF_MATCH_PATH " " + vid + " " + pid).status;
}

TEST_F(ConfigOnBench, YesTeachesTheInfAndTheReplugedCableIsBoundToItsNewIdentity)
{
    const bench::CableId cable = PlugBlankCable();
    editor->VendorIdEdit()->setText("1234");
    editor->ProductIdEdit()->setText("abcd");
    EXPECT_EQ(InfMatch(bench, "0c5e", "7730"), 0);
    EXPECT_EQ(InfMatch(bench, "1234", "abcd"), 1); // the operators may not open it yet
    ASSERT_EQ(Configure(), QDialog::Accepted) << log.toStdString();
    EXPECT_EQ(InfMatch(bench, "1234", "abcd"), 0); // the rule gives access at its next plug-in
    const std::string line = editor::InfModelLine(0x1234, 0xABCD);
    const std::string inf = InfText();
    ASSERT_NE(inf.find("[Veltrona]\r\n" + line + "\r\n"), std::string::npos) << inf;

    bench.UnplugSide(cable, Side::A);
    bench.PlugSide(cable, Side::A, {root, 1});
    EXPECT_GT(bench.DeviceObjectNumber(cable, Side::A), 0);
    UsbTreeWalker walker(host);
    struct Seen {
        int bound = 0;
    } seen;
    walker.WalkAllControllers(
        [](void *context, UsbNodeInfo *r) {
            if (r->idVendor == 0x1234 && r->idProduct == 0xABCD && r->pszDriverKey && r->pszDevicePath)
                ++static_cast<Seen *>(context)->bound;
            return 1;
        },
        &seen);
    EXPECT_EQ(seen.bound, 1);
}

TEST_F(ConfigOnBench, NoLeavesTheInfAsItWas)
{
    PlugBlankCable();
    editor->VendorIdEdit()->setText("1234");
    const std::string before = InfText();
    prompter.AnswerNext(MessageResult::No);
    ASSERT_EQ(Configure(), QDialog::Accepted);
    EXPECT_EQ(InfText(), before);
}

TEST_F(ConfigOnBench, CablePluggedInLaterIsFoundAfterTheDeviceChange)
{
    bench::CableId cable = 0;
    bool prompted = false;
    duringRun = [&](CConfigDlg &config) {
        if (!prompted && config.m_strLog == "Please plug in a QT7730 device to config...") {
            prompted = true;
            cable = PlugBlankCable();
        }
    };
    ASSERT_EQ(Configure(), QDialog::Accepted) << log.toStdString();
    EXPECT_TRUE(prompted);
    EXPECT_EQ(log, kAllOk);
    EXPECT_EQ(EepromOf(cable), BuiltBytes());
}

// The dialog's scans and walks never run on its own thread: with a chip that never answers plugged
// beside the blank cable (every scan then waits for it), no device is opened on the dialog's thread
// from the first scan to the verified configuration.
TEST_F(ConfigOnBench, NoDeviceIsOpenedOnTheDialogsThreadEvenBesideASilentChip)
{
    RecordingHost watched(host);
    std::atomic<int> onDialogThread{0};
    watched.refuseOpen = [&](std::string_view) {
        onDialogThread += QThread::currentThread() == QCoreApplication::instance()->thread();
        return false;
    };
    configHost = &watched;
    const bench::CableId cable = PlugBlankCable(); // the walk's first
    const bench::CableId silent = bench.AddCable();
    bench::SideFaults dead;
    dead.chipSilent = true;
    bench.SetSideFaults(silent, Side::A, dead);
    bench.PlugSide(silent, Side::A, {root, 8});
    giveUpMs = 15000;
    ASSERT_EQ(Configure(), QDialog::Accepted) << log.toStdString();
    EXPECT_EQ(EepromOf(cable), BuiltBytes());
    EXPECT_GT(watched.opens(), 0u);
    EXPECT_EQ(onDialogThread.load(), 0);
}

TEST_F(ConfigOnBench, OnlyTheFirstOfTwoCablesIsConfigured)
{
    const bench::CableId first = PlugBlankCable();
    const bench::CableId second = PlugBlankCable();
    ASSERT_EQ(Configure(), QDialog::Accepted);
    EXPECT_EQ(EepromOf(first), BuiltBytes());
    EXPECT_EQ(EepromOf(second), std::vector<uint8_t>(256, 0xFF));
}

TEST_F(ConfigOnBench, CableWithoutDriverIsNotCounted)
{
    bench.WriteDriverInf({"USB\\VID_0C5E&PID_7701"});
    const bench::CableId cable = PlugBlankCable();
    giveUpMs = 400;
    EXPECT_EQ(Configure(), QDialog::Rejected);
    EXPECT_EQ(log, "Please plug in a QT7730 device to config...");
    EXPECT_TRUE(prompter.shown().empty());
    EXPECT_EQ(EepromOf(cable), std::vector<uint8_t>(256, 0xFF));
}

TEST_F(ConfigOnBench, FailingBlockWriteEndsWithFailAndCancel)
{
    const bench::CableId cable = PlugBlankCable();
    bench::SideFaults faults;
    faults.failEepromBlock = 5;
    bench.SetSideFaults(cable, Side::A, faults);
    EXPECT_EQ(Configure(), QDialog::Rejected);
    ExpectFailedRun(kWrite);
}

TEST_F(ConfigOnBench, ReadBackMismatchEndsWithFailAndCancel)
{
    const bench::CableId cable = PlugBlankCable();
    bench::CableFaults faults;
    faults.flippedEepromBit = 255 * 8 + 7; // the very last bit
    bench.SetCableFaults(cable, faults);
    EXPECT_EQ(Configure(), QDialog::Rejected);
    ExpectFailedRun(kVerify);
}

TEST_F(ConfigOnBench, UnpluggedDuringTheWriteEndsWithFailAndCancel)
{
    const bench::CableId cable = PlugBlankCable();
    bench::BenchTiming slow;
    slow.eepromWriteCycle = std::chrono::milliseconds(4);
    bench.SetTiming(slow);
    bool closeTried = false;
    duringRun = [&](CConfigDlg &config) {
        if (config.m_strLog.endsWith(kWrite) && bench.DeviceObjectNumber(cable, Side::A) != 0) {
            // The operator tries to close the dialog first: refused while the worker runs.
            config.reject();
            closeTried = config.isVisible() && config.WorkerRunning();
            bench.UnplugSide(cable, Side::A);
        }
    };
    EXPECT_EQ(Configure(), QDialog::Rejected);
    EXPECT_TRUE(closeTried);
    ExpectFailedRun(kWrite);
}

// A system that cannot start one more thread.
class ThreadlessConfigDlg : public CConfigDlg {
public:
    using CConfigDlg::CConfigDlg;
    bool StartWorkerThread(std::function<void()>) override { return false; }
};

TEST_F(ConfigOnBench, WorkerThatCannotStartEndsWithFailAndCancel)
{
    const bench::CableId cable = PlugBlankCable();
    EepromImage image;
    ThreadlessConfigDlg config(host, prompter);
    config.m_pImage = &image;
    EXPECT_EQ(config.exec(), QDialog::Rejected);
    EXPECT_EQ(config.m_strLog, kFound + "Start configuration\tFail\r\n");
    EXPECT_EQ(prompter.lastText(), "Config device fail");
    EXPECT_EQ(EepromOf(cable), std::vector<uint8_t>(256, 0xFF));
}

TEST_F(ConfigOnBench, DialogWithoutAnImageEndsAtOnce)
{
    CConfigDlg config(host, prompter);
    EXPECT_EQ(config.exec(), QDialog::Rejected);
    EXPECT_TRUE(config.m_strLog.isEmpty());
}

} // namespace

#ifdef KIT_TESTS_ON_USB
// A blank cable this user may not open: the run fails at its first step, and the dialog's log names
// the side's device node and what to do (never the bench).
TEST_F(ConfigOnBench, ACableThisUserMayNotOpenIsNamedInTheLog)
{
    RecordingHost watched(host);
    // Root opens anything: every thread that opens a device looks as an operator would.
    watched.refuseOpen = [](std::string_view) {
        setfsuid(65534);
        return false;
    };
    configHost = &watched;
    const bench::CableId cable = bench.AddCable();
    usb.emulator.DenyAccess(bench.PlugSide(cable, Side::A, {root, nextPort++}));
    ASSERT_EQ(Configure(), QDialog::Rejected);
    EXPECT_TRUE(log.startsWith(kFound + kInit + "Fail\r\n")) << log.toStdString();
    EXPECT_TRUE(shownLog.contains("may not open it: /dev/bus/usb/")) << shownLog.toStdString();
    EXPECT_FALSE(shownLog.contains("bench"));
}
#endif
