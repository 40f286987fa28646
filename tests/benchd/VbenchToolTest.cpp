// The daemon and its control tool as a person uses them, in a bench home of the test's own.

#include "BenchHome.h"
#include "BridgeDevice.h"
#include "RunCommand.h"
#include "SocketHost.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace {

class VbenchTool : public ::testing::Test {
protected:
    ~VbenchTool() override { Vbench("stop"); }

    CommandResult Vbench(const std::string &args)
    {
        return RunCommand("VBENCH_HOME='" + m_home.path().string() + "' " VBENCH_PATH " " + args + " 2>&1");
    }
    std::string Socket() const { return benchwire::BenchSocketPath(m_home.path().string()); }

    TempDir m_home;
};

bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

TEST_F(VbenchTool, AFreshHomeHasOneControllerAHubAndTheDefaultInf)
{
    EXPECT_EQ(Vbench("status").status, 3) << "not running yet";
    const auto start = Vbench("start");
    ASSERT_EQ(start.status, 0) << start.out;
    EXPECT_EQ(Vbench("start").status, 0) << "start is idempotent";

    struct stat info{};
    ASSERT_EQ(::stat(Socket().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "only the owner may talk to the bench";

    const auto list = Vbench("list");
    EXPECT_TRUE(Contains(list.out, "Host Controller 0")) << list.out;
    EXPECT_TRUE(Contains(list.out, "hub hub1")) << list.out;
    EXPECT_TRUE(Contains(list.out, "none (vbench cable add NAME)")) << list.out;
    const auto inf = Vbench("inf");
    EXPECT_EQ(inf.status, 0) << inf.out;
    EXPECT_TRUE(Contains(inf.out, "USB\\VID_0C5E&PID_7730")) << inf.out;
}

TEST_F(VbenchTool, CablesPlugWriteAndSurviveARestart)
{
    ASSERT_EQ(Vbench("start").status, 0);
    ASSERT_EQ(Vbench("cable add c1").status, 0);
    const auto plug = Vbench("plug c1");
    ASSERT_EQ(plug.status, 0) << plug.out;
    EXPECT_TRUE(Contains(plug.out, "c1 side A plugged in at hub1:1")) << plug.out;
    EXPECT_TRUE(Contains(plug.out, "c1 side B plugged in at hub1:2")) << plug.out;
    EXPECT_TRUE(Contains(Vbench("list").out, "HOSTLNK-1"));

    // A program writes the EEPROM through the socket backend...
    {
        benchwire::SocketHost host(Socket());
        BridgeDevice device(host);
        ASSERT_TRUE(device.Open("\\\\.\\HOSTLNK-1"));
        uint8_t bytes[256];
        for (int i = 0; i < 256; ++i)
            bytes[i] = static_cast<uint8_t>(255 - i);
        ASSERT_TRUE(device.WriteEeprom(bytes, 0, 256));
    }
    // ...and the tool shows it, 16 bytes a line.
    const auto dump = Vbench("eeprom c1");
    ASSERT_EQ(dump.status, 0);
    EXPECT_TRUE(Contains(dump.out, "FF FE FD FC FB FA F9 F8 F7 F6 F5 F4 F3 F2 F1 F0\n")) << dump.out;
    EXPECT_TRUE(Contains(dump.out, "0F 0E 0D 0C 0B 0A 09 08 07 06 05 04 03 02 01 00\n")) << dump.out;

    ASSERT_EQ(Vbench("fault c1 B send-dead").status, 0);
    ASSERT_EQ(Vbench("fault c1 version 0x0999").status, 0);
    EXPECT_TRUE(Contains(Vbench("list").out, "version 0999")) << Vbench("list").out;
    ASSERT_EQ(Vbench("timing --latency-us 250").status, 0);
    ASSERT_EQ(Vbench("stop").status, 0);
    EXPECT_EQ(Vbench("status").status, 3);
    ASSERT_EQ(Vbench("start").status, 0);

    EXPECT_EQ(Vbench("eeprom c1").out, dump.out) << "the EEPROM survived the restart";
    const auto list = Vbench("list");
    EXPECT_TRUE(Contains(list.out, "cable c1 side A")) << list.out;
    EXPECT_TRUE(Contains(list.out, "cable c1 side B")) << list.out;
    EXPECT_TRUE(Contains(Vbench("timing").out, "latency 250 us")) << "timing survived";

    std::ifstream state(benchwire::BenchStatePath(m_home.path().string()));
    const std::string saved((std::istreambuf_iterator<char>(state)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(Contains(saved, "\"sendDead\": true")) << "faults survived";
    // Clearing takes every fault away, a changed chip version too (also after the restart).
    ASSERT_EQ(Vbench("fault clear c1").status, 0);
    EXPECT_FALSE(Contains(Vbench("list").out, "version 0999")) << Vbench("list").out;
}

TEST_F(VbenchTool, EepromFilesAndMistakesGetClearAnswers)
{
    ASSERT_EQ(Vbench("start").status, 0);
    std::vector<uint8_t> image(264, 0x11);
    const std::string file = m_home.write("img.eep", image);
    ASSERT_EQ(Vbench("cable add c2 --model 0x7701 --eeprom " + file).status, 0);
    EXPECT_TRUE(Contains(Vbench("eeprom c2").out, "11 11 11 11")) << "a 264-byte image file gives its EEPROM part";
    EXPECT_TRUE(Contains(Vbench("list").out, "c2: QT7701")) << Vbench("list").out;

    const std::string shortFile = m_home.write("short.bin", std::vector<uint8_t>(100));
    const auto bad = Vbench("cable add c3 --eeprom " + shortFile);
    EXPECT_NE(bad.status, 0);
    EXPECT_TRUE(Contains(bad.out, "holds 100 bytes")) << bad.out;

    for (const char *wrong : {"cable add c2", "plug nosuch", "plug c2 C", "fault c2 sideways", "hub add h --ports 0",
                              "plug c2 --at hub1:9", "frobnicate", "timing --latency-us -3"}) {
        const auto r = Vbench(wrong);
        EXPECT_NE(r.status, 0) << wrong;
        EXPECT_TRUE(Contains(r.out, "vbench: ")) << wrong << ": " << r.out;
    }
    EXPECT_EQ(Vbench("--help").status, 0);
    EXPECT_EQ(Vbench("fault --help").status, 0);
    EXPECT_EQ(Vbench("plug --help").status, 0);
}

TEST_F(VbenchTool, AnUnusableStateFileIsKeptAndAFreshBenchStarts)
{
    std::ofstream(benchwire::BenchStatePath(m_home.path().string())) << "{ this is not json";
    ASSERT_EQ(Vbench("start").status, 0);
    EXPECT_TRUE(Contains(Vbench("list").out, "hub hub1"));
    std::ifstream kept(benchwire::BenchStatePath(m_home.path().string()) + ".unusable");
    EXPECT_TRUE(kept.good()) << "nothing is lost";
}

} // namespace
