// The bridge's pipes through the sim Host: overlapped reads and writes with manual-reset events, bulk
// completion rules, order, cancel, and the data-path faults.

#include "BenchFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <numeric>

using namespace bench;
using namespace platform;

namespace {

class Pipes : public BenchFixture {
protected:
    void SetUp() override
    {
        InstallDefaultDriver();
        root = bench.AddController(4);
        cable = bench.AddCable();
        bench.PlugSide(cable, Side::A, {root, 1}); // HOSTLNK-1
        bench.PlugSide(cable, Side::B, {root, 2}); // HOSTLNK-2
    }
    void TearDown() override
    {
        for (Handle h : opened)
            host.CloseHandle(h);
    }
    Handle Keep(Handle h)
    {
        opened.push_back(h);
        return h;
    }
    Handle ReadPipe(int n) { return Keep(host.OpenFile(HostLink(n) + "\\3", ACCESS_READ, SHARE_READ, true)); }
    Handle WritePipe(int n) { return Keep(host.OpenFile(HostLink(n) + "\\2", ACCESS_WRITE, SHARE_WRITE, true)); }
    Handle Event() { return Keep(host.CreateEvent(false)); }

    static std::vector<uint8_t> Pattern(std::size_t n)
    {
        std::vector<uint8_t> p(n);
        for (std::size_t i = 0; i < n; ++i)
            p[i] = uint8_t(i + 1);
        return p;
    }

    // One direction as the function test runs it: read started first, then the write, both awaited
    // together for `timeoutMs`. Returns what arrived, or nullopt on a time-out.
    std::optional<std::vector<uint8_t>> Transfer(int readSide, int writeSide, const std::vector<uint8_t>& data,
                                                 uint32_t timeoutMs = 2000)
    {
        Handle r = ReadPipe(readSide), w = WritePipe(writeSide);
        EXPECT_NE(r, INVALID_HANDLE);
        EXPECT_NE(w, INVALID_HANDLE);
        Overlapped ro{Event()}, wo{Event()};
        std::vector<uint8_t> in(data.size(), 0);
        host.ReadFile(r, in.data(), uint32_t(in.size()), ro);
        host.WriteFile(w, data.data(), uint32_t(data.size()), wo);
        const Handle events[] = {ro.event, wo.event};
        const int waited = host.WaitForEvents(events, true, timeoutMs);
        host.CancelIo(r);
        host.CancelIo(w);
        std::uint32_t count = 0;
        host.GetOverlappedResult(r, ro, &count, true);
        host.GetOverlappedResult(w, wo, nullptr, true);
        if (waited != 0)
            return std::nullopt;
        in.resize(count);
        return in;
    }

