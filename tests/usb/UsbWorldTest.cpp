// The USB backend through libusb and an emulated usbfs: the device layer over a bench topology
// (controller, root hub, an external hub, cables, an ordinary device), vendor requests, pipes,
// unplugging and the failures a real cable can show.

#include "BridgeDevice.h"
#include "TempDir.h"
#include "UsbTreeWalker.h"
#include "UsbWorld.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>

#include <sys/fsuid.h>

using bench::Side;

namespace {

class UsbDevices : public ::testing::Test {
protected:
    static bench::BenchOptions Options(const TempDir &dir)
    {
        bench::BenchOptions options;
        options.systemDirectory = dir.path() / "Windows";
        return options;
    }

    UsbDevices()
    {
        bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730", "USB\\VID_0C5E&PID_7701"});
        root = bench.AddController(4);
        hub = bench.AttachHub({root, 2}, bench::HubSpec{4});
        bench::DeviceSpec mouse;
        mouse.description = "USB Mouse";
        bench.AttachDevice({root, 1}, mouse);
    }

    bench::CableId PlugCable(bench::ChipSpec chip = {})
    {
        bench::CableSpec spec;
        spec.chip = chip;
        const bench::CableId cable = bench.AddCable(spec);
        bench.PlugSide(cable, Side::A, {hub, nextPort++});
        bench.PlugSide(cable, Side::B, {hub, nextPort++});
        return cable;
    }

    platform::Host &Host() { return world->host; }
    void Start() { world = std::make_unique<UsbWorld>(bench); }

    TempDir dir;
    bench::Bench bench{Options(dir)};
    bench::DeviceId root = 0, hub = 0;
    int nextPort = 1;
    std::unique_ptr<UsbWorld> world;
};

// Collects the walk's records as "VID:PID path" lines.
std::vector<std::string> Walk(platform::Host &host)
{
    UsbTreeWalker walker(host);
    std::vector<std::string> seen;
    walker.WalkAllControllers(
        [](void *context, UsbNodeInfo *record) {
            char line[300];
            std::snprintf(line, sizeof line, "%04X:%04X %s", record->idVendor, record->idProduct,
                          record->pszDevicePath.value_or("-").c_str());
            static_cast<std::vector<std::string> *>(context)->push_back(line);
            return 1;
        },
        &seen);
    return seen;
}

TEST_F(UsbDevices, ScanWalkAndVendorRequestsGoThroughLibusb)
{
    const auto cable = PlugCable();
    bench::ChipSpec old;
    old.model = 0x7701;
    old.statusOnly = true;
    PlugCable(old);
    Start();

    // Both sides of the QT7730 cable are device objects 1 and 2; the status-only QT7701 is not wanted.
    EXPECT_EQ(ScanBridgeDevices(0x7730, Host()), 0x3u);
    EXPECT_EQ(ScanBridgeDevices(0x7701, Host()), 0xCu);

    // The walk: the mouse on root port 1 (no driver, no path), then the four sides behind the hub.
    const auto seen = Walk(Host());
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0], "046D:C077 -");
    for (int i = 1; i < 5; ++i) {
        EXPECT_EQ(seen[i].substr(0, 9), i < 3 ? "0C5E:7730" : "0C5E:7701");
        EXPECT_NE(seen[i].find("\\\\.\\USB#VID_0C5E"), std::string::npos) << seen[i];
    }

    // A side opened by its walk path: chip query, a whole-EEPROM write and read-back, prepare.
    BridgeDevice side(Host());
    ASSERT_TRUE(side.Open(seen[1].substr(10)));
    uint32_t model = 0, version = 0;
    ASSERT_TRUE(side.QueryChip(&model, &version));
    EXPECT_EQ(model, 0x7730u);
    EXPECT_EQ(version, 0x0100u);
    uint8_t written[256], read[256];
    for (int i = 0; i < 256; ++i)
        written[i] = uint8_t(i * 7 + 3);
    ASSERT_TRUE(side.WriteEeprom(written, 0, 256));
    ASSERT_TRUE(side.ReadEeprom(read, 0, 256));
    EXPECT_EQ(std::memcmp(read, written, 256), 0);
    EXPECT_EQ(bench.Eeprom(cable)[200], written[200]); // it landed in the cable
    EXPECT_TRUE(side.SendPrepareRequest());

    // A request the chip stalls fails, and the next one goes through again.
    bench::SideFaults stall;
    stall.failRequest = 0xFE;
    bench.SetSideFaults(cable, Side::A, stall);
    EXPECT_FALSE(side.ReadEeprom(read, 0, 256));
    EXPECT_TRUE(side.QueryChip(&model, &version));
    side.Close();

    // The QT7701 refuses the version query; its status bytes decide.
    BridgeDevice older(Host());
    ASSERT_TRUE(older.Open("\\\\.\\HOSTLNK-3"));
    ASSERT_TRUE(older.QueryChip(&model, &version));
    EXPECT_EQ(model, 0x7701u);
    EXPECT_EQ(version, 0x8003u);
}

