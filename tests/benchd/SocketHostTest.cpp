// The socket backend against a server in this process, serving an in-process bench: everything the
// programs do through the daemon, and what a misbehaving client may do to it.

#include "BenchOptionsIn.h"
#include "SocketTestSupport.h"
#include "Bench.h"
#include "BenchWire.h"
#include "BridgeDevice.h"
#include "HostServer.h"
#include "SimHost.h"
#include "SocketHost.h"
#include "TempDir.h"
#include "UsbTreeWalker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using bench::Side;

using testsupport::Eventually;
using testsupport::RawConnect;

namespace {

class SocketBench : public ::testing::Test {
protected:
    SocketBench()
        : m_bench(BenchOptionsIn(m_dir)),
          m_sim(m_bench.Pc())
    {
        m_bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
        m_root = m_bench.AddController(4);
        m_cable = m_bench.AddCable();
        StartServer();
        m_client = std::make_unique<benchwire::SocketHost>(SocketPath());
    }
    ~SocketBench() override
    {
        m_client.reset();
        m_server.reset();
    }

    std::string SocketPath() const { return m_dir.file("vbench.sock"); }
    void StartServer()
    {
        m_server = std::make_unique<benchwire::HostServer>(m_sim);
        std::string error;
        ASSERT_TRUE(m_server->Start(SocketPath(), error)) << error;
    }
    void PlugBoth()
    {
        m_bench.PlugSide(m_cable, Side::A, {m_root, 1});
        m_bench.PlugSide(m_cable, Side::B, {m_root, 2});
    }

