// The control tool and the daemon against what a hostile tester tries: files that are not files,
// names the state file cannot hold, damaged and half-written state, homes others could write, a
// listener that never answers and one that runs as another user.

#include "BenchFixture.h"
#include "BenchHome.h"
#include "BenchWire.h"
#include "BenchWorld.h"
#include "BridgeDevice.h"
#include "RunCommand.h"
#include "SocketHost.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include <chrono>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

int Listen(const std::string &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class Tool : public ::testing::Test {
protected:
    ~Tool() override { Vbench("stop"); }
    CommandResult Vbench(const std::string &args)
    {
        return RunCommand("VBENCH_HOME='" + Home() + "' timeout 60 " VBENCH_PATH " " + args + " 2>&1");
    }
    std::string Home() const { return m_home.path().string(); }
    std::string State() const { return benchwire::BenchStatePath(Home()); }
    TempDir m_home;
};

TEST_F(Tool, HelpFileInputsAndLongCommandsNeedNoDaemon)
{
    const auto help = Vbench("fault --help");
    EXPECT_EQ(help.status, 0) << help.out;
    EXPECT_TRUE(Contains(help.out, "send-dead")) << help.out;
    EXPECT_EQ(Vbench("cable add x --help").status, 0);
    EXPECT_TRUE(Contains(Vbench("timing --help").out, "--latency-us"));

    // Not a regular file, or far too big: a clear answer at once, nothing read.
    const std::string fifo = m_home.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string huge = m_home.file("huge.bin");
    std::filesystem::resize_file(m_home.write("huge.bin", {}), 200u << 20);
    const auto started = std::chrono::steady_clock::now();
    for (const std::string &command :
         {"cable add x --eeprom " + Home(), "cable add x --eeprom " + fifo, std::string("cable add x --eeprom /dev/zero"),
          "eeprom x --set " + Home(), "eeprom x --set " + fifo}) {
        const auto r = Vbench(command);
        EXPECT_EQ(r.status, 2) << command << ": " << r.out;
        EXPECT_TRUE(Contains(r.out, "is not a regular file")) << command << ": " << r.out;
    }
    const auto big = Vbench("cable add x --eeprom " + huge);
    EXPECT_EQ(big.status, 2);
    EXPECT_TRUE(Contains(big.out, "holds 209715200 bytes")) << big.out;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << "nothing blocked or read a whole file";

    std::string many = "cable add x";
    for (int i = 0; i < 300; ++i)
        many += " --model";
    const auto tooMany = Vbench(many);
    EXPECT_EQ(tooMany.status, 2) << tooMany.out;
    EXPECT_TRUE(Contains(tooMany.out, "too many arguments")) << tooMany.out;
}

TEST_F(Tool, ASilentListenerIsTreatedAsNoDaemon)
{
    const int listener = Listen(benchwire::BenchSocketPath(Home()));
    ASSERT_GE(listener, 0);
    const auto status = Vbench("status");
    EXPECT_EQ(status.status, 3) << status.out;
    const auto list = Vbench("list");
    EXPECT_EQ(list.status, 3) << list.out;
    EXPECT_TRUE(Contains(list.out, "nothing answered")) << list.out;

    benchwire::SocketHost host(benchwire::BenchSocketPath(Home()));
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(host.OpenFile("\\\\.\\HOSTLNK-1", 3, 3, false), platform::INVALID_HANDLE);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "the greeting has a time-out";
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(ScanBridgeDevices(0x7730, host), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms) << "after one time-out, calls fail at once";
    ::close(listener);
}

// A daemon that says it stops but keeps its lock: the tool must not claim it stopped.
TEST_F(Tool, StopSaysSoWhenTheDaemonKeepsRunning)
{
    const int lock = ::open(benchwire::BenchLockPath(Home()).c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    const int listener = Listen(benchwire::BenchSocketPath(Home()));
    std::thread fake([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        std::string request;
        benchwire::ReceiveFrame(fd, request);
        benchwire::SendAll(fd, benchwire::Writer().u32(0).str("stopping\n").Frame());
        ::close(fd);
    });
    const auto stop = RunCommand("VBENCH_HOME='" + Home() + "' " VBENCH_PATH " stop 2>&1");
    fake.join();
    EXPECT_EQ(stop.status, 1) << stop.out;
    EXPECT_TRUE(Contains(stop.out, "still runs")) << stop.out;
    EXPECT_FALSE(Contains(stop.out, "the bench stopped")) << stop.out;
    ::close(listener);
    ::close(lock);
    std::filesystem::remove(benchwire::BenchSocketPath(Home()));
}

TEST_F(Tool, TheHomeMustBeTheUsersOwnAndIsNeverChanged)
{
    ASSERT_EQ(::chmod(Home().c_str(), 01777), 0);
    const auto open = Vbench("start");
    EXPECT_EQ(open.status, 1) << open.out;
    EXPECT_TRUE(Contains(open.out, "may be written by other users")) << open.out;
    struct stat info{};
    ASSERT_EQ(::stat(Home().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 01777u) << "an existing directory's mode is left alone";
    EXPECT_EQ(Vbench("list").status, 1);
    ASSERT_EQ(::chmod(Home().c_str(), 0700), 0);

    // The log is never opened through a link.
    TempDir elsewhere;
    const std::string target = elsewhere.file("victim");
    std::ofstream(target) << "keep\n";
    ASSERT_EQ(::symlink(target.c_str(), benchwire::BenchLogPath(Home()).c_str()), 0);
    const auto linked = Vbench("start");
    EXPECT_EQ(linked.status, 1) << linked.out;
    EXPECT_TRUE(Contains(linked.out, "vbenchd.log")) << linked.out;
    std::ifstream victim(target);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(victim)), std::istreambuf_iterator<char>()), "keep\n");
    std::filesystem::remove(benchwire::BenchLogPath(Home()));

    if (::geteuid() == 0) {
        // A home another user made (for example the fallback under /tmp, made in advance).
        ASSERT_EQ(::chown(Home().c_str(), 65534, 65534), 0);
        const auto foreign = Vbench("start");
        EXPECT_EQ(foreign.status, 1) << foreign.out;
        EXPECT_TRUE(Contains(foreign.out, "belongs to another user")) << foreign.out;
        ASSERT_EQ(::chown(Home().c_str(), 0, 0), 0);
    }

    // A fresh home below a missing folder is made owner-only.
    const std::string fresh = Home() + "/a/b";
    const auto made = RunCommand("VBENCH_HOME='" + fresh + "' " VBENCH_PATH " start 2>&1");
    ASSERT_EQ(made.status, 0) << made.out;
    ASSERT_EQ(::stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    RunCommand("VBENCH_HOME='" + fresh + "' " VBENCH_PATH " stop");
}

TEST(ListenerOfAnotherUser, GetsNothingFromTheTool)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a listener as another user";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const std::string path = dir.file("vbench.sock");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            _exit(1);
        const int listener = Listen(path);
        ::write(ready[1], "r", 1);
        // Answers whatever comes as a daemon would; it must never see a request.
        const int fd = ::accept(listener, nullptr, nullptr);
        std::string request;
        const bool got = benchwire::ReceiveFrame(fd, request, benchwire::DeadlineIn(3000ms));
        _exit(got ? 2 : 0);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    int status = 0;
    std::string out;
    EXPECT_FALSE(benchwire::RunControlCommand(path, {"eeprom", "c1", "--set-hex", "00"}, status, out));
    EXPECT_TRUE(Contains(out, "another user")) << out;
    int exit = 0;
    ::kill(child, SIGTERM);
    ::waitpid(child, &exit, 0);
    EXPECT_FALSE(WIFEXITED(exit) && WEXITSTATUS(exit) == 2) << "the request reached the other user's listener";
}