TEST_F(UsbDevices, AShortControlAnswerIsCountedAsItCameAndFailsARequestThatNeedsMore)
{
    const auto cable = PlugCable();
    Start();
    const bench::DeviceId sideA = bench.Port({hub, 1}).device;
    BridgeDevice side(Host());
    ASSERT_TRUE(side.Open("\\\\.\\HOSTLNK-1"));
    auto versionQuery = [&](uint32_t *returned) {
        VendorRequest request;
        request.Prepare(kChipQueryBufferSize, VendorRequest::kTypeIn, REQUEST_VERSION, 0, 2);
        const bool ok = Host().DeviceIoControl(side.ControlHandle(), platform::IOCTL_VENDOR_REQUEST, request.bytes,
                                               request.size, returned);
        return ok ? std::optional<uint16_t>(uint16_t(request.Data()[0] | request.Data()[1] << 8)) : std::nullopt;
    };
    uint32_t returned = 0;
    EXPECT_EQ(versionQuery(&returned), std::optional<uint16_t>(0x0100));
    EXPECT_EQ(returned, 10u); // the setup packet and the two bytes the chip returned

    // No answer at all, then half an EEPROM block: each request fails and says why, once.
    ::testing::internal::CaptureStderr();
    world->emulator.ShortenAnswers(sideA, 0);
    EXPECT_EQ(versionQuery(&returned), std::nullopt);
    EXPECT_EQ(returned, 0u);
    EXPECT_FALSE(side.QueryChip(nullptr, nullptr));
    world->emulator.ShortenAnswers(sideA, 4);
    uint8_t block[256];
    std::memset(block, 0x5A, sizeof block);
    EXPECT_FALSE(side.ReadEeprom(block, 0, 256));
    EXPECT_FALSE(side.ReadEeprom(block, 0, 256));
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("answered 0 of the 2 bytes of vendor request 0xF7; the request failed"), std::string::npos)
        << said;
    EXPECT_NE(said.find("answered 4 of the 8 bytes of vendor request 0xFE"), std::string::npos) << said;
    EXPECT_EQ(said.find("0xFE", said.find("0xFE") + 1), std::string::npos) << said;

    world->emulator.ShortenAnswers(sideA, -1);
    EXPECT_TRUE(side.ReadEeprom(block, 0, 256));
    EXPECT_EQ(std::memcmp(block, bench.Eeprom(cable).data(), 256), 0);
}

// Overlapped transfers on a side's pipes, as the function test makes them.
struct Pipes {
    platform::Host &host;
    platform::Handle read = 0, write = 0, readEvent = 0, writeEvent = 0;
    Pipes(platform::Host &h, const std::string &readSide, const std::string &writeSide) : host(h)
    {
        read = host.OpenFile(readSide + "\\3", platform::ACCESS_READ, platform::SHARE_READ, true);
        write = host.OpenFile(writeSide + "\\2", platform::ACCESS_WRITE, platform::SHARE_WRITE, true);
        readEvent = host.CreateEvent(false);
        writeEvent = host.CreateEvent(false);
    }
    ~Pipes()
    {
        for (auto h : {read, write, readEvent, writeEvent})
            host.CloseHandle(h);
    }
};