    DeviceId root = 0;
    CableId cable = 0;
    std::vector<Handle> opened;
};

TEST_F(Pipes, PatternCrossesBothWays)
{
    const auto pattern = Pattern(131071);
    EXPECT_EQ(Transfer(1, 2, pattern), pattern) << "written on B, read on A";
    EXPECT_EQ(Transfer(2, 1, pattern), pattern) << "written on A, read on B";
}

TEST_F(Pipes, BulkCompletionAndOrder)
{
    Handle r = ReadPipe(2), w = WritePipe(1);
    // Two writes queue in order before any read.
    const std::vector<uint8_t> first{1, 2, 3, 4, 5}, second{6, 7, 8};
    Overlapped w1{Event()}, w2{Event()};
    EXPECT_EQ(host.WriteFile(w, first.data(), 5, w1), IoStart::Pending) << "a write waits for its reader";
    EXPECT_EQ(host.WriteFile(w, second.data(), 3, w2), IoStart::Pending);

    // A read smaller than the write completes full; the write completes when all of it is read.
    uint8_t buf[16] = {};
    Overlapped r1{Event()};
    EXPECT_EQ(host.ReadFile(r, buf, 3, r1), IoStart::Completed);
    std::uint32_t n = 0;
    EXPECT_TRUE(host.GetOverlappedResult(r, r1, &n, false));
    EXPECT_EQ(n, 3u);
    EXPECT_FALSE(host.GetOverlappedResult(w, w1, &n, false)) << "two bytes of the first write are left";

    // A larger read ends with the sender's transfer: a short read of the rest, not the next write.
    Overlapped r2{Event()};
    EXPECT_EQ(host.ReadFile(r, buf + 3, 10, r2), IoStart::Completed);
    EXPECT_TRUE(host.GetOverlappedResult(r, r2, &n, true));
    EXPECT_EQ(n, 2u);
    EXPECT_TRUE(host.GetOverlappedResult(w, w1, &n, true));
    EXPECT_EQ(n, 5u);
    Overlapped r3{Event()};
    host.ReadFile(r, buf + 5, 10, r3);
    EXPECT_TRUE(host.GetOverlappedResult(r, r3, &n, true));
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(host.GetOverlappedResult(w, w2, nullptr, true));
    const uint8_t expected[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(std::equal(expected, expected + 8, buf));
    EXPECT_FALSE(host.GetOverlappedResult(r, r3, &n, true)) << "a transfer is collected once";
}

TEST_F(Pipes, CancelAndCloseFinishOutstandingTransfers)
{
    Handle r = ReadPipe(1);
    std::vector<uint8_t> buf(64, 0xAA);
    Overlapped ov{Event()};
    ASSERT_EQ(host.ReadFile(r, buf.data(), 64, ov), IoStart::Pending);
    EXPECT_EQ(host.WaitForEvents(std::span(&ov.event, 1), true, 10), WAIT_TIMED_OUT);
    EXPECT_TRUE(host.CancelIo(r));
    EXPECT_EQ(host.WaitForEvents(std::span(&ov.event, 1), true, 0), 0) << "a cancelled transfer sets its event";
    EXPECT_FALSE(host.GetOverlappedResult(r, ov, nullptr, true));
    EXPECT_EQ(buf[0], 0xAA);

    // Closing a handle with a read in flight: the buffer can go right after the close returns.
    Handle r2 = host.OpenFile(HostLink(1) + "\\3", ACCESS_READ, SHARE_READ, true);
    auto heap = std::make_unique<std::vector<uint8_t>>(64);
    Overlapped ov2{Event()};
    ASSERT_EQ(host.ReadFile(r2, heap->data(), 64, ov2), IoStart::Pending);
    EXPECT_TRUE(host.CloseHandle(r2));
    heap.reset();
    // Data written afterwards must not land anywhere (AddressSanitizer watches).
    Handle w = WritePipe(2);
    const auto data = Pattern(64);
    Overlapped wo{Event()};
    EXPECT_EQ(host.WriteFile(w, data.data(), 64, wo), IoStart::Pending);
    EXPECT_FALSE(host.GetOverlappedResult(r2, ov2, nullptr, false));

    // Unplugging the reading side fails its read.
    Handle r3 = ReadPipe(1);
    Overlapped ov3{Event()};
    uint8_t small[4];
    // The pending write from above feeds this read at once; the next one waits.
    ASSERT_EQ(host.ReadFile(r3, small, 4, ov3), IoStart::Completed);
    EXPECT_TRUE(host.GetOverlappedResult(r3, ov3, nullptr, true));
    bench.UnplugSide(cable, Side::B);
    bench.UnplugSide(cable, Side::A);
    EXPECT_FALSE(host.GetOverlappedResult(w, wo, nullptr, true)) << "the writer's side went away";
    EXPECT_EQ(host.ReadFile(r3, small, 4, ov3), IoStart::Failed);
}

TEST_F(Pipes, DataFaultsFailTheComparison)
{
    const auto pattern = Pattern(4096);
    struct Case {
        ByteFault::Kind kind;
        std::size_t arrives; // 0: the transfer does not finish (the writer still has a byte left)
    };
    for (Case c : {Case{ByteFault::Drop, 4095}, Case{ByteFault::Repeat, 0}, Case{ByteFault::Change, 4096}}) {
        SideFaults f;
        f.sendFault = {c.kind, 1000};
        bench.SetSideFaults(cable, Side::B, f);
        const auto got = Transfer(1, 2, pattern, 100);
        EXPECT_NE(got, pattern) << c.kind;
        if (c.arrives) {
            ASSERT_TRUE(got) << c.kind;
            EXPECT_EQ(got->size(), c.arrives) << c.kind;
            EXPECT_TRUE(std::equal(pattern.begin(), pattern.begin() + 1000, got->begin())) << "intact up to the offset";
        } else {
            EXPECT_FALSE(got) << c.kind;
        }
        EXPECT_EQ(Transfer(2, 1, pattern), pattern) << "the other direction is fine";
    }
    // The repeated byte does arrive, one after the other, when the reader asks for more.
    SideFaults f;
    f.sendFault = {ByteFault::Repeat, 2};
    bench.SetSideFaults(cable, Side::B, f);
    Handle r = ReadPipe(1), w = WritePipe(2);
    const std::vector<uint8_t> data{10, 11, 12, 13};
    std::vector<uint8_t> in(8, 0);
    Overlapped ro{Event()}, wo{Event()};
    host.ReadFile(r, in.data(), 8, ro);
    host.WriteFile(w, data.data(), 4, wo);
    std::uint32_t n = 0;
    EXPECT_TRUE(host.GetOverlappedResult(r, ro, &n, true));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(in, (std::vector<uint8_t>{10, 11, 12, 12, 13, 0, 0, 0}));
    EXPECT_TRUE(host.GetOverlappedResult(w, wo, &n, true));
    EXPECT_EQ(n, 4u) << "the writer counts what it asked to send";
}

TEST_F(Pipes, DeadDirectionAndStallsTimeOut)
{
    const auto pattern = Pattern(1000);
    SideFaults f;
    f.sendDead = true;
    bench.SetSideFaults(cable, Side::A, f);
    EXPECT_FALSE(Transfer(2, 1, pattern, 50)) << "A to B is dead";
    EXPECT_EQ(Transfer(1, 2, pattern), pattern) << "B to A works";

    f = {};
    f.readStalls = true;
    bench.SetSideFaults(cable, Side::A, f);
    EXPECT_FALSE(Transfer(1, 2, pattern, 50));
    f = {};
    f.writeStalls = true;
    bench.SetSideFaults(cable, Side::A, f);
    EXPECT_FALSE(Transfer(2, 1, pattern, 50));
    bench.SetSideFaults(cable, Side::A, {});
    EXPECT_EQ(Transfer(2, 1, pattern), pattern);
}

TEST_F(Pipes, MissingPipesAndRefusedTransfers)
{
    SideFaults f;
    f.pipesMissing = true;
    bench.SetSideFaults(cable, Side::A, f);
    Handle control = Keep(OpenControl(HostLink(1)));
    EXPECT_NE(control, INVALID_HANDLE) << "the control channel still opens";
    EXPECT_EQ(host.OpenFile(HostLink(1) + "\\3", ACCESS_READ, SHARE_READ, true), INVALID_HANDLE);
    EXPECT_EQ(host.OpenFile(HostLink(1) + "\\2", ACCESS_WRITE, SHARE_WRITE, true), INVALID_HANDLE);

    f = {};
    f.transfersRefused = true;
    bench.SetSideFaults(cable, Side::A, f);
    Handle r = ReadPipe(1), w = WritePipe(1);
    uint8_t buf[4] = {};
    Overlapped ro{Event()}, wo{Event()};
    EXPECT_EQ(host.ReadFile(r, buf, 4, ro), IoStart::Failed);
    EXPECT_EQ(host.WriteFile(w, buf, 4, wo), IoStart::Failed);
    const Handle both[] = {ro.event, wo.event};
    EXPECT_EQ(host.WaitForEvents(both, false, 20), WAIT_TIMED_OUT) << "a refused transfer never signals";
}

TEST_F(Pipes, StalledDataFlowsOnceTheFaultIsCleared)
{
    SideFaults f;
    f.writeStalls = true;
    bench.SetSideFaults(cable, Side::A, f);
    Handle r = ReadPipe(2), w = WritePipe(1);
    const auto data = Pattern(10);
    uint8_t buf[10] = {};
    Overlapped ro{Event()}, wo{Event()};
    host.ReadFile(r, buf, 10, ro);
    EXPECT_EQ(host.WriteFile(w, data.data(), 10, wo), IoStart::Pending);
    bench.SetSideFaults(cable, Side::A, {});
    const Handle both[] = {ro.event, wo.event};
    EXPECT_EQ(host.WaitForEvents(both, true, 1000), 0);
    EXPECT_TRUE(host.GetOverlappedResult(r, ro, nullptr, false));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buf));
}

