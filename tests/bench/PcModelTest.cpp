// The PC model with devices of its own making, and the bench's sides churned under live traffic: the
// contracts the two worlds rely on (who is told what, once; opens counted; nothing left pending or
// locked when plugging and traffic run at once).

#include "Bench.h"
#include "PcModel.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A device that keeps every transfer pending until it is cancelled or the device leaves.
class HoldingDevice final : public pcmodel::PluggedDevice {
public:
    bool ControlTransfer(std::uint8_t*, std::uint32_t, std::uint32_t* answered) override
    {
        *answered = 0;
        return true;
    }
    bool StartTransfer(std::uint64_t tag, bool, std::uint32_t, std::vector<std::uint8_t>, Completion done) override
    {
        std::lock_guard lock(m_mutex);
        m_pending.emplace_back(tag, std::move(done));
        return true;
    }
    void CancelTransfers(std::uint64_t tag) override { FailWhere([tag](std::uint64_t t) { return t == tag; }); }
    bool Acquire() override { return ++opens, true; }
    void Release() override { --opens; }
    void Detached() override
    {
        ++detached;
        FailWhere([](std::uint64_t) { return true; });
    }
    std::atomic<int> opens{0}, detached{0}, failed{0};

private:
    template <class Pred> void FailWhere(Pred pred)
    {
        std::vector<Completion> done;
        {
            std::lock_guard lock(m_mutex);
            for (auto it = m_pending.begin(); it != m_pending.end();)
                if (pred(it->first)) {
                    done.push_back(std::move(it->second));
                    it = m_pending.erase(it);
                } else {
                    ++it;
                }
        }
        for (auto& d : done)
            d(false, {}, 0), ++failed;
    }
    std::mutex m_mutex;
    std::vector<std::pair<std::uint64_t, Completion>> m_pending;
};

TEST(PcModel, PluggedDevicesAreCountedToldAndFailedOnceWhateverEndsThem)
{
    TempDir dir;
    pcmodel::PcOptions options;
    options.systemDirectory = dir.path() / "Windows";
    pcmodel::PcModel pc(options);
    pc.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
    const auto root = pc.AddController(2);
    const auto hub = pc.AttachHub({root, 1}, pcmodel::HubSpec{4});
    std::atomic<int> arrivals{0}, removals{0};
    pcmodel::DeviceId announced = 0;
    pc.Subscribe([&](platform::DeviceChange c) { (c == platform::DeviceChange::Arrival ? arrivals : removals)++; });

    auto a = std::make_shared<HoldingDevice>(), b = std::make_shared<HoldingDevice>();
    const pcmodel::PluggedSpec spec{0x0C5E, 0x7730, 0x0100, 0, std::nullopt};
    const auto idA = pc.Attach({hub, 1}, spec, a, {}, [&](pcmodel::DeviceId id) { announced = id; });
    EXPECT_EQ(announced, idA); // known before the subscribers look
    pc.Attach({hub, 2}, spec, b, pcmodel::DeviceFaults{-1, true});
    EXPECT_EQ(pc.DeviceObjectNumber(idA), 1);
    EXPECT_EQ(pc.Open("\\\\.\\HOSTLNK-2\\3", platform::ACCESS_READ, true), 0u); // pipes missing on b

    // Opens are counted; a wire channel is not an open of the PC's.
    const auto control = pc.Open("\\\\.\\HOSTLNK-1", platform::ACCESS_READ | platform::ACCESS_WRITE, false);
    const auto read = pc.Open("\\\\.\\HOSTLNK-1\\3", platform::ACCESS_READ, true);
    const auto wire = pc.OpenWire(idA, pcmodel::Channel::ReadPipe);
    ASSERT_TRUE(control && read && wire);
    EXPECT_EQ(a->opens.load(), 2);
    std::atomic<int> completions{0};
    auto count = [&](bool ok, const std::vector<std::uint8_t>&, std::uint32_t) {
        EXPECT_FALSE(ok);
        ++completions;
    };
    EXPECT_TRUE(pc.StartRead(read, 64, count));
    EXPECT_TRUE(pc.StartRead(wire, 64, count));
    EXPECT_FALSE(pc.StartRead(control, 64, count)); // not a pipe
    EXPECT_TRUE(pc.Cancel(read));
    EXPECT_EQ(completions.load(), 1);

    // The hub leaves with both devices behind it: each told once, what was pending failed once, one
    // removal announced per device, and the handles stay closable but carry nothing.
    EXPECT_TRUE(pc.StartRead(read, 64, count));
    pc.Unplug({root, 1});
    EXPECT_EQ(a->detached.load(), 1);
    EXPECT_EQ(b->detached.load(), 1);
    EXPECT_EQ(completions.load(), 3);
    EXPECT_EQ(removals.load(), 3);
    EXPECT_FALSE(pc.StartRead(read, 64, count));
    std::uint8_t setup[8] = {0xC0, 0xF7, 0, 0, 0, 0, 2, 0};
    EXPECT_FALSE(pc.DeviceRequest(control, platform::IOCTL_VENDOR_REQUEST, setup, 8, nullptr));
    EXPECT_TRUE(pc.Close(read) && pc.Close(control) && pc.Close(wire));
    EXPECT_FALSE(pc.Close(read));
    EXPECT_EQ(a->opens.load(), 0);
    EXPECT_EQ(pc.DeviceObjectNumber(idA), 0);
    EXPECT_TRUE(pc.DeviceObjectNotice().empty());
    EXPECT_EQ(arrivals.load(), 2); // the two devices (subscribed after the hub)
}