// ----- Names and the saved state -----------------------------------------------------------------

class Names : public BenchFixture {
protected:
    Names() { world.CreateDefault(); }
    int Run(const std::vector<std::string> &args)
    {
        std::string out;
        return world.Run(args, out);
    }
    BenchWorld world{bench};
};

TEST_F(Names, AreCheckedWhenGivenAndADamagedStateEntryCostsOnlyItself)
{
    for (const std::string &bad : {std::string(), std::string("a\xff"), std::string("tab\there"),
                                   std::string("\xc0\xaf"), std::string(300, 'n')}) {
        EXPECT_EQ(Run({"cable", "add", bad}), 2) << bad;
        EXPECT_EQ(Run({"hub", "add", bad}), 2) << bad;
        EXPECT_EQ(Run({"device", "add", bad}), 2) << bad;
    }
    EXPECT_EQ(Run({"cable", "add", "kabel-\xc3\xbc"}), 0) << "UTF-8 text is a fine name";
    EXPECT_EQ(Run({"cable", "add", "root2"}), 0);
    EXPECT_EQ(Run({"controller", "add"}), 0);
    std::string list;
    world.Run({"list"}, list);
    EXPECT_TRUE(Contains(list, "root hub root3")) << "a new root hub does not take a cable's name";
    EXPECT_EQ(Run({"cable", "add", "c1"}), 0);
    EXPECT_EQ(Run({"plug", "c1"}), 0);
    EXPECT_EQ(Run({"timing", "--latency-us", "10000001"}), 2);

    // Whatever was saved loads back whole.
    const QJsonObject saved = world.Save();
    {
        TempDir dir;
        bench::Bench other(OptionsIn(dir));
        BenchWorld again(other);
        std::string error;
        std::vector<std::string> skipped;
        ASSERT_TRUE(again.Load(saved, error, &skipped)) << error;
        EXPECT_TRUE(skipped.empty());
        EXPECT_EQ(again.Save(), saved);
    }

    // A state with damaged entries: each is skipped with a reason, the rest loads.
    QJsonObject state = saved;
    QJsonArray cables = state["cables"].toArray();
    QJsonObject empty = cables[0].toObject();
    empty["name"] = "";
    QJsonObject twin = cables[0].toObject(); // the same name again
    QJsonObject wrongPort = cables.last().toObject();
    wrongPort["name"] = "c2";
    wrongPort["pluggedA"] = QJsonObject{{"hub", "hub1"}, {"port", 9}};
    wrongPort.remove("pluggedB");
    cables.append(empty);
    cables.append(twin);
    cables.append(wrongPort);
    state["cables"] = cables;
    QJsonArray hubs = state["hubs"].toArray();
    hubs.append(QJsonObject{{"name", "h9"}, {"ports", 4}, {"at", QJsonObject{{"hub", "nowhere"}, {"port", 1}}}});
    state["hubs"] = hubs;
    state["devices"] = QJsonArray{QJsonObject{{"name", "m"}, {"vid", 1e300}, {"at", QJsonObject{{"hub", "hub1"}, {"port", 4}}}}};
    state["timing"] = QJsonObject{{"controlLatencyUs", 1e9}, {"eepromWriteCycleUs", 1e300}, {"bulkBytesPerSecond", 5}};

    TempDir dir;
    bench::Bench other(OptionsIn(dir));
    BenchWorld again(other);
    std::string error;
    std::vector<std::string> skipped;
    ASSERT_TRUE(again.Load(state, error, &skipped)) << error;
    std::string all;
    for (const auto &note : skipped)
        all += note + "\n";
    EXPECT_EQ(skipped.size(), 7u) << all;
    EXPECT_TRUE(Contains(all, "must not be empty")) << all;
    EXPECT_TRUE(Contains(all, "is taken")) << all;
    EXPECT_TRUE(Contains(all, "c2 side A left unplugged")) << all;
    EXPECT_TRUE(Contains(all, "no hub 'nowhere'")) << all;
    EXPECT_TRUE(Contains(all, "vid")) << all;
    EXPECT_EQ(other.Options().timing.controlLatency.count(), 0) << "a latency beyond the command's limit is refused";
    EXPECT_EQ(other.Options().timing.eepromWriteCycle.count(), 0);
    EXPECT_EQ(other.Options().timing.bulkBytesPerSecond, 5u);
    std::string listAgain;
    again.Run({"list"}, listAgain);
    EXPECT_TRUE(Contains(listAgain, "c1: QT7730")) << listAgain;
    EXPECT_TRUE(Contains(listAgain, "c2: QT7730")) << listAgain;
    EXPECT_TRUE(Contains(listAgain, "cable c1 side A")) << listAgain;
}

