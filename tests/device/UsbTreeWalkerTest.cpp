// The topology walk over bench topologies: the item tree, the records, and every failure placement.

#include "BenchFixture.h"
#include "BridgeDevice.h"
#include "UsbTreeWalker.h"

#include <gtest/gtest.h>

using bench::Side;

namespace {

class WalkBench : public BenchFixture {
protected:
    WalkBench() { InstallDefaultDriver(); }

    // "Text [mark]" lines of the whole tree, indented by depth, '+' marking expanded items.
    std::string Dump(const UsbTreeWalker &walker) const
    {
        std::string out;
        const UsbTree &tree = walker.Tree();
        std::function<void(TreeItem, int)> dump = [&](TreeItem parent, int depth) {
            for (TreeItem item : tree.Children(parent)) {
                out += std::string(2 * depth, ' ') + (tree.IsExpanded(item) ? "+" : "") + tree.Text(item) + " [" +
                       std::to_string(tree.Mark(item)) + "]\n";
                dump(item, depth + 1);
            }
        };
        dump(TREE_NONE, 0);
        return out;
    }

};

struct Collected {
    std::vector<UsbNodeInfo *> records;
    bool acceptCables = true;
};

int Collect(void *context, UsbNodeInfo *record)
{
    auto *c = static_cast<Collected *>(context);
    c->records.push_back(record);
    return c->acceptCables && record->idVendor == 0x0C5E;
}

TEST_F(WalkBench, NoControllersGiveNothing)
{
    UsbTreeWalker walker(host);
    EXPECT_EQ(walker.WalkAllControllers(nullptr, nullptr), 0);
    EXPECT_EQ(walker.Tree().Count(), 0u);
}

TEST_F(WalkBench, NestedHubsAreWalkedDepthFirstAndExpandedOnlyWhereSomethingWasAccepted)
{
    const auto root = bench.AddController(3);
    const auto hub = bench.AttachHub({root, 1}, bench::HubSpec{2});
    const auto inner = bench.AttachHub({hub, 2}, bench::HubSpec{2});
    bench::DeviceSpec mouse;
    mouse.description = "USB Mouse";
    bench.AttachDevice({hub, 1}, mouse);
    const auto cable = bench.AddCable();
    bench.PlugSide(cable, Side::A, {inner, 2});
    bench.PlugSide(cable, Side::B, {root, 3});

    UsbTreeWalker walker(host);
    Collected c;
    c.acceptCables = false;
    EXPECT_EQ(walker.WalkAllControllers(Collect, &c), 0);
    const std::string nothingAccepted = Dump(walker);
    EXPECT_EQ(nothingAccepted.find('+'), std::string::npos) << nothingAccepted;
    ASSERT_EQ(c.records.size(), 3u);
    EXPECT_EQ(c.records[0]->idVendor, 0x046D) << "the mouse comes first: hub port 1";
    EXPECT_EQ(c.records[1]->idVendor, 0x0C5E) << "then the inner hub's cable side";
    EXPECT_EQ(c.records[2]->idVendor, 0x0C5E) << "then root port 3";

    c = {};
    EXPECT_EQ(walker.WalkAllControllers(Collect, &c), 2);
    const std::string expected = "+Host Controller 0 [0]\n"
                                 "  +Port 1 [0]\n"
                                 "    Port 1 - USB Mouse [1]\n"
                                 "    +Port 2 [0]\n"
                                 "      Port 1 [1]\n"
                                 "      Port 2 - ";
    const std::string tree = Dump(walker);
    EXPECT_EQ(tree.substr(0, expected.size()), expected) << tree;
    EXPECT_NE(tree.find("  Port 2 [1]\n"), std::string::npos) << "the empty root port 2\n" << tree;
    EXPECT_EQ(walker.WalkAllControllers(nullptr, nullptr), 3) << "without a visitor every device port counts";
}

TEST_F(WalkBench, RecordsCarryIdsKeysAndAnOpenableDevicePath)
{
    const auto root = bench.AddController(2);
    const auto cable = bench.AddCable();
    bench.PlugSide(cable, Side::A, {root, 2});
    UsbTreeWalker walker(host);
    Collected c;
    ASSERT_EQ(walker.WalkAllControllers(Collect, &c), 1);
    const UsbNodeInfo &r = *c.records[0];
    EXPECT_EQ(r.idProduct, 0x7730);
    ASSERT_TRUE(r.pszDriverKey && r.pszDeviceId && r.pszDevicePath);
    EXPECT_EQ(r.pszDriverKey->front(), '{');
    EXPECT_EQ(*r.pszDeviceId, bench.InstanceId(bench.Port({root, 2}).device));
    EXPECT_EQ(r.pszDevicePath->rfind("\\\\.\\USB#VID_0C5E&PID_7730#", 0), 0u) << *r.pszDevicePath;
    EXPECT_EQ(walker.Tree().Record(r.hItem), &r);
    BridgeDevice device(host);
    EXPECT_TRUE(device.Open(*r.pszDevicePath)) << "the path reaches the same device object";
}

TEST_F(WalkBench, DevicesWithoutDriverOrKeyGetEmptyFields)
{
    const auto root = bench.AddController(3);
    bench::DeviceSpec noDriver;
    noDriver.hasDriver = false;
    bench.AttachDevice({root, 1}, noDriver);
    const auto keyless = bench.AttachDevice({root, 2});
    bench.SetDriverKeyFault(keyless, 10);
    const auto cable = bench.AddCable();
    bench::SideFaults faults;
    faults.driverKeyActualLength = 4;
    bench.SetSideFaults(cable, Side::A, faults);
    bench.PlugSide(cable, Side::A, {root, 3});

    UsbTreeWalker walker(host);
    Collected c;
    c.acceptCables = false;
    walker.WalkAllControllers(Collect, &c);
    ASSERT_EQ(c.records.size(), 3u);
    for (const UsbNodeInfo *r : c.records) {
        EXPECT_FALSE(r->pszDriverKey);
        EXPECT_FALSE(r->pszDeviceId);
        EXPECT_FALSE(r->pszDevicePath);
        EXPECT_NE(walker.Tree().Text(r->hItem).find(" - (no description)"), std::string::npos);
    }
}

TEST_F(WalkBench, HubFailuresBecomeMarkedItems)
{
    const auto root = bench.AddController(4);
    const auto unnamed = bench.AttachHub({root, 1}, bench::HubSpec{1});
    const auto unopenable = bench.AttachHub({root, 2}, bench::HubSpec{1});
    const auto mute = bench.AttachHub({root, 3}, bench::HubSpec{1});
    (void)unnamed;
    bench::HubFaults rootFaults;
    rootFaults.connectionNameFailsPort = 1;
    rootFaults.connectionInfoFailsPort = 4;
    bench.SetHubFaults(root, rootFaults);
    bench::HubFaults openFails;
    openFails.openFails = true;
    bench.SetHubFaults(unopenable, openFails);
    bench::HubFaults nodeFails;
    nodeFails.nodeInfoFails = true;
    bench.SetHubFaults(mute, nodeFails);

    UsbTreeWalker walker(host);
    EXPECT_EQ(walker.WalkAllControllers(nullptr, nullptr), 0);
    EXPECT_EQ(Dump(walker), "Host Controller 0 [0]\n"
                            "  Port 1 [0]\n"
                            "  Port 1 [1]\n"
                            "  Port 2 [0]\n"
                            "  Port 2 [2]\n"
                            "  Port 3 [0]\n"
                            "  Port 3 [2]\n"
                            "Port 4 [2]\n");
}

TEST_F(WalkBench, AFailingRootHubStopsTheRemainingControllers)
{
    const auto first = bench.AddController(1);
    const auto second = bench.AddController(1);
    const auto third = bench.AddController(1);
    const auto cable = bench.AddCable();
    bench.PlugSide(cable, Side::A, {first, 1});
    bench.PlugSide(cable, Side::B, {third, 1});
    bench::HubFaults fails;
    fails.nodeInfoFails = true;
    bench.SetHubFaults(second, fails);

    UsbTreeWalker walker(host);
    Collected c;
    EXPECT_EQ(walker.WalkAllControllers(Collect, &c), 1) << "the count so far";
    EXPECT_EQ(Dump(walker).find("Host Controller 2"), std::string::npos);
    EXPECT_NE(Dump(walker).find("Host Controller 1"), std::string::npos);
}

TEST_F(WalkBench, ASecondWalkFreesTheFirstWalksRecords)
{
    const auto root = bench.AddController(1);
    const auto cable = bench.AddCable();
    bench.PlugSide(cable, Side::A, {root, 1});
    UsbTreeWalker walker(host);
    Collected c;
    ASSERT_EQ(walker.WalkAllControllers(Collect, &c), 1);
    const UsbNodeRef kept = c.records[0]->weak_from_this();
    const TreeItem oldItem = c.records[0]->hItem;
    std::shared_ptr<UsbNodeInfo> held = kept.lock(); // a worker holding its record keeps it alive
    ASSERT_TRUE(held);
    walker.WalkAllControllers(nullptr, nullptr);
    EXPECT_FALSE(kept.expired());
    held.reset();
    EXPECT_TRUE(kept.expired()) << "nothing else keeps an old record";
    EXPECT_FALSE(walker.Tree().Contains(oldItem)) << "old item handles are never reused";
}

// The other registry layout: "Enum\<id>" keys and "\DosDevices\" symbolic names.
class WalkOtherPlatform : public ::testing::Test {
protected:
    WalkOtherPlatform()
    {
        bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
    }
    TempDir dir;
    bench::Bench bench{[this] {
        bench::BenchOptions options;
        options.systemDirectory = dir.path() / "Windows";
        options.layout = bench::RegistryLayout::Win9x;
        return options;
    }()};
    platform::SimHost host{bench.Pc()};
};

TEST_F(WalkOtherPlatform, DosDevicesNamesBecomeTheSameKindOfPath)
{
    const auto root = bench.AddController(2);
    bench.AttachHub({root, 1}, bench::HubSpec{1});
    const auto cable = bench.AddCable();
    bench.PlugSide(cable, Side::A, {root, 2});
    UsbTreeWalker walker(host);
    EXPECT_FALSE(walker.IsNtPlatform());
    Collected c;
    ASSERT_EQ(walker.WalkAllControllers(Collect, &c), 1);
    ASSERT_TRUE(c.records[0]->pszDevicePath);
    EXPECT_EQ(c.records[0]->pszDevicePath->rfind("\\\\.\\", 0), 0u);
    BridgeDevice device(host);
    EXPECT_TRUE(device.Open(*c.records[0]->pszDevicePath));
}

TEST(UsbTree, ReplaceMovesTheRecordToANewItemLastOrSorted)
{
    UsbTree tree;
    const TreeItem parent = tree.InsertItem("Host Controller 0", ITEM_HUB);
    const TreeItem a = tree.InsertItem("Port 1 - A", ITEM_PORT, parent);
    const TreeItem b = tree.InsertItem("Port 2 - B", ITEM_PORT, parent);
    const TreeItem c = tree.InsertItem("Port 3 - C", ITEM_PORT, parent);
    auto record = std::make_shared<UsbNodeInfo>();
    record->hItem = a;
    tree.Attach(a, record);

    const TreeItem last = tree.ReplaceItem(a, ITEM_MATCHED, UsbTree::Placement::Last);
    EXPECT_FALSE(tree.Contains(a));
    EXPECT_EQ(tree.Children(parent), (std::vector<TreeItem>{b, c, last}));
    EXPECT_EQ(tree.Text(last), "Port 1 - A");
    EXPECT_EQ(tree.Mark(last), ITEM_MATCHED);
    EXPECT_EQ(tree.Record(last), record.get());
    EXPECT_EQ(record->hItem, last);

    const TreeItem sorted = tree.ReplaceItem(last, ITEM_PORT, UsbTree::Placement::Sorted);
    EXPECT_EQ(tree.Children(parent), (std::vector<TreeItem>{sorted, b, c}));
    EXPECT_EQ(tree.ReplaceItem(a, ITEM_PORT, UsbTree::Placement::Last), TREE_NONE) << "stale handles are refused";
    tree.Clear();
    EXPECT_EQ(tree.Count(), 0u);
    EXPECT_EQ(record.use_count(), 1) << "the tree let go of the record";
}

} // namespace
