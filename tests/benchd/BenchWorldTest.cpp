// The control commands and the saved state, on an in-process bench: what a restart of the daemon
// must bring back, and what a person's mistakes must leave alone.

#include "BenchFixture.h"
#include "BenchWorld.h"

#include <gtest/gtest.h>

#include <QJsonArray>

namespace {

class World : public BenchFixture {
protected:
    World() { world.CreateDefault(); }

    std::string Run(const std::vector<std::string> &args, int expected = 0)
    {
        std::string out;
        EXPECT_EQ(world.Run(args, out), expected) << out;
        return out;
    }

    BenchWorld world{bench};
};

TEST_F(World, EveryFaultAndSettingSurvivesSaveAndLoad)
{
    Run({"cable", "add", "c1", "--version", "0x8005"});
    Run({"cable", "add", "c2", "--model", "0x7701", "--status", "8,0"});
    Run({"plug", "c1"});
    Run({"plug", "c2", "B", "--at", "root1:2"});
    Run({"hub", "add", "h2", "--ports", "7", "--at", "hub1:4"});
    Run({"device", "add", "mouse", "--vid", "046d", "--pid", "c077", "--no-description", "--at", "h2:1"});
    for (const auto &fault : std::vector<std::vector<std::string>>{
             {"fault", "c1", "A", "block-fails", "3"},
             {"fault", "c1", "B", "drop", "1000"},
             {"fault", "c1", "B", "read-stalls"},
             {"fault", "c1", "pipes-missing"},
             {"fault", "c1", "flip-bit", "17"},
             {"fault", "hub", "h2", "connection-name-fails", "all"},
             {"fault", "device", "mouse", "driver-key-length", "8"},
         })
        Run(fault);
    Run({"timing", "--latency-us", "1000", "--write-cycle-us", "5000", "--bytes-per-second", "1000000"});
    const QJsonObject saved = world.Save();

    TempDir otherDir;
    bench::Bench restored(OptionsIn(otherDir));
    restored.WriteDriverInf({"USB\\VID_0C5E&PID_7730"}); // the INF lives in the home, not in the state
    BenchWorld again(restored);
    std::string error;
    ASSERT_TRUE(again.Load(saved, error)) << error;
    EXPECT_EQ(again.Save(), saved) << "a loaded bench saves to the same state";

    std::string listBefore, listAfter;
    world.Run({"list"}, listBefore);
    again.Run({"list"}, listAfter);
    EXPECT_EQ(listAfter, listBefore);
    EXPECT_EQ(restored.Options().timing.eepromWriteCycle.count(), 5000);
}

TEST_F(World, PlugFindsFreePortsAndMistakesChangeNothing)
{
    Run({"cable", "add", "c1"});
    const std::string plugged = Run({"plug", "c1"});
    EXPECT_NE(plugged.find("side A plugged in at hub1:1"), std::string::npos) << plugged;
    EXPECT_NE(plugged.find("side B plugged in at hub1:2"), std::string::npos) << plugged;
    EXPECT_EQ(bench.DeviceObjectNumber(bench.Cables().front(), bench::Side::A), 1);

    const QJsonObject before = world.Save();
    Run({"cable", "add", "c1"}, 2);
    Run({"plug", "c1", "--at", "hub1:1"}, 0); // already plugged: nothing to do
    Run({"hub", "remove", "hub1"}, 2);        // something is still plugged in
    Run({"hub", "add", "x", "--at", "hub1:1"}, 1); // the port is taken: the model refuses
    Run({"eeprom", "c1", "--set-hex", "abc"}, 2);
    Run({"fault", "c1", "flip-bit", "2048"}, 2);
    Run({"device", "add", "d", "--vid", "xyz"}, 2);
    EXPECT_EQ(world.Save(), before);

    Run({"unplug", "c1"});
    Run({"hub", "remove", "hub1"});
    Run({"controller", "add", "--ports", "3"});
    const std::string list = Run({"list"});
    EXPECT_NE(list.find("Host Controller 1 (root hub root2, 3 ports)"), std::string::npos) << list;
}

TEST_F(World, EepromChangesThroughThePcFaceAreNoticedForSaving)
{
    Run({"cable", "add", "c1"});
    EXPECT_FALSE(world.EepromsChangedSinceLastCheck());
    bench::EepromBytes bytes{};
    bench.SetEeprom(bench.Cables().front(), bytes);
    EXPECT_TRUE(world.EepromsChangedSinceLastCheck());
    EXPECT_FALSE(world.EepromsChangedSinceLastCheck());
}

TEST_F(World, ADamagedStateIsRefused)
{
    TempDir otherDir;
    bench::Bench other(OptionsIn(otherDir));
    BenchWorld again(other);
    std::string error;
    QJsonObject state = world.Save();
    state["version"] = 7;
    EXPECT_FALSE(again.Load(state, error));
    EXPECT_FALSE(error.empty());

    Run({"cable", "add", "c1"});
    state = world.Save();
    QJsonArray cables = state["cables"].toArray();
    QJsonObject cable = cables[0].toObject();
    cable["eeprom"] = "00ff";
    cables[0] = cable;
    state["cables"] = cables;
    BenchWorld third(other);
    std::vector<std::string> skipped;
    EXPECT_TRUE(third.Load(state, error, &skipped)) << "one bad entry does not cost the rest";
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_NE(skipped[0].find("256 bytes"), std::string::npos) << skipped[0];
}

} // namespace