TEST_F(UsbDevices, PipesCarryDataAcrossAndFailCleanly)
{
    const auto cable = PlugCable();
    Start();
    const std::string a = "\\\\.\\HOSTLNK-1", b = "\\\\.\\HOSTLNK-2";
    std::vector<uint8_t> pattern(131071), received(131071);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = uint8_t(i + 1);

    {   // A to B: the read on B completes when it is full.
        Pipes p(Host(), b, a);
        ASSERT_NE(p.read, 0u);
        ASSERT_NE(p.write, 0u);
        platform::Overlapped ro{p.readEvent}, wo{p.writeEvent};
        ASSERT_NE(Host().ReadFile(p.read, received.data(), uint32_t(received.size()), ro), platform::IoStart::Failed);
        ASSERT_NE(Host().WriteFile(p.write, pattern.data(), uint32_t(pattern.size()), wo), platform::IoStart::Failed);
        const platform::Handle both[] = {p.readEvent, p.writeEvent};
        ASSERT_EQ(Host().WaitForEvents(both, true, 2000), 0);
        uint32_t got = 0, sent = 0;
        EXPECT_TRUE(Host().GetOverlappedResult(p.read, ro, &got, true));
        EXPECT_TRUE(Host().GetOverlappedResult(p.write, wo, &sent, true));
        EXPECT_EQ(got, 131071u);
        EXPECT_EQ(sent, 131071u);
        EXPECT_EQ(received, pattern);
    }
    {   // A dead direction: the write completes, the read never does; after the limit it is cancelled.
        bench::SideFaults dead;
        dead.sendDead = true;
        bench.SetSideFaults(cable, Side::B, dead);
        Pipes p(Host(), a, b);
        platform::Overlapped ro{p.readEvent}, wo{p.writeEvent};
        ASSERT_NE(Host().ReadFile(p.read, received.data(), 4096, ro), platform::IoStart::Failed);
        ASSERT_NE(Host().WriteFile(p.write, pattern.data(), 4096, wo), platform::IoStart::Failed);
        EXPECT_EQ(Host().WaitForEvents(std::span(&p.writeEvent, 1), true, 2000), 0);
        EXPECT_EQ(Host().WaitForEvents(std::span(&p.readEvent, 1), true, 300), platform::WAIT_TIMED_OUT);
        EXPECT_TRUE(Host().CancelIo(p.read));
        uint32_t got = 99;
        EXPECT_FALSE(Host().GetOverlappedResult(p.read, ro, &got, true));
        EXPECT_EQ(got, 0u);
        bench.SetSideFaults(cable, Side::B, {});
    }
    {   // A side unplugged while its read waits: the read fails, and its device object is gone.
        Pipes p(Host(), a, b);
        platform::Overlapped ro{p.readEvent};
        ASSERT_NE(Host().ReadFile(p.read, received.data(), 4096, ro), platform::IoStart::Failed);
        bench.UnplugSide(cable, Side::A);
        EXPECT_EQ(Host().WaitForEvents(std::span(&p.readEvent, 1), true, 3000), 0);
        EXPECT_FALSE(Host().GetOverlappedResult(p.read, ro, nullptr, true));
        EXPECT_TRUE(UsbWorld::WaitFor([&] { return ScanBridgeDevices(0x7730, Host()) == 0x2u; }));
    }
}

struct Collected {
    bool ok = false;
    uint32_t count = 0;
};

// Collects a transfer on another thread. One that is not collected within 20 s (many times any limit
// of the backend) hangs its caller for ever: the test program ends there, since the backend still
// holds the caller's memory.
Collected CollectOrEnd(platform::Host &host, platform::Handle pipe, platform::Overlapped &ov)
{
    auto result = std::make_shared<std::promise<Collected>>();
    auto future = result->get_future();
    std::thread([&host, pipe, &ov, result] {
        Collected c;
        c.ok = host.GetOverlappedResult(pipe, ov, &c.count, true);
        result->set_value(c);
    }).detach();
    if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "a transfer was never collected: its caller would hang for ever";
        std::fflush(nullptr);
        std::_Exit(1);
    }
    return future.get();
}

