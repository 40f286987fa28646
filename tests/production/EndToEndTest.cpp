// Tamber through its real windows against the in-process bench: each group is one situation on the
// production line, from plugging a cable in to unplugging it.

#include "EmbeddedVersion.h"
#include "AboutDlg.h"
#include "HostMachine.h"
#include "HostServer.h"
#include "SocketHost.h"
#include "InfoDlg.h"
#include "ProductionDlg.h"
#include "ProductionScript.h"
#include "RecordingHost.h"
#include "ScriptedPrompter.h"
#include "DeviceChangeRelay.h"
#include "TamberApp.h"
#include "TamberRig.h"
#include "TamberTexts.h"
#include "WindowTimers.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/fsuid.h>

using namespace production;
using bench::Side;

namespace {

constexpr int kVerdictMs = 8000;

class EndToEnd : public ::testing::Test {
protected:
    explicit EndToEnd(std::chrono::milliseconds installTime = std::chrono::milliseconds(0)) : rig(installTime) {}

    void SetUp() override
    {
        machine = std::make_unique<HostFlowMachine>(rig.sim);
        dlg = std::make_unique<CProductionDlg>(prompter, *machine, HostCableRunner(rig.sim), [this] {
            return rig.sim.GetFileVersion(rig.sim.GetModuleFileName());
        });
        relay = std::make_unique<DeviceChangeRelay>(rig.sim, dlg.get(), [this] { dlg->OnDeviceChange(); });
    }
    void TearDown() override
    {
        relay.reset();
        dlg.reset();
    }

    // Chooses `image` in the EEPROM Info dialog, presses Start, then runs `script` inside the main
    // window's modal loop; the script ends by closing the window.
    int Production(const std::string &image, std::function<void()> script)
    {
        prompter.OpenNext(QString::fromStdString(image));
        WhenProductionRuns(dlg.get(), [this, script] {
            // What is plugged while the first scan runs counts as there before the start: the
            // scripts plug their cables after it.
            EXPECT_TRUE(QTest::qWaitFor([&] { return !dlg->Flow().Detecting(); }, 5000));
            script();
            if (dlg->isVisible())
                dlg->reject();
        });
        return dlg->exec();
    }

    CDetectDlg &Prompt() { return *dlg->m_pDetectDlg; }
    QString Log() { return dlg->m_log->toPlainText(); }
    bool VerdictShows() { return Prompt().isVisible() && Prompt().m_stcResult->isVisible(); }
    bool WaitVerdict(int ms = kVerdictMs) { return QTest::qWaitFor([&] { return VerdictShows(); }, ms); }
    void ExpectVerdict(const char *text, bool green)
    {
        EXPECT_EQ(Prompt().m_stcResult->text(), text);
        EXPECT_EQ(Prompt().m_stcResult->m_bGreen, green);
    }
    bool WaitLogCleared(int ms = 3000) { return QTest::qWaitFor([&] { return Log().isEmpty(); }, ms); }
    // The last log line, without its line end.
    QString LastLine()
    {
        const QStringList lines = Log().split('\n', Qt::SkipEmptyParts);
        return lines.isEmpty() ? QString() : lines.back();
    }

    TamberRig rig;
    ScriptedPrompter prompter;
    std::unique_ptr<HostFlowMachine> machine;
    std::unique_ptr<CProductionDlg> dlg;
    std::unique_ptr<DeviceChangeRelay> relay;
};

// Tamber's window over a host that counts the devices opened on the window's own thread.
class EndToEndWatched : public EndToEnd {
protected:
    void SetUp() override
    {
        watched.refuseOpen = [this](std::string_view) {
            onWindowThread += QThread::currentThread() == QCoreApplication::instance()->thread();
            return false;
        };
        machine = std::make_unique<HostFlowMachine>(watched);
        dlg = std::make_unique<CProductionDlg>(prompter, *machine, HostCableRunner(watched),
                                               [] { return std::optional<platform::FileVersion>(); });
        relay = std::make_unique<DeviceChangeRelay>(rig.sim, dlg.get(), [this] { dlg->OnDeviceChange(); });
    }

    RecordingHost watched{rig.sim};
    std::atomic<int> onWindowThread{0};
};

const QString kFiveOkLines = "Initialize device\tOK\n"
                             "Check chip version\tOK\n"
                             "Verify configuration\tOK\n"
                             "Send data from side A to B\tOK\n"
                             "Send data from side B to A\tOK\n";

} // namespace