TEST_F(Pipes, ThroughputDelaysCompletion)
{
    BenchTiming timing;
    timing.bulkBytesPerSecond = 1'000'000;
    bench.SetTiming(timing);
    const auto pattern = Pattern(50'000); // 50 ms on the wire
    Handle r = ReadPipe(1), w = WritePipe(2);
    std::vector<uint8_t> in(pattern.size());
    Overlapped ro{Event()}, wo{Event()};
    const auto start = std::chrono::steady_clock::now();
    host.ReadFile(r, in.data(), uint32_t(in.size()), ro);
    EXPECT_EQ(host.WriteFile(w, pattern.data(), uint32_t(pattern.size()), wo), IoStart::Pending);
    const Handle both[] = {ro.event, wo.event};
    ASSERT_EQ(host.WaitForEvents(both, true, 5000), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_TRUE(host.GetOverlappedResult(r, ro, nullptr, false));
    EXPECT_EQ(in, pattern);

    // Closing while a completion is still on the wire fails it, and the buffer is free afterwards.
    Overlapped ro2{Event()}, wo2{Event()};
    auto heap = std::make_unique<std::vector<uint8_t>>(pattern.size());
    host.ReadFile(r, heap->data(), uint32_t(heap->size()), ro2);
    host.WriteFile(w, pattern.data(), uint32_t(pattern.size()), wo2);
    host.CancelIo(r);
    EXPECT_FALSE(host.GetOverlappedResult(r, ro2, nullptr, true));
    heap.reset();
    host.CancelIo(w);
    host.GetOverlappedResult(w, wo2, nullptr, true);
}

TEST_F(Pipes, AccessRulesAndBadCalls)
{
    EXPECT_EQ(host.OpenFile(HostLink(1) + "\\3", ACCESS_WRITE, SHARE_WRITE, true), INVALID_HANDLE);
    EXPECT_EQ(host.OpenFile(HostLink(1) + "\\2", ACCESS_READ, SHARE_READ, true), INVALID_HANDLE);
    EXPECT_EQ(host.OpenFile(HostLink(1) + "\\4", ACCESS_READ, SHARE_READ, true), INVALID_HANDLE);
    EXPECT_EQ(host.OpenFile(HostLink(7) + "\\3", ACCESS_READ, SHARE_READ, true), INVALID_HANDLE);
    Handle r = ReadPipe(1), w = WritePipe(1);
    Handle sync = Keep(host.OpenFile(HostLink(1) + "\\3", ACCESS_READ, SHARE_READ, false));
    ASSERT_NE(sync, INVALID_HANDLE) << "a second open of an open object is allowed";
    uint8_t buf[8];
    Overlapped ov{Event()};
    EXPECT_EQ(host.ReadFile(w, buf, 8, ov), IoStart::Failed) << "read on the write pipe";
    EXPECT_EQ(host.WriteFile(r, buf, 8, ov), IoStart::Failed) << "write on the read pipe";
    EXPECT_EQ(host.ReadFile(sync, buf, 8, ov), IoStart::Failed) << "not opened for overlapped I/O";
    EXPECT_EQ(host.ReadFile(r, nullptr, 8, ov), IoStart::Failed);
    Overlapped noEvent;
    EXPECT_EQ(host.ReadFile(r, buf, 8, noEvent), IoStart::Failed);
    EXPECT_EQ(host.ReadFile(r, buf, 0, ov), IoStart::Completed) << "an empty read is done at once";
    EXPECT_TRUE(host.GetOverlappedResult(r, ov, nullptr, false));
    EXPECT_FALSE(host.CancelIo(INVALID_HANDLE));
    EXPECT_FALSE(host.GetOverlappedResult(r, noEvent, nullptr, true));
}

TEST_F(Pipes, EventsAndWaits)
{
    Handle a = Event(), b = Event();
    const Handle both[] = {a, b};
    EXPECT_EQ(host.WaitForEvents(both, false, 0), WAIT_TIMED_OUT);
    host.SetEvent(b);
    EXPECT_EQ(host.WaitForEvents(both, false, 0), 1);
    EXPECT_EQ(host.WaitForEvents(both, true, 10), WAIT_TIMED_OUT);
    host.SetEvent(a);
    EXPECT_EQ(host.WaitForEvents(both, true, 0), 0);
    host.ResetEvent(a);
    EXPECT_EQ(host.WaitForEvents(both, false, 0), 1) << "manual reset: b stays set";
    EXPECT_EQ(host.WaitForEvents({}, true, 0), WAIT_FAILED);
    const Handle bad[] = {a, 987654};
    EXPECT_EQ(host.WaitForEvents(bad, true, 0), WAIT_FAILED);
    std::vector<Handle> many(65, a);
    EXPECT_EQ(host.WaitForEvents(many, true, 0), WAIT_FAILED);
    EXPECT_FALSE(host.SetEvent(INVALID_HANDLE));
    Handle signalled = Keep(host.CreateEvent(true));
    EXPECT_EQ(host.WaitForEvents(std::span(&signalled, 1), true, 0), 0);

    // A wait is woken by another thread's SetEvent.
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        host.ResetEvent(b);
        host.SetEvent(b);
    });
    host.ResetEvent(b);
    EXPECT_EQ(host.WaitForEvents(std::span(&b, 1), true, 5000), 0);
    setter.join();
}

} // namespace

