// The two shared topologies, checked through the Host the way the topology walk sees them.

#include "BenchFixture.h"
#include "DeviceTreeOrder.h"
#include "Topologies.h"

#include <gtest/gtest.h>

#include <set>

using namespace bench;
using namespace platform;

namespace {

class Topology : public BenchFixture {
protected:
    struct Count {
        int controllers = 0, hubs = 0, devicePorts = 0, deepest = 0;
        std::vector<std::pair<uint16_t, uint16_t>> ids; // walk order
        std::vector<std::string> driverKeys;
    };
    // A small walk: root hubs in enumeration order, ports ascending, depth-first into hubs.
    Count Walk()
    {
        Count c;
        std::vector<std::string> ids;
        EXPECT_TRUE(host.EnumeratePresentDevices("USB", 260, ids));
        for (const std::string& id : ids) {
            if (id.find("ROOT_HUB") == std::string::npos)
                continue;
            ++c.controllers;
            WalkHub(RootHubPath(id), 0, c);
        }
        return c;
    }
    void WalkHub(const std::string& path, int depth, Count& c)
    {
        Handle hub = OpenHub(path);
        ASSERT_NE(hub, INVALID_HANDLE) << path;
        const auto ports = PortCount(hub);
        ASSERT_TRUE(ports);
        c.deepest = std::max(c.deepest, depth);
        for (int p = 1; p <= *ports; ++p) {
            const auto info = ConnectionInfo(hub, p);
            ASSERT_TRUE(info);
            if ((*info)[31] != 1)
                continue;
            if ((*info)[24]) {
                ++c.hubs;
                const auto name = HubName(hub, p);
                ASSERT_TRUE(name);
                WalkHub("\\\\.\\" + *name, depth + 1, c);
                continue;
            }
            ++c.devicePorts;
            c.ids.emplace_back(Le16(info->data() + 12), Le16(info->data() + 14));
            c.driverKeys.push_back(DriverKey(hub, p).value_or(""));
        }
        host.CloseHandle(hub);
    }
};

TEST_F(Topology, HundredDevicePortsBehindFourControllers)
{
    const HundredPortTopology t = BuildHundredPortTopology(bench);
    EXPECT_EQ(t.devices.size(), 100u);
    const Count c = Walk();
    EXPECT_EQ(c.controllers, 4);
    EXPECT_EQ(c.hubs, 12);
    EXPECT_EQ(c.deepest, 3) << "hubs three deep below each root hub";
    EXPECT_EQ(c.devicePorts, 100);
    // Walk order is the order the topology lists its devices in.
    for (std::size_t i = 0; i < c.ids.size(); ++i)
        EXPECT_EQ(c.ids[i].second, 0xC000 + i);
    EXPECT_EQ(std::count(c.driverKeys.begin(), c.driverKeys.end(), ""), 10);

    // Every driver key names exactly one node of the device tree.
    std::set<std::string> keys;
    for (DevNode n : DeviceTreePreOrder(host)) {
        std::string key;
        if (host.GetNodeProperty(n, DEVNODE_PROP_DRIVER, 260, key)) {
            EXPECT_TRUE(keys.insert(key).second) << key;
        }
    }
    for (const std::string& key : c.driverKeys)
        if (!key.empty()) {
            EXPECT_TRUE(keys.count(key)) << key;
        }
}

TEST_F(Topology, SixteenCablesFillAllDeviceObjects)
{
    const SixteenCableTopology t = BuildSixteenCableTopology(bench, ConfiguredEeprom(0x0C5E, 0x7730));
    ASSERT_EQ(t.cables.size(), 16u);
    const Count c = Walk();
    EXPECT_EQ(c.devicePorts, 32);
    std::set<int> numbers;
    for (CableId cable : t.cables)
        for (Side s : {Side::A, Side::B})
            numbers.insert(bench.DeviceObjectNumber(cable, s));
    EXPECT_EQ(numbers.size(), 32u);
    EXPECT_EQ(*numbers.begin(), 1);
    EXPECT_EQ(*numbers.rbegin(), 32);
    for (int n = 1; n <= 32; ++n) {
        Handle h = OpenControl(HostLink(n));
        EXPECT_EQ(VersionQuery(h), 0x0100) << n;
        host.CloseHandle(h);
    }
    // Cable 5's sides are HOSTLNK-9 and -10 (plug order), joined by their pipes.
    EXPECT_EQ(bench.DeviceObjectNumber(t.cables[4], Side::A), 9);
    Handle r = host.OpenFile(HostLink(9) + "\\3", ACCESS_READ, SHARE_READ, true);
    Handle w = host.OpenFile(HostLink(10) + "\\2", ACCESS_WRITE, SHARE_WRITE, true);
    Overlapped ro{host.CreateEvent(false)}, wo{host.CreateEvent(false)};
    uint8_t in[3] = {};
    const uint8_t out[3] = {7, 8, 9};
    host.ReadFile(r, in, 3, ro);
    host.WriteFile(w, out, 3, wo);
    EXPECT_TRUE(host.GetOverlappedResult(r, ro, nullptr, true));
    EXPECT_TRUE(std::equal(out, out + 3, in));
    EXPECT_TRUE(host.GetOverlappedResult(w, wo, nullptr, true));
    for (Handle h : {r, w, ro.event, wo.event})
        host.CloseHandle(h);
}

} // namespace
