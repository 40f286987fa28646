#include "FakeFlow.h"
#include "TamberIcons.h"
#include "TamberTexts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using namespace production;
using namespace production_test;

namespace {

struct Flow : ::testing::Test {
    FakeView view;
    FakeMachine machine;
    std::atomic<int> runs{0};
    std::atomic<bool> passRun{true};
    std::promise<void> releaseWorker;
    std::shared_future<void> workerGate;
    std::unique_ptr<ProductionFlow> flow;
    RunInputs lastRun;

    void SetUp() override
    {
        flow = std::make_unique<ProductionFlow>(view, machine, [this](const RunInputs &in, const LogFn &log) {
            ++runs;
            lastRun = in;
            if (workerGate.valid())
                workerGate.wait();
            log("Initialize device\tOK\r\n");
            return passRun.load();
        });
        machine.ports = {{0x046D, 0xC077, "{mouse}\\0001", "USB\\VID_046D&PID_C077\\1", ""}};
    }
    void TearDown() override
    {
        if (workerGate.valid())
            releaseWorker.set_value();
        flow.reset();
    }

    void StartBatch(const std::string &vid = "0C5E", const std::string &pid = "7730")
    {
        BatchImage batch;
        batch.image.m_rec.dwChipModel.set(0x7730);
        batch.image.m_rec.dwChipVersion.set(0x0100);
        batch.vendorId = vid;
        batch.productId = pid;
        flow->Start(batch);
        ASSERT_TRUE(view.Armed(TIMER_READY));
        Fire(TIMER_READY);
    }
    void Fire(int id)
    {
        ASSERT_TRUE(view.Armed(id)) << id;
        flow->OnTimer(id);
    }
    // An end of the cable: device object `bit`, port IDs, instance `id`.
    void Plug(int bit, const std::string &id, uint16_t vid = 0x0C5E, uint16_t pid = 0x7730, bool driver = true)
    {
        machine.mask |= 1u << bit;
        machine.ports.push_back({vid, pid, driver ? "{bridge}\\" + id : "", id, "\\\\.\\" + id});
        flow->OnDeviceChange();
    }
    void Unplug(int bit, const std::string &id)
    {
        machine.mask &= ~(1u << bit);
        for (FakePort &p : machine.ports)
            if (p.deviceId == id)
                p.present = false;
        flow->OnDeviceChange();
    }
    void RunToVerdict()
    {
        Fire(TIMER_START_TEST);
        ASSERT_TRUE(view.PumpUntil([&] { return !flow->WorkerRunning(); }));
        Fire(flow->Log().find("FAIL") == std::string::npos ? TIMER_PASS : TIMER_FAIL);
    }
};

} // namespace

TEST_F(Flow, StartShowsTheWaitingPrompt)
{
    machine.mask = 0x5;
    StartBatch();
    EXPECT_EQ(flow->DevMask(), 0x5u);
    EXPECT_EQ(flow->Pattern(), "USB\\VID_0C5E&PID_7730");
    EXPECT_EQ(view.icon, IDI_SEARCHING);
    EXPECT_EQ(view.prompt, LoadTextUtf8(IDS_PLUG_IN));
    EXPECT_FALSE(view.resultShown);
    EXPECT_TRUE(view.promptShown);
}

TEST_F(Flow, NotificationBurstGivesOneTickASecondAfterTheLast)
{
    StartBatch();
    for (int i = 0; i < 5; ++i)
        flow->OnDeviceChange();
    EXPECT_EQ(view.timers.at(TIMER_DETECT), 1000);
    Fire(TIMER_DETECT);
    EXPECT_EQ(machine.scans, 2); // start-up and this tick
    EXPECT_FALSE(view.Armed(TIMER_DETECT));
}

TEST_F(Flow, GoodCableFromPlugToUnplug)
{
    StartBatch();
    Plug(0, "END-A");
    Fire(TIMER_DETECT);
    EXPECT_EQ(view.prompt, kTextAnotherEnd);
    EXPECT_TRUE(view.promptShown);
    EXPECT_EQ(flow->DevMask(), 0u); // the end counts as new again at the next tick

    Plug(1, "END-B");
    Fire(TIMER_DETECT);
    EXPECT_FALSE(view.promptShown);
    EXPECT_EQ(view.timers.at(TIMER_START_TEST), 100);
    EXPECT_EQ(flow->InstanceA(), "END-A");
    EXPECT_EQ(flow->InstanceB(), "END-B");
    EXPECT_EQ(machine.lastMarks[0], PortMatch::None); // the mouse

    RunToVerdict();
    EXPECT_EQ(*lastRun.sideA.devicePath, "\\\\.\\END-A");
    EXPECT_EQ(*lastRun.sideB.devicePath, "\\\\.\\END-B");
    EXPECT_EQ(lastRun.chipModel, 0x7730u);
    EXPECT_TRUE(view.resultShown);
    EXPECT_EQ(view.resultText, "OK");
    EXPECT_TRUE(view.resultGreen);
    EXPECT_EQ(view.icon, IDI_FOUND);
    EXPECT_EQ(view.prompt, LoadTextUtf8(IDS_UNPLUG));
    EXPECT_EQ(view.timers.at(TIMER_UNPLUG), 500);
    EXPECT_EQ(view.log, "Initialize device\tOK\r\n");

    // While the result shows, notifications only cancel a tick; the log stays until both ends leave.
    Unplug(0, "END-A");
    EXPECT_FALSE(view.Armed(TIMER_DETECT));
    Fire(TIMER_UNPLUG);
    EXPECT_TRUE(view.Armed(TIMER_UNPLUG));
    EXPECT_EQ(view.log, "Initialize device\tOK\r\n");
    Unplug(1, "END-B");
    Fire(TIMER_UNPLUG);
    EXPECT_FALSE(view.Armed(TIMER_UNPLUG));
    EXPECT_EQ(view.log, "");
    EXPECT_FALSE(view.resultShown);
    EXPECT_EQ(view.icon, IDI_SEARCHING);
    EXPECT_EQ(view.prompt, LoadTextUtf8(IDS_PLUG_IN));
    EXPECT_EQ(view.detail, "");
    EXPECT_FALSE(flow->WaitingForUnplug());
    EXPECT_EQ(flow->DevMask(), 0u);
}