TEST_F(EndToEnd, GoodCablePassesAndTheLogClearsWhenBothEndsLeave)
{
    const auto cable = rig.AddCable();
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        ASSERT_TRUE(QTest::qWaitFor([&] { return Prompt().isVisible(); }, 2000));
        EXPECT_EQ(Prompt().m_stcPrompt->text(), LoadText(IDS_PLUG_IN));
        rig.PlugBoth(cable, 1);
        ASSERT_TRUE(WaitVerdict());
        ExpectVerdict("OK", true);
        EXPECT_EQ(Prompt().m_stcPrompt->text(), "Please unplug this device...");
        EXPECT_EQ(Log(), kFiveOkLines);
        rig.bench.UnplugSide(cable, Side::A);
        QTest::qWait(700);
        EXPECT_EQ(Log(), kFiveOkLines); // one end still there
        rig.bench.UnplugSide(cable, Side::B);
        ASSERT_TRUE(WaitLogCleared());
        EXPECT_FALSE(Prompt().m_stcResult->isVisible());
        EXPECT_EQ(Prompt().m_stcPrompt->text(), LoadText(IDS_PLUG_IN));
    });
}

TEST_F(EndToEnd, OneEndOnlyAsksForTheOtherAndStaysSoWhenItLeaves)
{
    const auto cable = rig.AddCable();
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        rig.Plug(cable, Side::A, 1);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Prompt().m_stcPrompt->text() == kTextAnotherEnd; }, 3000));
        rig.bench.UnplugSide(cable, Side::A);
        QTest::qWait(1500);
        EXPECT_EQ(Prompt().m_stcPrompt->text(), kTextAnotherEnd);
        EXPECT_TRUE(Log().isEmpty());
    });
}

TEST_F(EndToEnd, ForeignIdsShowRedNgUntilADeviceObjectLeaves)
{
    const auto foreign = rig.AddCable(bench::ConfiguredEeprom(TamberRig::kForeignVid, TamberRig::kForeignPid));
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        rig.PlugBoth(foreign, 1);
        ASSERT_TRUE(WaitVerdict());
        ExpectVerdict("N/G", false);
        EXPECT_EQ(Prompt().ShownIcon(), 133);
        EXPECT_TRUE(Log().isEmpty()); // nothing was tested
        rig.bench.UnplugSide(foreign, Side::A);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !Prompt().m_stcResult->isVisible(); }, 3000));
        EXPECT_EQ(Prompt().ShownIcon(), 132);
    });
}

TEST_F(EndToEnd, BlankImageSkipsTheEepromAndTheChipVersion)
{
    bench::EepromBytes eeprom = TamberRig::BatchEeprom();
    std::memset(eeprom.data() + 160, 0xFF, 32);
    const auto cable = rig.AddCable(eeprom, 0x8005); // another version of the same model
    EXPECT_EQ(Production(rig.WriteImage(eeprom), [&] {
                  rig.PlugBoth(cable, 1);
                  ASSERT_TRUE(WaitVerdict());
                  ExpectVerdict("OK", true);
                  EXPECT_TRUE(Log().contains("Verify configuration\tSkip\n"));
              }),
              QDialog::Rejected);
}

TEST_F(EndToEnd, SerialTextTakesNoPartInTheComparison)
{
    const auto cable = rig.AddCable(TamberRig::BatchEeprom("000000000777"));
    Production(rig.WriteImage(TamberRig::BatchEeprom("000000000001")), [&] {
        rig.PlugBoth(cable, 1);
        ASSERT_TRUE(WaitVerdict());
        ExpectVerdict("OK", true);
    });
}

TEST_F(EndToEnd, WrongChipVersionFailsTheChipCheck)
{
    const auto cable = rig.AddCable(TamberRig::BatchEeprom(), 0x8006);
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        rig.PlugBoth(cable, 1);
        ASSERT_TRUE(WaitVerdict());
        ExpectVerdict("N/G", false);
        EXPECT_EQ(LastLine(), "Check chip version\tFAIL");
    });
}

TEST_F(EndToEnd, OneEepromByteOffFailsVerification)
{
    bench::EepromBytes eeprom = TamberRig::BatchEeprom();
    eeprom[9] ^= 0x02; // bMaxPower
    const auto cable = rig.AddCable(eeprom);
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        rig.PlugBoth(cable, 1);
        ASSERT_TRUE(WaitVerdict());
        ExpectVerdict("N/G", false);
        EXPECT_EQ(LastLine(), "Verify configuration\tFAIL");
    });
}

