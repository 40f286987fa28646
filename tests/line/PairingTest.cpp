// Sides paired by data on the in-process bench: mixed plug order across hubs, a side alone, a cable
// with one dead direction; the guard against a cable left unplugged.

#include "LineRig.h"
#include "Sides.h"

#include <gtest/gtest.h>

namespace {

TEST(MfgkitPairing, SidesInMixedOrderAcrossHubsPairAsTheyAreWired)
{
    LineRig rig;
    const bench::DeviceId root = rig.bench.AddController(2);
    const bench::DeviceId hub1 = rig.bench.AttachHub({root, 1}, bench::HubSpec{4});
    const bench::DeviceId hub2 = rig.bench.AttachHub({root, 2}, bench::HubSpec{4});
    std::vector<bench::CableId> cables;
    for (int i = 0; i < 4; ++i)
        cables.push_back(rig.bench.AddCable());
    // B sides first, backwards, on the second hub; then the A sides crossed over both hubs.
    for (int i = 0; i < 3; ++i)
        rig.bench.PlugSide(cables[std::size_t(2 - i)], bench::Side::B, {hub2, i + 1});
    rig.bench.PlugSide(cables[1], bench::Side::A, {hub1, 1});
    rig.bench.PlugSide(cables[3], bench::Side::A, {hub2, 4}); // alone: its side B is not plugged in
    rig.bench.PlugSide(cables[0], bench::Side::A, {hub1, 3});
    rig.bench.PlugSide(cables[2], bench::Side::A, {hub1, 2});
    // One dead direction still pairs the cable (one way is enough).
    bench::SideFaults dead;
    dead.sendDead = true;
    rig.bench.SetSideFaults(cables[1], bench::Side::B, dead);

    const auto sides = line::FindBridgeSides(rig.sim, false);
    ASSERT_EQ(sides.size(), 7u);
    const line::Pairing pairing = line::PairByData(rig.sim, sides);
    ASSERT_EQ(pairing.cables.size(), 3u);
    std::set<std::string> found;
    for (const auto &p : pairing.cables)
        found.insert(p.Name());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(found.count(rig.CableName(cables[std::size_t(i)])), 1u) << rig.CableName(cables[std::size_t(i)]);
    ASSERT_EQ(pairing.unpaired.size(), 1u);
    EXPECT_EQ(pairing.unpaired[0].ShortName(), rig.Name(cables[3], bench::Side::A));

    // Nothing was left in the pipes: the production test of a good cable still passes after pairing.
    const auto again = line::PairByData(rig.sim, sides);
    EXPECT_EQ(again.cables.size(), 3u);

    const MfgkitResult scan = rig.Run({"scan"});
    EXPECT_EQ(scan.status, 1);
    EXPECT_NE(scan.out.find(rig.Name(cables[3], bench::Side::A) + ": no partner side found: plug in both ends"),
              std::string::npos)
        << scan.out;
}

} // namespace