TEST_F(Tool, TheDaemonLoadsWhatItCanAndCleansUnfinishedSaves)
{
    // A state whose only cable name is empty besides a good one, and the leftover of a killed save.
    const std::string eeprom(512, 'f');
    const QJsonObject good{{"name", "good"}, {"eeprom", QString::fromStdString(eeprom)}};
    const QJsonObject bad{{"name", ""}, {"eeprom", QString::fromStdString(eeprom)}};
    const QJsonObject state{{"version", 1},
                            {"hubs", QJsonArray{QJsonObject{{"name", "root1"}, {"ports", 2}}}},
                            {"cables", QJsonArray{bad, good}}};
    std::ofstream(State()) << QJsonDocument(state).toJson().toStdString();
    std::ofstream(State() + ".Ab12Cd") << "{ half";

    ASSERT_EQ(Vbench("start").status, 0);
    const auto list = Vbench("list");
    EXPECT_TRUE(Contains(list.out, "good: QT7730")) << list.out;
    EXPECT_FALSE(std::filesystem::exists(State() + ".Ab12Cd")) << "the unfinished save is removed";
    EXPECT_TRUE(std::filesystem::exists(State() + ".unusable")) << "the file as it was is kept";
    std::ifstream log(benchwire::BenchLogPath(Home()));
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(Contains(text, "cable 1 skipped")) << text;
    EXPECT_EQ(Vbench("cable add ''").status, 2) << "an empty name is refused when given";
}

} // namespace