// Four cables plugged, unplugged and given faults over and over while readers and writers use their
// device objects: every transfer that started completes exactly once, nothing deadlocks, and the
// world face and the PC face agree at the end.
TEST(PcModel, PluggingAndTrafficAtOnceLeaveBothFacesAgreeing)
{
    TempDir dir;
    bench::BenchOptions options;
    options.systemDirectory = dir.path() / "Windows";
    bench::Bench bench(options);
    bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
    const auto root = bench.AddController(8);
    std::vector<bench::CableId> cables;
    for (int i = 0; i < 4; ++i)
        cables.push_back(bench.AddCable());
    std::atomic<bool> stop{false};
    std::atomic<long> started{0}, finished{0};

    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w)
        threads.emplace_back([&, w] {
            for (int n = 0; !stop; ++n) {
                const int cable = (n + w) % 4, side = n % 2;
                const auto at = bench::PortRef{root, 1 + 2 * cable + side};
                try {
                    if (n % 3 == 2)
                        bench.SetSideFaults(cables[cable], bench::Side(side), bench::SideFaults{});
                    else if (bench.WhereIs(cables[cable], bench::Side(side)))
                        bench.UnplugSide(cables[cable], bench::Side(side));
                    else
                        bench.PlugSide(cables[cable], bench::Side(side), at);
                } catch (const std::invalid_argument&) {
                    // the other plugger got there first
                }
            }
        });
    for (int u = 0; u < 2; ++u)
        threads.emplace_back([&, u] {
            auto& pc = bench.Pc();
            for (int n = 0; !stop; ++n) {
                const std::string name = "\\\\.\\HOSTLNK-" + std::to_string(1 + (n + u) % 8);
                const auto control = pc.Open(name, platform::ACCESS_READ | platform::ACCESS_WRITE, false);
                const auto write = pc.Open(name + "\\2", platform::ACCESS_WRITE, true);
                const auto read = pc.Open(name + "\\3", platform::ACCESS_READ, true);
                std::uint8_t request[10] = {0xC0, 0xFE, 0, 0, 0, 0, 2, 0};
                pc.DeviceRequest(control, platform::IOCTL_VENDOR_REQUEST, request, sizeof request, nullptr);
                auto done = [&](bool, const std::vector<std::uint8_t>&, std::uint32_t) { ++finished; };
                if (pc.StartRead(read, 16, done))
                    ++started;
                if (pc.StartWrite(write, std::vector<std::uint8_t>(16, 0x5A), done))
                    ++started;
                for (auto h : {control, write, read})
                    if (h)
                        pc.Close(h); // fails what is still pending
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop = true;
    for (auto& t : threads)
        t.join();

    EXPECT_GT(started.load(), 0);
    EXPECT_EQ(started.load(), finished.load());
    for (const auto cable : cables)
        for (const auto side : {bench::Side::A, bench::Side::B}) {
            const auto where = bench.WhereIs(cable, side);
            if (!where)
                continue;
            const bench::PortState state = bench.Port(*where);
            EXPECT_EQ(state.kind, bench::PortState::CableSide);
            EXPECT_EQ(state.cable, cable);
            EXPECT_TRUE(bench.Identity(state.device)->cableSide);
        }
}

} // namespace
