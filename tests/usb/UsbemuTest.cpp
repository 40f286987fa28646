// usbemu as a person runs it: its own topologies, its refusals, and the bench daemon's world.

#include "BenchHome.h"
#include "RunCommand.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

CommandResult Usbemu(const std::string &args) { return RunCommand(USBEMU_PATH " " + args + " 2>&1"); }

TEST(Usbemu, RunsAProgramInsideItsOwnTopologyAndRefusesBadInput)
{
    const auto help = Usbemu("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Contains(help.out, "--cable")) << help.out;
    EXPECT_TRUE(Contains(help.out, "consecutive ports")) << help.out;

    // Two blank cables behind a 4-port hub and a mouse: four device objects, five device ports.
    const auto run = Usbemu("--cable blank --cable blank --hub 4 --device -- " USB_PROBE_PATH);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Contains(run.out, "mask 0x0000000F, 5 device ports")) << run.out;

    TempDir dir;
    const auto directory = Usbemu("--cable " + dir.path().string() + " -- true");
    EXPECT_EQ(directory.status, 2);
    EXPECT_TRUE(Contains(directory.out, "not a regular file")) << directory.out;
    std::ofstream(dir.file("short.eep")) << "too short";
    const auto shortImage = Usbemu("--cable " + dir.file("short.eep") + " -- true");
    EXPECT_EQ(shortImage.status, 2);
    EXPECT_TRUE(Contains(shortImage.out, "264 bytes")) << shortImage.out;
    EXPECT_EQ(Usbemu("--cable blank --cable blank --root-ports 3 -- true").status, 2);
    EXPECT_EQ(Usbemu("--cable blank").status, 2) << "no command";
    EXPECT_EQ(Usbemu("--cable blank -- false").status, 1) << "the command's own status";
}

TEST(Usbemu, BenchModeSeesTheDaemonsCablesAndWritesIntoThem)
{
    TempDir home;
    const std::string env = "VBENCH_HOME='" + home.path().string() + "' ";
    auto vbench = [&](const std::string &args) { return RunCommand(env + VBENCH_PATH " " + args + " 2>&1"); };
    auto inBench = [&](const std::string &args) {
        return RunCommand(env + USBEMU_PATH " --bench -- " USB_PROBE_PATH " " + args + " 2>&1");
    };
    const auto none = inBench("");
    EXPECT_EQ(none.status, 2);
    EXPECT_TRUE(Contains(none.out, "vbench start")) << none.out;

    ASSERT_EQ(vbench("start").status, 0);
    ASSERT_EQ(vbench("cable add c1").status, 0);
    ASSERT_EQ(vbench("plug c1").status, 0);
    const auto written = inBench("write 0x5A");
    EXPECT_EQ(written.status, 0) << written.out;
    EXPECT_TRUE(Contains(written.out, "mask 0x00000003")) << written.out;
    const auto eeprom = vbench("eeprom c1");
    EXPECT_TRUE(Contains(eeprom.out, "5A 5A 5A 5A")) << eeprom.out;

    ASSERT_EQ(vbench("unplug c1 B").status, 0);
    const auto oneSide = inBench("");
    EXPECT_TRUE(Contains(oneSide.out, "mask 0x00000001")) << oneSide.out;

    // A program that is already running sees what vbench plugs and unplugs.
    FILE *watcher = ::popen((env + USBEMU_PATH " --bench -- " USB_PROBE_PATH " wait 0x3 0x0 2>&1").c_str(), "r");
    ASSERT_NE(watcher, nullptr);
    auto nextLine = [&] {
        char line[256] = {};
        return std::string(std::fgets(line, sizeof line, watcher) ? line : "(end)");
    };
    EXPECT_TRUE(Contains(nextLine(), "watching"));
    vbench("plug c1 B");
    const std::string plugged = nextLine();
    EXPECT_TRUE(Contains(plugged, "saw 0x00000003")) << plugged;
    vbench("unplug c1 both");
    const std::string unplugged = nextLine();
    EXPECT_TRUE(Contains(unplugged, "saw 0x00000000")) << unplugged;
    EXPECT_EQ(::pclose(watcher), 0);
    vbench("stop");
}