// Each data fault on one side's sending: side B's data fails "A to B" (A reads), side A's "B to A".
TEST_F(EndToEnd, DataFaultsFailTheirOwnDirection)
{
    struct Case {
        Side sender;
        bench::SideFaults faults;
        const char *line;
    };
    std::vector<Case> cases;
    for (Side sender : {Side::B, Side::A}) {
        const char *line = sender == Side::B ? "Send data from side A to B\tFAIL" : "Send data from side B to A\tFAIL";
        bench::SideFaults dead;
        dead.sendDead = true;
        cases.push_back({sender, dead, line});
        for (auto kind : {bench::ByteFault::Drop, bench::ByteFault::Repeat, bench::ByteFault::Change}) {
            bench::SideFaults f;
            f.sendFault = {kind, 65536};
            cases.push_back({sender, f, line});
        }
    }
    std::vector<bench::CableId> cables;
    for (const Case &c : cases) {
        cables.push_back(rig.AddCable());
        rig.bench.SetSideFaults(cables.back(), c.sender, c.faults);
    }
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            SCOPED_TRACE(i);
            rig.PlugBoth(cables[i], 1);
            ASSERT_TRUE(WaitVerdict());
            ExpectVerdict("N/G", false);
            EXPECT_EQ(LastLine(), cases[i].line);
            if (cases[i].sender == Side::A) {
                EXPECT_TRUE(Log().contains("Send data from side A to B\tOK\n"));
            }
            rig.UnplugBoth(cables[i]);
            ASSERT_TRUE(WaitLogCleared());
        }
    });
}

TEST_F(EndToEnd, TransferThatNeverCompletesFailsAfterTheLimit)
{
    const auto cable = rig.AddCable();
    bench::SideFaults stall;
    stall.readStalls = true;
    rig.bench.SetSideFaults(cable, Side::A, stall);
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        rig.PlugBoth(cable, 1);
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(WaitVerdict(kVerdictMs + 3000));
        EXPECT_GE(clock.elapsed(), 2000 + 1000);
        ExpectVerdict("N/G", false);
        EXPECT_EQ(LastLine(), "Send data from side A to B\tFAIL");
        // Cancelled and collected: the cable is usable again at once.
        rig.bench.SetSideFaults(cable, Side::A, {});
        rig.UnplugBoth(cable);
        ASSERT_TRUE(WaitLogCleared());
        rig.PlugBoth(cable, 1);
        ASSERT_TRUE(WaitVerdict());
        ExpectVerdict("OK", true);
    });
}

TEST_F(EndToEnd, ThreeMatchingEndsTestTheFirstTwoAndWatchOnlyThem)
{
    const auto first = rig.AddCable();
    const auto second = rig.AddCable();
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        rig.PlugBoth(first, 1);
        rig.Plug(second, Side::A, 3);
        ASSERT_TRUE(WaitVerdict());
        ExpectVerdict("OK", true);
        rig.UnplugBoth(first);
        ASSERT_TRUE(WaitLogCleared()); // the third end does not hold the result
    });
}

TEST_F(EndToEnd, CablePresentBeforeTheImageIsTestedOnlyAfterReplug)
{
    const auto cable = rig.AddCable();
    rig.PlugBoth(cable, 1);
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        rig.bench.AttachDevice({rig.root, 5}); // a mouse comes
        QTest::qWait(1500);
        EXPECT_TRUE(Log().isEmpty());
        EXPECT_FALSE(Prompt().m_stcResult->isVisible());
        rig.bench.UnplugSide(cable, Side::B);
        QTest::qWait(1300);
        rig.Plug(cable, Side::B, 2);
        ASSERT_TRUE(WaitVerdict());
        ExpectVerdict("OK", true);
    });
}

TEST_F(EndToEnd, NewCableWhileAResultShowsWaitsForALaterChange)
{
    const auto first = rig.AddCable();
    const auto second = rig.AddCable();
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        rig.PlugBoth(first, 1);
        ASSERT_TRUE(WaitVerdict());
        const QString firstLog = Log();
        rig.PlugBoth(second, 3);
        QTest::qWait(1500);
        EXPECT_EQ(Log(), firstLog);
        EXPECT_EQ(Prompt().m_stcPrompt->text(), "Please unplug this device...");
        rig.UnplugBoth(first);
        ASSERT_TRUE(WaitLogCleared());
        QTest::qWait(1500);
        EXPECT_TRUE(Log().isEmpty()); // not tested yet
        rig.bench.AttachDevice({rig.root, 6}); // any later change
        ASSERT_TRUE(WaitVerdict());
        ExpectVerdict("OK", true);
        EXPECT_EQ(Log(), kFiveOkLines);
    });
}