namespace {

// The kit's threads at once: the dialog thread scans and searches the tree while a worker moves data
// and another cable comes and goes. Sanitizer builds check the locking.
TEST_F(Pipes, ScanWhileAWorkerTransfers)
{
    const CableId other = bench.AddCable();
    std::atomic<bool> stop{false};
    std::atomic<int> scans{0};
    std::thread worker([&] {
        // Transfers start once the scanning has, so the two really overlap.
        while (scans == 0)
            std::this_thread::yield();
        const auto pattern = Pattern(20000);
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(Transfer(i % 2 + 1, 2 - i % 2, pattern), pattern);
        stop = true;
    });
    std::thread plugger([&] {
        while (!stop) {
            bench.PlugSide(other, Side::A, {root, 3});
            bench.UnplugSide(other, Side::A);
        }
    });
    do {
        for (int n = 1; n <= 32; ++n) {
            Handle h = OpenControl(HostLink(n));
            VersionQuery(h);
            host.CloseHandle(h);
        }
        for (DevNode node = host.GetChild(host.GetRootNode()); node; node = host.GetChild(node)) {
            std::string key;
            host.GetNodeProperty(node, DEVNODE_PROP_DRIVER, 260, key);
        }
        ++scans;
    } while (!stop);
    worker.join();
    plugger.join();
    EXPECT_GT(scans, 0);
}

} // namespace
