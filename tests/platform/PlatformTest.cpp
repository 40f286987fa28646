// The process's Host and the version embedded in program files.

#include "BenchFixture.h"
#include "BenchHome.h"
#include "EmbeddedVersion.h"
#include "Host.h"
#include "HostServer.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using namespace platform;

namespace {

std::string MarkerText(const std::string& version) { return std::string(QT7730_VERSION_MARKER) + version; }

TEST(EmbeddedVersion, FoundInTheProgramsOwnFile)
{
    TempDir dir;
    bench::BenchOptions options;
    options.systemDirectory = dir.path();
    bench::Bench bench(options);
    SimHost host(bench.Pc());
    const std::string self = host.GetModuleFileName();
    ASSERT_FALSE(self.empty());
    const auto v = host.GetFileVersion(self);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->fileVersionMS, 0x00010003u) << "this test program carries the kit's 1.3.0.0";
    EXPECT_EQ(v->fileVersionLS, 0u);

    const auto probe = host.GetFileVersion(VERSION_PROBE_PATH);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->fileVersionMS >> 16, 2u) << "a build with another version shows that one";
    EXPECT_EQ(probe->fileVersionMS & 0xFFFF, 10u);
    EXPECT_EQ(probe->fileVersionLS, 0x00050007u);
    EXPECT_EQ(probe->productVersionMS, probe->fileVersionMS);

    EXPECT_FALSE(host.GetFileVersion(dir.file("missing.exe")));
    EXPECT_FALSE(host.GetFileVersion(dir.write("plain.bin", {1, 2, 3})));
}

TEST(EmbeddedVersion, OnlyWellFormedMarkersCount)
{
    using namespace std::string_literals;
    EXPECT_FALSE(FindEmbeddedVersion(MarkerText("") + "\0"s));
    EXPECT_FALSE(FindEmbeddedVersion(MarkerText("1.2.3") + "\0"s));
    EXPECT_FALSE(FindEmbeddedVersion(MarkerText("1.2.3.4"))) << "no zero byte after it";
    EXPECT_FALSE(FindEmbeddedVersion(MarkerText("1.2.3.65536") + "\0"s));
    EXPECT_FALSE(FindEmbeddedVersion(MarkerText("1.2..4") + "\0"s));
    EXPECT_FALSE(FindEmbeddedVersion(MarkerText("99999999999.1.1.1") + "\0"s));
    const auto v = FindEmbeddedVersion("junk" + MarkerText("x") + "\0"s + MarkerText("65535.0.7.1") + "\0tail"s);
    ASSERT_TRUE(v) << "a bad marker is skipped, the next one counts";
    EXPECT_EQ(v->fileVersionMS, 0xFFFF0000u);
    EXPECT_EQ(v->fileVersionLS, 0x00070001u);
}

TEST(EmbeddedVersion, MarkerAcrossAReadBoundary)
{
    TempDir dir;
    for (std::size_t at : {(1u << 20) - 5, (1u << 20) - 20, (1u << 20) + 3}) {
        std::string bytes(at, 'z');
        bytes += MarkerText("4.5.6.7");
        bytes.push_back('\0');
        bytes += std::string(100, 'q');
        const std::string path = dir.write("big.bin", std::vector<uint8_t>(bytes.begin(), bytes.end()));
        const auto v = ReadEmbeddedVersion(path);
        ASSERT_TRUE(v) << at;
        EXPECT_EQ(v->fileVersionMS, 0x00040005u);
    }
}

TEST(DefaultHost, TestsInstallTheirOwnBench)
{
    TempDir dir;
    bench::BenchOptions options;
    options.systemDirectory = dir.path();
    bench::Bench bench(options);
    SimHost host(bench.Pc());
    // Without an override the programs reach the bench daemon of $VBENCH_HOME over its socket.
    static TempDir home;
    setenv("VBENCH_HOME", home.path().c_str(), 1);
    benchwire::HostServer daemon(host);
    std::string error;
    ASSERT_TRUE(daemon.Start(benchwire::BenchSocketPath(home.path().string()), error)) << error;
    Host& before = DefaultHost();
    {
        ScopedDefaultHost scoped(host);
        EXPECT_EQ(&DefaultHost(), &host);
        bench.AddController(2);
        std::vector<std::string> ids;
        DefaultHost().EnumeratePresentDevices("USB", 260, ids);
        EXPECT_EQ(ids.size(), 1u);
    }
    EXPECT_EQ(&DefaultHost(), &before);
    std::vector<std::string> ids;
    EXPECT_TRUE(before.EnumeratePresentDevices("USB", 260, ids));
    EXPECT_EQ(ids.size(), 1u) << "the same bench, through the daemon's socket";
    EXPECT_EQ(before.GetPlatformId(), PLATFORM_WIN32_NT);
}

} // namespace