class EndToEndInstalling : public EndToEnd {
protected:
    EndToEndInstalling() : EndToEnd(std::chrono::milliseconds(2500)) {}
};

TEST_F(EndToEndInstalling, DetectionWaitsWhileInstallationsArePending)
{
#ifdef KIT_TESTS_ON_USB
    GTEST_SKIP() << "nothing installs drivers on the USB world: the kit itself is the chip's driver";
#endif
    const auto cable = rig.AddCable();
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        QElapsedTimer clock;
        clock.start();
        rig.PlugBoth(cable, 1);
        QTest::qWait(1800);
        EXPECT_TRUE(Log().isEmpty());
        EXPECT_TRUE(dlg->Timers().IsArmed(TIMER_DETECT)); // still waiting, in steps of a second
        ASSERT_TRUE(WaitVerdict());
        EXPECT_GE(clock.elapsed(), 2500);
        ExpectVerdict("OK", true);
    });
}

TEST_F(EndToEnd, ClosingWhileARunIsInFlightWaitsForIt)
{
    const auto cable = rig.AddCable();
    bench::SideFaults stall;
    stall.writeStalls = true;
    rig.bench.SetSideFaults(cable, Side::B, stall);
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        rig.PlugBoth(cable, 1);
        ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->Flow().WorkerRunning(); }, 3000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return Log().contains("Send data"); }, 3000));
        dlg->m_pDetectDlg->m_btnCancel->click(); // the prompt window is hidden; its Cancel still ends
        dlg->reject();
        EXPECT_FALSE(dlg->Flow().WorkerRunning());
    });
    dlg.reset(); // nothing of the run may touch the window after this
    QTest::qWait(100);
}

TEST_F(EndToEnd, ChineseTextsThroughout)
{
    InstallTextTable(QLocale("zh_CN"));
    const auto cable = rig.AddCable();
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        ASSERT_TRUE(QTest::qWaitFor([&] { return Prompt().isVisible(); }, 2000));
        EXPECT_EQ(Prompt().windowTitle(), QString::fromUtf8("注意"));
        EXPECT_EQ(Prompt().m_btnCancel->text(), QString::fromUtf8("取消"));
        EXPECT_EQ(Prompt().m_stcPrompt->text(), QString::fromUtf8("请以USB线连接一个已设定过的装置来进行测试..."));
        rig.PlugBoth(cable, 1);
        ASSERT_TRUE(WaitVerdict());
        ExpectVerdict("OK", true);
        EXPECT_EQ(Prompt().m_stcPrompt->text(), QString::fromUtf8("请拔除此装置..."));
        EXPECT_TRUE(Log().startsWith(QString::fromUtf8("启用装置\tOK\n检查chip版本\tOK\n核对EEPROM资料\tOK\n")));
    });
    InstallTextTable(QLocale("en_US"));
}

// The data test over the bench daemon's socket, where a read's bytes reach the buffer only when the
// transfer is collected: both directions pass, a stalled one fails and leaves nothing in flight.
TEST(FunctionTestOverSocket, CollectsBeforeComparingAndCancelsAfterTheLimit)
{
#ifdef KIT_TESTS_ON_USB
    GTEST_SKIP() << "a bench-only case: it runs with the bench's own tests";
#endif
    TamberRig rig;
    const auto cable = rig.AddCable();
    rig.PlugBoth(cable, 1);
    benchwire::HostServer server(rig.sim);
    std::string error;
    ASSERT_TRUE(server.Start(rig.dir.file("vbench.sock"), error)) << error;
    benchwire::SocketHost socket(rig.dir.file("vbench.sock"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return socket.Connected(); }, 2000));
    HostCableIo io(socket);
    const std::string a = "\\\\.\\HOSTLNK-" + std::to_string(rig.bench.DeviceObjectNumber(cable, Side::A));
    const std::string b = "\\\\.\\HOSTLNK-" + std::to_string(rig.bench.DeviceObjectNumber(cable, Side::B));
    EXPECT_EQ(io.TransferTest(a, b), 1);
    EXPECT_EQ(io.TransferTest(b, a), 1);

    bench::SideFaults stall;
    stall.readStalls = true;
    rig.bench.SetSideFaults(cable, Side::A, stall);
    EXPECT_EQ(io.TransferTest(a, b), 0);
    rig.bench.SetSideFaults(cable, Side::A, {});
    EXPECT_EQ(io.TransferTest(a, b), 1);
}