TEST_F(Flow, MatchingPortWithoutDriverIsMarkedButNotCounted)
{
    StartBatch();
    Plug(0, "END-A", 0x0C5E, 0x7730, false);
    Plug(1, "END-B", 0x0C5E, 0x7730, false);
    Fire(TIMER_DETECT);
    EXPECT_EQ(machine.lastMarks, (std::vector<PortMatch>{PortMatch::None, PortMatch::MatchedNoDriver,
                                                          PortMatch::MatchedNoDriver}));
    EXPECT_EQ(view.resultText, "N/G");
    EXPECT_FALSE(view.Armed(TIMER_START_TEST));
}

TEST_F(Flow, KeyIsCaseSensitiveAgainstThePattern)
{
    PortView port{0x0C5E, 0x7730, "key", "id", "path", "0-1"};
    EXPECT_EQ(flow->MatchPort(port), PortMatch::None); // no pattern before the ready stage
    StartBatch("0c5e", "7730");
    EXPECT_EQ(flow->MatchPort(port), PortMatch::None);
    StartBatch("0C5E", "7730");
    EXPECT_EQ(flow->MatchPort(port), PortMatch::Accepted);
}




TEST_F(Flow, TicksDuringARunOrAResultNeverWalk)
{
    releaseWorker = std::promise<void>();
    workerGate = releaseWorker.get_future().share();
    StartBatch();
    Plug(0, "END-A");
    Plug(1, "END-B");
    Fire(TIMER_DETECT);
    flow->OnDeviceChange(); // a notification while the run is about to start arms no tick,
    EXPECT_FALSE(view.Armed(TIMER_DETECT));
    flow->OnTimer(TIMER_DETECT); // and a tick armed before that does nothing.
    EXPECT_EQ(machine.walks, 1);
    Fire(TIMER_START_TEST);
    EXPECT_TRUE(flow->WorkerRunning());
    Plug(2, "NEW-A");
    EXPECT_FALSE(view.Armed(TIMER_DETECT)); // The same during the run,
    flow->OnTimer(TIMER_DETECT);
    EXPECT_EQ(machine.walks, 1);
    releaseWorker.set_value();
    workerGate = {};
    ASSERT_TRUE(view.PumpUntil([&] { return !flow->WorkerRunning(); }));
    // and between the worker's end and its verdict: a tick would see NEW-A, walk, find this cable's
    // two ends again and start a second run of it.
    flow->OnDeviceChange();
    EXPECT_FALSE(view.Armed(TIMER_DETECT));
    flow->OnTimer(TIMER_DETECT);
    EXPECT_EQ(machine.walks, 1);
    EXPECT_FALSE(view.Armed(TIMER_START_TEST));
    Fire(TIMER_PASS);
    flow->OnTimer(TIMER_DETECT);
    EXPECT_EQ(machine.walks, 1);
    EXPECT_EQ(view.resultText, "OK");
}


TEST_F(Flow, WorkerThatCannotStartFailsVisibly)
{
    flow->SetThreadStarter([](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    StartBatch();
    Plug(0, "END-A");
    Plug(1, "END-B");
    Fire(TIMER_DETECT);
    Fire(TIMER_START_TEST);
    EXPECT_FALSE(flow->WorkerRunning());
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(view.log, "Initialize device\tFAIL\n");
    Plug(2, "NEW-A");
    flow->OnTimer(TIMER_DETECT); // the verdict is pending: no walk, no second start
    EXPECT_EQ(machine.walks, 1);
    EXPECT_FALSE(view.Armed(TIMER_START_TEST));
    Fire(TIMER_FAIL);
    EXPECT_EQ(view.resultText, "N/G");
}

TEST_F(Flow, ShutdownWaitsForTheWorkerAndDropsItsResults)
{
    releaseWorker = std::promise<void>();
    workerGate = releaseWorker.get_future().share();
    StartBatch();
    Plug(0, "END-A");
    Plug(1, "END-B");
    Fire(TIMER_DETECT);
    Fire(TIMER_START_TEST);
    auto closing = std::async(std::launch::async, [&] { flow->Shutdown(); });
    EXPECT_EQ(closing.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    releaseWorker.set_value();
    workerGate = {};
    closing.get();
    EXPECT_FALSE(flow->WorkerRunning());
    // The worker's late calls reach a flow that has closed: they change nothing.
    std::deque<std::function<void()>> late;
    {
        std::lock_guard<std::mutex> guard(view.lock);
        late.swap(view.queue);
    }
    EXPECT_FALSE(late.empty());
    for (auto &call : late)
        call();
    EXPECT_EQ(view.log, "");
    EXPECT_FALSE(view.Armed(TIMER_PASS));
}

TEST_F(Flow, WithoutUsableIdsNothingIsEverTested)
{
    StartBatch("", "7730");
    Plug(0, "END-A");
    Plug(1, "END-B");
    Fire(TIMER_DETECT);
    EXPECT_EQ(machine.walks, 0);
    EXPECT_FALSE(view.Armed(TIMER_START_TEST));
}
