// What one client may cost the daemon, driven through real sockets: connections, request bodies,
// transfers in flight, and descriptors running out. Each bound must hold and the daemon must keep
// serving everyone else.

#include "BenchOptionsIn.h"
#include "SocketTestSupport.h"
#include "Bench.h"
#include "BenchHome.h"
#include "BenchWire.h"
#include "BridgeDevice.h"
#include "HostServer.h"
#include "SimHost.h"
#include "SocketHost.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace benchwire;

using testsupport::Eventually;
using testsupport::RawConnect;

namespace {

// The Hello answer's first field: the protocol version, or kRefused; 0 when nothing came.
uint32_t Greet(int fd, uint64_t key, std::string *reason = nullptr)
{
    std::string answer;
    // A refused connection may be closed before the greeting goes out; its reason is there anyway.
    SendAll(fd, Writer(Op::Hello).u32(kProtocolVersion).u64(key).Frame(), DeadlineIn(2000ms));
    if (!ReceiveFrame(fd, answer, DeadlineIn(2000ms)))
        return 0;
    Reader in(answer);
    const uint32_t first = in.u32();
    if (reason && first == kRefused)
        *reason = in.str();
    return first;
}

long ResidentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

class DaemonLimits : public ::testing::Test {
protected:
    DaemonLimits()
        : m_bench(BenchOptionsIn(m_dir)),
          m_sim(m_bench.Pc())
    {
        m_bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
        const auto root = m_bench.AddController(4);
        const auto cable = m_bench.AddCable();
        m_bench.PlugSide(cable, bench::Side::A, {root, 1});
        m_bench.PlugSide(cable, bench::Side::B, {root, 2});
        HostServer::Limits limits;
        limits.connections = 48;
        limits.connectionsPerProcess = 44;
        limits.transfersPerSession = 4;
        limits.transferBytesPerSession = 1u << 20;
        m_server.SetLimits(limits);
        std::string error;
        EXPECT_TRUE(m_server.Start(m_dir.file("vbench.sock"), error)) << error;
    }