// The About box's line comes from the version the build embeds in the program's own file.
TEST(TamberProgram, CarriesItsVersionForTheAboutBox)
{
#ifdef KIT_TESTS_ON_USB
    GTEST_SKIP() << "a bench-only case: it runs with the bench's own tests";
#endif
    const std::optional<platform::FileVersion> version = platform::ReadEmbeddedVersion(TAMBER_PATH);
    ASSERT_TRUE(version);
    EXPECT_EQ(VersionLine(*version), "Function Test 1.3");
    EXPECT_EQ(version->fileVersionLS, 0u);
}

// Detection (scans, walks) and the unplug poll never run on the window's thread: a cable whose chip
// never answers sits beside the batch's cable (every scan waits for it), and still the good cable is
// found, tested and seen leaving with no device opened on the window's thread.
TEST_F(EndToEndWatched, NoDeviceIsOpenedOnTheWindowsThreadEvenBesideASilentChip)
{
    const auto silent = rig.AddCable();
    bench::SideFaults dead;
    dead.chipSilent = true;
    rig.bench.SetSideFaults(silent, Side::A, dead);
    const auto cable = rig.AddCable();
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        rig.PlugBoth(cable, 1);
        rig.Plug(silent, Side::A, 8);
        ASSERT_TRUE(WaitVerdict(15000));
        ExpectVerdict("OK", true);
        rig.bench.UnplugSide(cable, Side::A);
        rig.bench.UnplugSide(cable, Side::B);
        ASSERT_TRUE(WaitLogCleared(6000));
    });
    EXPECT_GT(watched.opens(), 0u);
    EXPECT_EQ(onWindowThread.load(), 0);
}

// What no scan shows is said in the prompt window's second line until it goes: the 33rd and 34th
// sides, for which no device object is left.
TEST_F(EndToEnd, SidesThatCannotBeUsedAreSaidInThePromptWindow)
{
    // Sixteen cables (32 sides, every device object) on four 8-port hubs, there before the start.
    std::vector<bench::CableId> sixteen;
    for (int hub = 0; hub < 4; ++hub) {
        const bench::DeviceId h = rig.bench.AttachHub({rig.root, 3 + hub}, bench::HubSpec{8});
        for (int port = 1; port <= 8; port += 2) {
            sixteen.push_back(rig.AddCable());
            rig.bench.PlugSide(sixteen.back(), Side::A, {h, port});
            rig.bench.PlugSide(sixteen.back(), Side::B, {h, port + 1});
        }
    }
    const auto extra = rig.AddCable();
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        rig.PlugBoth(extra, 1);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Prompt().m_stcDetail->text().contains("no device object"); }, 5000));
        EXPECT_TRUE(Prompt().m_stcDetail->text().startsWith("2 cable sides have no device object")) << Prompt().m_stcDetail->text().toStdString();
        EXPECT_TRUE(Prompt().isVisible());
        rig.bench.UnplugSide(extra, Side::A);
        rig.bench.UnplugSide(extra, Side::B);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Prompt().m_stcDetail->text().isEmpty(); }, 5000));
    });
}

#ifdef KIT_TESTS_ON_USB
// A side this user may not open is named in the prompt window by its device node, with what to do
// (never the bench); the run of that cable fails at its first step.
TEST_F(EndToEndWatched, ASideThisUserMayNotOpenIsNamedInThePromptWindow)
{
    // Root opens anything: every thread that opens a device looks as an operator would.
    watched.refuseOpen = [](std::string_view) {
        setfsuid(65534);
        return false;
    };
    const auto cable = rig.AddCable();
    Production(rig.WriteImage(TamberRig::BatchEeprom()), [&] {
        // Refused after both are there: a node that appears later would not be open to all.
        rig.Plug(cable, Side::B, 2);
        rig.usb.emulator.DenyAccess(rig.bench.PlugSide(cable, Side::A, {rig.root, 1}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return Prompt().m_stcDetail->text().contains("may not open it: /dev/bus/usb/"); }, 5000));
        EXPECT_TRUE(Prompt().m_stcDetail->text().contains("plugdev")) << Prompt().m_stcDetail->text().toStdString();
        EXPECT_FALSE(Prompt().m_stcDetail->text().contains("bench"));
    });
}
#endif