TEST_F(UsbDevices, ReadsEndAtAShortPacketAndEveryCancelEnds)
{
    PlugCable();
    Start();
    const std::string a = "\\\\.\\HOSTLNK-1", b = "\\\\.\\HOSTLNK-2";
    const bench::DeviceId sideB = bench.Port({hub, 2}).device;
    const std::string first(40, 'x'), second(40, 'y');
    std::vector<uint8_t> received(64, 0xAA);

    {   // Two 40-byte writes into 64-byte reads: each read ends with its packet's 40 bytes, none lost.
        Pipes p(Host(), b, a);
        platform::Overlapped ro{p.readEvent}, wo{p.writeEvent};
        ASSERT_NE(Host().ReadFile(p.read, received.data(), 64, ro), platform::IoStart::Failed);
        ASSERT_NE(Host().WriteFile(p.write, first.data(), 40, wo), platform::IoStart::Failed);
        ASSERT_EQ(Host().WaitForEvents(std::span(&p.readEvent, 1), true, 3000), 0) << "a short packet did not end the read";
        Collected got = CollectOrEnd(Host(), p.read, ro);
        EXPECT_TRUE(got.ok);
        EXPECT_EQ(got.count, 40u);
        EXPECT_EQ(std::string(received.begin(), received.begin() + 40), first);
        EXPECT_TRUE(CollectOrEnd(Host(), p.write, wo).ok);
        ASSERT_NE(Host().WriteFile(p.write, second.data(), 40, wo), platform::IoStart::Failed);
        ASSERT_NE(Host().ReadFile(p.read, received.data(), 64, ro), platform::IoStart::Failed);
        got = CollectOrEnd(Host(), p.read, ro);
        EXPECT_TRUE(got.ok);
        EXPECT_EQ(got.count, 40u);
        EXPECT_EQ(std::string(received.begin(), received.begin() + 40), second);
        EXPECT_TRUE(CollectOrEnd(Host(), p.write, wo).ok);
    }
    {   // A short packet racing its cancel: the collection always returns, with the packet's bytes or
        // none, never a resubmitted read that nothing cancels.
        Pipes p(Host(), b, a);
        for (int i = 0; i < 100; ++i) {
            platform::Overlapped ro{p.readEvent}, wo{p.writeEvent};
            std::fill(received.begin(), received.end(), 0xAA);
            ASSERT_NE(Host().ReadFile(p.read, received.data(), 64, ro), platform::IoStart::Failed);
            ASSERT_NE(Host().WriteFile(p.write, first.data(), 40, wo), platform::IoStart::Failed);
            if (i % 2)
                std::this_thread::yield();
            Host().CancelIo(p.read);
            const Collected got = CollectOrEnd(Host(), p.read, ro);
            Host().CancelIo(p.write);
            CollectOrEnd(Host(), p.write, wo);
            ASSERT_TRUE(got.count == 0 || got.count == 40) << got.count;
            if (got.count == 40)
                EXPECT_EQ(std::string(received.begin(), received.begin() + 40), first);
            else
                EXPECT_EQ(received[0], 0xAA);
        }
    }
    {   // A cancellation the device never delivers: the caller is told within the backend's limit,
        // and what the transfer brings afterwards never reaches the caller's buffer.
        world->emulator.HoldDiscards(sideB);
        Pipes p(Host(), b, a);
        platform::Overlapped ro{p.readEvent}, wo{p.writeEvent};
        std::fill(received.begin(), received.end(), 0xAA);
        ASSERT_NE(Host().ReadFile(p.read, received.data(), 64, ro), platform::IoStart::Failed);
        EXPECT_TRUE(Host().CancelIo(p.read));
        const Collected got = CollectOrEnd(Host(), p.read, ro);
        EXPECT_FALSE(got.ok);
        EXPECT_EQ(got.count, 0u);
        // The lost transfer now receives a packet after all.
        ASSERT_NE(Host().WriteFile(p.write, first.data(), 40, wo), platform::IoStart::Failed);
        EXPECT_TRUE(CollectOrEnd(Host(), p.write, wo).ok);
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // libusb delivers the late completion
        EXPECT_EQ(std::count(received.begin(), received.end(), 0xAA), 64);

        // A read still out when its pipe closes: the close ends, and the side opens and works again.
        ASSERT_NE(Host().ReadFile(p.read, received.data(), 64, ro), platform::IoStart::Failed);
        EXPECT_TRUE(Host().CloseHandle(p.read));
        p.read = 0;
        world->emulator.HoldDiscards(sideB, false);
    }
    {
        Pipes p(Host(), b, a);
        ASSERT_NE(p.read, 0u);
        platform::Overlapped ro{p.readEvent}, wo{p.writeEvent};
        ASSERT_NE(Host().ReadFile(p.read, received.data(), 64, ro), platform::IoStart::Failed);
        ASSERT_NE(Host().WriteFile(p.write, second.data(), 40, wo), platform::IoStart::Failed);
        const Collected got = CollectOrEnd(Host(), p.read, ro);
        EXPECT_TRUE(got.ok);
        EXPECT_EQ(got.count, 40u);
        EXPECT_EQ(std::string(received.begin(), received.begin() + 40), second);
        EXPECT_TRUE(CollectOrEnd(Host(), p.write, wo).ok);
    }
}