// Which world a program uses when nothing asks for one: this PC's cables (here usbemu's two), unless
// this user's bench daemon runs (its one cable); QT7730_HOST names the world outright.
TEST(Usbemu, AProgramUsesTheBenchOnlyWhenItRunsOrIsAskedFor)
{
    TempDir home;
    const std::string env = "VBENCH_HOME='" + home.path().string() + "' ";
    auto probe = [&](const std::string &host) {
        return RunCommand(env + "QT7730_HOST=" + host + " " USBEMU_PATH " --cable blank --cable blank -- " USB_PROBE_PATH
                          " 2>&1");
    };
    const auto noDaemon = probe("");
    EXPECT_TRUE(Contains(noDaemon.out, "mask 0x0000000F")) << noDaemon.out;
    const auto askedForBench = probe("bench");
    EXPECT_TRUE(Contains(askedForBench.out, "mask 0x00000000")) << askedForBench.out;

    ASSERT_EQ(RunCommand(env + VBENCH_PATH " start 2>&1").status, 0);
    RunCommand(env + VBENCH_PATH " cable add c1 2>&1");
    RunCommand(env + VBENCH_PATH " plug c1 2>&1");
    const auto daemonRuns = probe("");
    EXPECT_TRUE(Contains(daemonRuns.out, "mask 0x00000003")) << daemonRuns.out;
    const auto askedForUsb = probe("usb");
    EXPECT_TRUE(Contains(askedForUsb.out, "mask 0x0000000F")) << askedForUsb.out;
    RunCommand(env + VBENCH_PATH " stop 2>&1");
}

// The process holding `file` open (the daemon holds its lock file for as long as it runs); 0: none.
int HolderOf(const std::filesystem::path &file)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const auto &process : fs::directory_iterator("/proc", ec)) {
        const std::string name = process.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        for (const auto &fd : fs::directory_iterator(process.path() / "fd", ec))
            if (fs::read_symlink(fd.path(), ec) == file)
                return std::stoi(name);
    }
    return 0;
}

std::size_t Descriptors(int pid)
{
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// A thousand plug cycles through the daemon (two thousand device arrivals, far more than a bus has
// device numbers): the daemon's emulated stack keeps no descriptor per cycle, gives device numbers
// again as the kernel does, and a program started at the end still sees the cable.
TEST(Usbemu, AThousandPlugCyclesLeaveTheDaemonAsItWas)
{
    TempDir home;
    const std::string env = "VBENCH_HOME='" + home.path().string() + "' ";
    auto vbench = [&](const std::string &args) { return RunCommand(env + VBENCH_PATH " " + args + " 2>&1"); };
    ASSERT_EQ(vbench("start").status, 0);
    ASSERT_EQ(vbench("cable add c1").status, 0);
    const std::string socket = benchwire::BenchSocketPath(home.path().string());
    std::string lastRefusal;
    auto command = [&](std::vector<std::string> args) {
        int status = -1;
        std::string out;
        const bool ok = benchwire::RunControlCommand(socket, args, status, out) && status == 0;
        if (!ok)
            lastRefusal = out;
        return ok;
    };
    const int daemon = HolderOf(std::filesystem::canonical(home.file("vbenchd.lock")));
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(command({"plug", "c1"}));
    ASSERT_TRUE(command({"unplug", "c1", "both"}));
    const std::size_t before = Descriptors(daemon);
    int failed = 0;
    for (int cycle = 0; cycle < 1000; ++cycle)
        failed += !command({"plug", "c1"}) + !command({"unplug", "c1", "both"});
    EXPECT_EQ(failed, 0) << lastRefusal << RunCommand("tail -20 '" + home.file("vbenchd.log") + "'").out;
    // A few may be in passing (a client's connection being closed); one per cycle would be 2,000.
    EXPECT_LE(Descriptors(daemon), before + 8) << "descriptors before: " << before;

    ASSERT_TRUE(command({"plug", "c1"}));
    const auto seen = RunCommand(env + USBEMU_PATH " --bench -- " USB_PROBE_PATH " 2>&1");
    EXPECT_EQ(seen.status, 0) << seen.out;
    EXPECT_TRUE(Contains(seen.out, "mask 0x00000003, 2 device ports")) << seen.out;
    vbench("stop");
}

} // namespace