    TempDir m_dir;
    bench::Bench m_bench;
    platform::SimHost m_sim;
    HostServer m_server{m_sim};
};

TEST_F(DaemonLimits, ConnectionsBodiesAndTransfersAreBoundedAndOthersServed)
{
    const std::string path = m_dir.file("vbench.sock");

    // Forty connections each announce a body of a megabyte and send none of it: nothing is
    // committed for what is only announced.
    std::vector<int> fds;
    const long before = ResidentKiB();
    for (int i = 0; i < 40; ++i) {
        const int fd = RawConnect(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(Greet(fd, 100 + i), kProtocolVersion);
        const uint32_t announced = (1u << 20) + 100;
        const uint8_t header[] = {uint8_t(announced), uint8_t(announced >> 8), uint8_t(announced >> 16), 0,
                                  uint8_t(Op::WriteFile)};
        ASSERT_TRUE(SendAll(fd, std::string_view(reinterpret_cast<const char *>(header), sizeof header)));
        fds.push_back(fd);
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_LT(ResidentKiB() - before, 16 * 1024) << "announced lengths were allocated";

    // One process may hold 44 connections; the next is told why it is refused, and closed.
    for (int i = 0; i < 4; ++i) {
        const int fd = RawConnect(path);
        ASSERT_EQ(Greet(fd, 200 + i), kProtocolVersion);
        fds.push_back(fd);
    }
    const int excess = RawConnect(path);
    std::string reason;
    EXPECT_EQ(Greet(excess, 300, &reason), kRefused);
    EXPECT_NE(reason.find("connections"), std::string::npos) << reason;
    ::close(excess);
    EXPECT_LE(m_server.ConnectionCount(), 44u) << "one thread per connection, and no more connections than allowed";

    // The daemon as a whole takes 48; a second process gets the remaining four.
    const pid_t child = ::fork();
    if (child == 0) {
        int served = 0, refused = 0;
        std::vector<int> mine;
        for (int i = 0; i < 6; ++i) {
            const int fd = RawConnect(path);
            const uint32_t answer = Greet(fd, 400 + i);
            served += answer == kProtocolVersion;
            refused += answer == kRefused;
            mine.push_back(fd);
        }
        _exit(served == 4 && refused == 2 ? 0 : 10 * served + refused);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "four served and two refused";

    for (int fd : fds)
        ::close(fd);
    ASSERT_TRUE(Eventually([&] { return m_server.ConnectionCount() == 0; })) << "hung-up connections are reaped";

    // A session's transfers in flight and their buffers are bounded; the excess fails to start.
    SocketHost client(path);
    using namespace platform;
    Host &h = client;
    const Handle pipe = h.OpenFile("\\\\.\\HOSTLNK-1\\3", ACCESS_READ, SHARE_READ, true);
    ASSERT_NE(pipe, INVALID_HANDLE);
    std::vector<std::vector<uint8_t>> buffers(6, std::vector<uint8_t>(200000));
    std::vector<Overlapped> reads(6);
    int started = 0;
    for (int i = 0; i < 6; ++i) {
        reads[i].event = h.CreateEvent(false);
        started += h.ReadFile(pipe, buffers[i].data(), 200000, reads[i]) != IoStart::Failed;
    }
    EXPECT_EQ(started, 4) << "four reads in flight per session";
    std::vector<uint8_t> big(900000);
    Overlapped bigRead{h.CreateEvent(false)};
    EXPECT_EQ(h.ReadFile(pipe, big.data(), uint32_t(big.size()), bigRead), IoStart::Failed)
        << "a session's buffers are bounded";
    EXPECT_TRUE(h.CloseHandle(pipe)); // cancels and collects the reads, giving back what they cost
    const Handle again = h.OpenFile("\\\\.\\HOSTLNK-1\\3", ACCESS_READ, SHARE_READ, true);
    ASSERT_NE(again, INVALID_HANDLE);
    EXPECT_NE(h.ReadFile(again, big.data(), uint32_t(big.size()), bigRead), IoStart::Failed)
        << "closing gave the budget back";
    h.CancelIo(again);
    h.GetOverlappedResult(again, bigRead, nullptr, true);
    h.CloseHandle(again);

    EXPECT_EQ(ScanBridgeDevices(0x7730, client), 0x3u) << "the daemon still serves";
}

// vbenchd itself, started with 32 descriptors: idle connections take all a client may have (the
// daemon keeps a reserve for itself, so its emulated USB stack never starves); the next client is told
// why it is refused, and once the idle ones hang up the daemon answers again without anyone
// connecting first.
TEST(DaemonDescriptors, ItRecoversAsSoonAsDescriptorsAreFree)
{
    TempDir home;
    const std::string socket = BenchSocketPath(home.path().string());
    const pid_t daemon = ::fork();
    if (daemon == 0) {
        rlimit limit{32, 32};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::setenv("VBENCH_HOME", home.path().c_str(), 1);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, STDERR_FILENO);
        ::execl(VBENCHD_PATH, VBENCHD_PATH, static_cast<char *>(nullptr));
        _exit(127);
    }
    auto answers = [&] {
        int status = 0;
        std::string out;
        return RunControlCommand(socket, {"status"}, status, out, 2000) && status == 0;
    };
    ASSERT_TRUE(Eventually(answers, 10000ms)) << "the daemon starts";

    // Idle clients until the daemon refuses for want of descriptors (how many it takes depends on
    // what the daemon itself holds at the moment).
    std::string refusal;
    auto refusedForDescriptors = [&] {
        int status = 0;
        return RunControlCommand(socket, {"status"}, status, refusal, 2000) && status != 0 &&
               refusal.find("short of file descriptors") != std::string::npos;
    };
    std::vector<int> idle;
    bool refused = false;
    while (!refused && idle.size() < 64) {
        for (int i = 0; i < 8; ++i)
            if (const int fd = RawConnect(socket); fd >= 0)
                idle.push_back(fd);
        refused = Eventually(refusedForDescriptors, 1000ms);
    }
    ASSERT_TRUE(refused) << "the daemon refuses with a reason instead of running out: " << refusal;
    EXPECT_FALSE(answers());
    for (int fd : idle)
        ::close(fd);
    EXPECT_TRUE(Eventually(answers, 30000ms)) << "the daemon recovers once the connections are gone";

    ::kill(daemon, SIGTERM);
    int status = 0;
    ::waitpid(daemon, &status, 0);
}

} // namespace