TEST_F(UsbDevices, AHubWhosePortCountCameLateIsReadAgainAtTheNextChange)
{
    Start();
    world->emulator.HidePortCounts(true);
    const bench::DeviceId late = bench.AttachHub({root, 3}, bench::HubSpec{8}); // seen with no port count
    world->emulator.HidePortCounts(false);
    world->emulator.ShowPortCount(late);
    const auto cable = bench.AddCable();
    bench.PlugSide(cable, Side::A, {late, 6}); // beyond the four ports taken for a hub without a count
    bench.PlugSide(cable, Side::B, {late, 8});
    EXPECT_TRUE(UsbWorld::WaitFor([&] { return ScanBridgeDevices(0x7730, Host()) == 0x3u; }));
    EXPECT_EQ(Walk(Host()).size(), 3u); // the mouse and both sides
}

TEST_F(UsbDevices, HotPlugIsNotifiedAndARefusedOpenIsReportedOnce)
{
    Start();
    std::atomic<int> arrivals{0}, removals{0};
    const auto id = Host().SubscribeDeviceChanges([&](platform::DeviceChange change) {
        (change == platform::DeviceChange::Arrival ? arrivals : removals)++;
    });
    EXPECT_EQ(ScanBridgeDevices(0x7730, Host()), 0u);
    const auto cable = PlugCable();
    ASSERT_TRUE(UsbWorld::WaitFor([&] { return ScanBridgeDevices(0x7730, Host()) == 0x3u; }));
    EXPECT_GE(arrivals.load(), 2);
    bench.UnplugSide(cable, Side::B);
    ASSERT_TRUE(UsbWorld::WaitFor([&] { return ScanBridgeDevices(0x7730, Host()) == 0x1u; }));
    EXPECT_GE(removals.load(), 1);
    Host().UnsubscribeDeviceChanges(id);

    // Without permission on its device node the side counts as absent; stderr says so once.
    bench.PlugSide(cable, Side::B, {hub, 3});
    ASSERT_TRUE(UsbWorld::WaitFor([&] { return ScanBridgeDevices(0x7730, Host()) == 0x3u; }));
    const auto sideB = bench.Port({hub, 3}).device;
    world->emulator.DenyAccess(sideB);
    const int uid = setfsuid(65534); // root opens anything: look as an ordinary user would
    ::testing::internal::CaptureStderr();
    const uint32_t first = ScanBridgeDevices(0x7730, Host());
    const uint32_t second = ScanBridgeDevices(0x7730, Host());
    const std::string said = ::testing::internal::GetCapturedStderr();
    setfsuid(uid);
    EXPECT_EQ(first, 0x1u);
    EXPECT_EQ(second, 0x1u);
    EXPECT_NE(said.find("no permission to open /dev/bus/usb/001/"), std::string::npos) << said;
    EXPECT_EQ(said.find("no permission", said.find("no permission") + 1), std::string::npos) << said;
    world->emulator.DenyAccess(sideB, false);
    EXPECT_EQ(ScanBridgeDevices(0x7730, Host()), 0x3u);
}

} // namespace