    TempDir m_dir;
    bench::Bench m_bench;
    platform::SimHost m_sim;
    bench::DeviceId m_root = 0;
    bench::CableId m_cable = 0;
    std::unique_ptr<benchwire::HostServer> m_server;
    std::unique_ptr<benchwire::SocketHost> m_client;
};

TEST_F(SocketBench, ScanIdentityAndEepromWriteCrossTheSocket)
{
    EXPECT_EQ(ScanBridgeDevices(0x7730, *m_client), 0u);
    PlugBoth();
    EXPECT_EQ(ScanBridgeDevices(0x7730, *m_client), 0x3u);

    BridgeDevice device(*m_client);
    ASSERT_TRUE(device.Open("\\\\.\\HOSTLNK-1"));
    uint32_t model = 0, version = 0;
    ASSERT_TRUE(device.QueryChip(&model, &version));
    EXPECT_EQ(model, 0x7730u);
    EXPECT_EQ(version, 0x0100u);

    uint8_t written[256], read[256] = {};
    for (int i = 0; i < 256; ++i)
        written[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(device.WriteEeprom(written, 0, 256));
    ASSERT_TRUE(device.ReadEeprom(read, 0, 256));
    EXPECT_EQ(0, std::memcmp(written, read, 256));
    const auto inBench = m_bench.Eeprom(m_cable);
    EXPECT_EQ(0, std::memcmp(written, inBench.data(), 256));
}

TEST_F(SocketBench, WalkMatchesTheInProcessWalkAndSeesChangesAfterANotification)
{
    PlugBoth();
    std::atomic<int> changes{0};
    const uint64_t id = m_client->SubscribeDeviceChanges([&](platform::DeviceChange) { ++changes; });
    ASSERT_TRUE(Eventually([&] { return m_client->Connected(); }));

    UsbTreeWalker local(m_sim), remote(*m_client);
    EXPECT_EQ(remote.WalkAllControllers(nullptr, nullptr), local.WalkAllControllers(nullptr, nullptr));
    auto texts = [](const UsbTreeWalker &w) {
        std::vector<std::string> all;
        for (TreeItem top : w.Tree().Children(TREE_NONE))
            for (TreeItem port : w.Tree().Children(top))
                all.push_back(w.Tree().Text(port));
        return all;
    };
    EXPECT_EQ(texts(remote), texts(local));
    ASSERT_EQ(texts(remote).size(), 4u);

    const int before = changes;
    const bench::CableId second = m_bench.AddCable();
    m_bench.PlugSide(second, Side::A, {m_root, 3});
    ASSERT_TRUE(Eventually([&] { return changes > before; }));
    EXPECT_EQ(remote.WalkAllControllers(nullptr, nullptr), 3) << "the cached tree was dropped";
    m_client->UnsubscribeDeviceChanges(id);
}

TEST_F(SocketBench, WhatIsAskedAheadNeverOutlivesTheWalkOrTheChannel)
{
    PlugBoth();
    const bench::DeviceId hub = m_bench.AttachHub({m_root, 4}, bench::HubSpec{7});
    for (int port = 1; port <= 7; ++port)
        m_bench.AttachDevice({hub, port}, bench::DeviceSpec{});
    UsbTreeWalker local(m_sim), remote(*m_client);
    const uint64_t before = m_client->RoundTrips();
    const int ports = remote.WalkAllControllers(nullptr, nullptr);
    ASSERT_EQ(ports, local.WalkAllControllers(nullptr, nullptr));
    ASSERT_EQ(ports, 9);
    EXPECT_LT(m_client->RoundTrips() - before, 32u) << "a hub's ports are asked about together";

    // A hub fault changes no device and sends no notification: the next walk must still see it.
    bench::HubFaults faults;
    faults.connectionInfoFailsPort = 3;
    m_bench.SetHubFaults(hub, faults);
    EXPECT_EQ(remote.WalkAllControllers(nullptr, nullptr), ports - 1);

    // A bridge device's pipes are opened with its channel; what the caller does not take is closed
    // with the channel, and every handle closes once.
    using namespace platform;
    Host &h = *m_client;
    const Handle channel = h.OpenFile("\\\\.\\HOSTLNK-1", ACCESS_READ | ACCESS_WRITE, SHARE_READ | SHARE_WRITE, false);
    ASSERT_NE(channel, INVALID_HANDLE);
    const Handle readPipe = h.OpenFile("\\\\.\\HOSTLNK-1\\3", ACCESS_READ, SHARE_READ, true);
    ASSERT_NE(readPipe, INVALID_HANDLE);
    EXPECT_TRUE(h.CloseHandle(channel));
    const Handle writePipe = h.OpenFile("\\\\.\\HOSTLNK-1\\2", ACCESS_WRITE, SHARE_WRITE, true);
    ASSERT_NE(writePipe, INVALID_HANDLE) << "opened afresh after the channel closed";
    for (Handle handle : {readPipe, writePipe}) {
        EXPECT_TRUE(h.CloseHandle(handle));
        EXPECT_FALSE(h.CloseHandle(handle));
    }
    EXPECT_EQ(ScanBridgeDevices(0x7730, *m_client), 0x3u);
    EXPECT_EQ(h.OpenFile("\\\\.\\HOSTLNK-9", ACCESS_READ | ACCESS_WRITE, SHARE_READ | SHARE_WRITE, false), INVALID_HANDLE);
}

TEST_F(SocketBench, PipeTransferOfTheWholePattern)
{
    PlugBoth();
    using namespace platform;
    Host &h = *m_client;
    const Handle readPipe = h.OpenFile("\\\\.\\HOSTLNK-1\\3", ACCESS_READ, SHARE_READ, true);
    const Handle writePipe = h.OpenFile("\\\\.\\HOSTLNK-2\\2", ACCESS_WRITE, SHARE_WRITE, true);
    ASSERT_NE(readPipe, INVALID_HANDLE);
    ASSERT_NE(writePipe, INVALID_HANDLE);
    std::vector<uint8_t> out(131071), in(131071, 0);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(i + 1);
    Overlapped readOv{h.CreateEvent(false)}, writeOv{h.CreateEvent(false)};
    ASSERT_NE(h.ReadFile(readPipe, in.data(), uint32_t(in.size()), readOv), IoStart::Failed);
    ASSERT_NE(h.WriteFile(writePipe, out.data(), uint32_t(out.size()), writeOv), IoStart::Failed);
    const Handle events[] = {readOv.event, writeOv.event};
    ASSERT_EQ(h.WaitForEvents(events, true, 2000), 0);
    EXPECT_EQ(in, out) << "once its event is seen signalled, a read's buffer holds the data";
    uint32_t count = 0;
    EXPECT_TRUE(h.GetOverlappedResult(readPipe, readOv, &count, true));
    EXPECT_EQ(count, in.size());
    EXPECT_TRUE(h.GetOverlappedResult(writePipe, writeOv, nullptr, true));
    for (Handle handle : {readPipe, writePipe, readOv.event, writeOv.event})
        EXPECT_TRUE(h.CloseHandle(handle));
    EXPECT_FALSE(h.CloseHandle(readPipe)) << "closing twice is harmless";
}

TEST_F(SocketBench, AClientKilledMidTransferLeavesNothingBehind)
{
    PlugBoth();
    ASSERT_TRUE(Eventually([&] { return m_client->Connected(); }));
    const std::size_t sessions = m_server->SessionCount(); // this test's own client
    const pid_t child = ::fork();
    if (child == 0) {
        // Opens side A's read pipe, starts a read that nothing will ever answer, and dies.
        using namespace benchwire;
        const int fd = RawConnect(SocketPath());
        std::string answer;
        bool ok = fd >= 0 && SendAll(fd, Writer(Op::Hello).u32(kProtocolVersion).u64(42).Frame()) &&
                  ReceiveFrame(fd, answer);
        ok = ok && SendAll(fd, Writer(Op::CreateEvent).u8(0).Frame()) && ReceiveFrame(fd, answer);
        const uint64_t event = Reader(answer).u64();
        ok = ok && SendAll(fd, Writer(Op::OpenFile).str("\\\\.\\HOSTLNK-1\\3").u32(1).u32(1).u8(1).Frame()) &&
             ReceiveFrame(fd, answer);
        const uint64_t pipe = Reader(answer).u64();
        ok = ok && SendAll(fd, Writer(Op::ReadFile).u64(pipe).u64(event).u32(131071).Frame()) &&
             ReceiveFrame(fd, answer);
        ok = ok && SendAll(fd, Writer(Op::OverlappedResult).u64(Reader(answer.substr(1)).u64()).u8(1).Frame());
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(Eventually([&] { return m_server->SessionCount() <= sessions; }));

    // The dead client's read is gone: a new transfer to side A arrives whole, here.
    platform::Host &h = *m_client;
    using namespace platform;
    const Handle readPipe = h.OpenFile("\\\\.\\HOSTLNK-1\\3", ACCESS_READ, SHARE_READ, true);
    const Handle writePipe = h.OpenFile("\\\\.\\HOSTLNK-2\\2", ACCESS_WRITE, SHARE_WRITE, true);
    std::vector<uint8_t> out(1000, 0x5A), in(1000, 0);
    Overlapped readOv{h.CreateEvent(false)}, writeOv{h.CreateEvent(false)};
    h.ReadFile(readPipe, in.data(), 1000, readOv);
    h.WriteFile(writePipe, out.data(), 1000, writeOv);
    const Handle events[] = {readOv.event, writeOv.event};
    ASSERT_EQ(h.WaitForEvents(events, true, 2000), 0);
    ASSERT_TRUE(h.GetOverlappedResult(readPipe, readOv, nullptr, true));
    EXPECT_EQ(in, out);
    for (Handle handle : {readPipe, writePipe, readOv.event, writeOv.event})
        h.CloseHandle(handle);
}

TEST_F(SocketBench, MalformedClientsAreDroppedAndOthersServed)
{
    using namespace benchwire;
    const std::string garbage[] = {
        std::string("\xFF\xFF\xFF\xFF", 4),                                    // huge length
        Writer(Op::OpenFile).str("x").Frame(),                                 // no session yet
        Writer(Op::Hello).u32(99).u64(1).Frame(),                              // wrong version
        std::string("\x03\x00\x00\x00\x7F\x01\x02", 7),                        // unknown opcode
        Writer(Op::Hello).u32(kProtocolVersion).u64(5).Frame() + "\x05\x00", // truncated follow-up
    };
    for (const std::string &bytes : garbage) {
        const int fd = RawConnect(SocketPath());
        ASSERT_GE(fd, 0);
        SendAll(fd, bytes);
        ::shutdown(fd, SHUT_WR);
        std::string answer;
        while (ReceiveFrame(fd, answer)) {
        }
        ::close(fd);
    }
    PlugBoth();
    EXPECT_EQ(ScanBridgeDevices(0x7730, *m_client), 0x3u) << "the server still serves";
}

TEST_F(SocketBench, ARestartedDaemonIsPickedUpWithoutRestartingTheClient)
{
    PlugBoth();
    std::atomic<int> arrivals{0}, removals{0};
    m_client->SubscribeDeviceChanges([&](platform::DeviceChange c) {
        (c == platform::DeviceChange::Arrival ? arrivals : removals)++;
    });
    ASSERT_TRUE(Eventually([&] { return m_client->Connected(); }));
    EXPECT_EQ(ScanBridgeDevices(0x7730, *m_client), 0x3u);

    m_server.reset();
    ASSERT_TRUE(Eventually([&] { return removals > 0; })) << "losing the daemon looks like a removal";
    EXPECT_EQ(ScanBridgeDevices(0x7730, *m_client), 0u) << "no daemon: no cables";

    const int before = arrivals;
    StartServer();
    ASSERT_TRUE(Eventually([&] { return arrivals > before; }));
    EXPECT_EQ(ScanBridgeDevices(0x7730, *m_client), 0x3u);
}

TEST(SocketHostWithoutDaemon, BehavesAsAPcWithNoCables)
{
    TempDir dir;
    benchwire::SocketHost host(dir.file("nobody.sock"));
    std::vector<std::string> ids{"stale"};
    EXPECT_TRUE(host.EnumeratePresentDevices("USB", 260, ids));
    EXPECT_TRUE(ids.empty());
    EXPECT_EQ(host.OpenFile("\\\\.\\HOSTLNK-1", 3, 3, false), platform::INVALID_HANDLE);
    EXPECT_EQ(ScanBridgeDevices(0x7730, host), 0u);
    UsbTreeWalker walker(host);
    EXPECT_EQ(walker.WalkAllControllers(nullptr, nullptr), 0);
    EXPECT_FALSE(host.Connected());
}

} // namespace
