// The bench model as the kit sees it through the sim Host: identity, driver binding, hub requests,
// vendor requests, device objects, device manager, registry, installations, notifications, faults.

#include "BenchFixture.h"
#include "Topologies.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace bench;
using namespace platform;

namespace {

class BenchModel : public BenchFixture {
protected:
    DeviceId root = bench.AddController(4);
    std::string rootPath = RootHubPath(bench.InstanceId(root));

    struct Seen {
        uint16_t vid = 0, pid = 0;
        uint8_t serialIndex = 0;
        bool connected = false, isHub = false;
    };
    Seen Look(uint32_t port)
    {
        Handle hub = OpenHub(rootPath);
        auto info = ConnectionInfo(hub, port);
        host.CloseHandle(hub);
        if (!info)
            return {};
        const uint8_t* b = info->data();
        return {Le16(b + 12), Le16(b + 14), b[20], b[31] == 1, b[24] != 0};
    }
};

// ----- identity -----------------------------------------------------------------------------------

TEST_F(BenchModel, IdentityComesFromTheEepromAtPlugInOnly)
{
    InstallDefaultDriver();
    const CableId cable = bench.AddCable();
    bench.PlugSide(cable, Side::A, {root, 1});
    Seen seen = Look(1);
    EXPECT_TRUE(seen.connected);
    EXPECT_EQ(seen.vid, 0x0C5E); // no signature yet: the chip's default identity
    EXPECT_EQ(seen.pid, 0x7730);

    Handle h = OpenControl(HostLink(1));
    ASSERT_NE(h, INVALID_HANDLE);
    ASSERT_TRUE(WriteEeprom(h, ConfiguredEeprom(0x1234, 0xABCD, "Maker", "Cable", std::string("SN0001"))));
    host.CloseHandle(h);
    EXPECT_EQ(Look(1).pid, 0x7730) << "an EEPROM write shows only at the next plug-in";

    bench.UnplugSide(cable, Side::A);
    EXPECT_FALSE(Look(1).connected);
    bench.PlugSide(cable, Side::A, {root, 1});
    seen = Look(1);
    EXPECT_EQ(seen.vid, 0x1234);
    EXPECT_EQ(seen.pid, 0xABCD);
    EXPECT_EQ(seen.serialIndex, 3);
    EXPECT_EQ(bench.InstanceId(bench.Port({root, 1}).device).substr(0, 22), "USB\\VID_1234&PID_ABCD\\");
}

TEST_F(BenchModel, IdentityFollowsPidSelectAndSerialIndex)
{
    EepromBytes e = ConfiguredEeprom(0x1111, 0x3333);
    e[4] = 0x11, e[5] = 0x11;  // wProductId1
    e[24] = 0x22, e[25] = 0x22; // wProductId2
    e[23] = 2;                  // bPidSelect
    const CableId a = bench.AddCable({ChipSpec{}, e});
    e[23] = 1;
    const CableId b = bench.AddCable({ChipSpec{}, e});
    e[23] = 7; // names no word: the chip keeps its default identity
    const CableId c = bench.AddCable({ChipSpec{0x7701, 0x8001}, e});
    bench.PlugSide(a, Side::A, {root, 1});
    bench.PlugSide(b, Side::B, {root, 2});
    bench.PlugSide(c, Side::A, {root, 3});
    EXPECT_EQ(Look(1).pid, 0x2222);
    EXPECT_EQ(Look(2).pid, 0x1111);
    EXPECT_EQ(Look(3).vid, 0x0C5E);
    EXPECT_EQ(Look(3).pid, 0x7701);
    EXPECT_EQ(Look(1).serialIndex, 0) << "no serial-number string without bSerialIndex 3";
}

// ----- driver binding ----------------------------------------------------------------------------

TEST_F(BenchModel, DriverBindsOnlyWhenTheInfListsTheHardwareId)
{
    const CableId cable = bench.AddCable({ChipSpec{}, ConfiguredEeprom(0x0C5E, 0x1234)});
    InstallDefaultDriver(); // lists PID 7730 only
    const DeviceId side = bench.PlugSide(cable, Side::A, {root, 1});
    const std::string id = bench.InstanceId(side);
    Handle hub = OpenHub(rootPath);
    EXPECT_FALSE(DriverKey(hub, 1));
    EXPECT_EQ(bench.DeviceObjectNumber(cable, Side::A), 0);
    EXPECT_EQ(OpenControl(HostLink(1)), INVALID_HANDLE);
    std::string value;
    EXPECT_FALSE(host.ReadMachineRegistryString("SYSTEM\\CurrentControlSet\\Enum\\" + id + "\\Device Parameters",
                                                "SymbolicName", 260, value));

    bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730", "usb\\vid_0c5e&pid_1234"}); // matched ignoring case
    bench.UnplugSide(cable, Side::A);
    bench.PlugSide(cable, Side::A, {root, 1});
    const auto key = DriverKey(hub, 1);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->size(), 38u + 5u); // "{class GUID}\NNNN"
    EXPECT_EQ(key->substr(38), "\\0000");
    ASSERT_TRUE(host.ReadMachineRegistryString("System\\CurrentControlSet\\Control\\Class\\" + *key, "InfPath", 260, value));
    EXPECT_EQ(value, "oem7.inf");
    std::string inf;
    EXPECT_TRUE(host.ReadWholeFile(host.GetWindowsDirectory() + "\\INF\\" + value, inf)) << "the path the INF updater forms";

    ASSERT_TRUE(host.ReadMachineRegistryString("SYSTEM\\CurrentControlSet\\Enum\\" + id + "\\Device Parameters",
                                               "SymbolicName", 260, value));
    EXPECT_EQ(value.substr(0, 26), "\\??\\USB#VID_0C5E&PID_1234#");
    EXPECT_EQ(value.back(), '}');
    // The device path and HOSTLNK-1 are the same device object: written through one, read through the other.
    Handle byNumber = OpenControl(HostLink(1));
    Handle byPath = OpenControl("\\\\.\\" + value.substr(4));
    ASSERT_NE(byNumber, INVALID_HANDLE);
    ASSERT_NE(byPath, INVALID_HANDLE);
    const uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t back[8] = {};
    ASSERT_TRUE(WriteBlock(byNumber, 64, block));
    ASSERT_TRUE(ReadBlock(byPath, 64, back));
    EXPECT_TRUE(std::equal(block, block + 8, back));
    for (Handle h : {byNumber, byPath, hub})
        host.CloseHandle(h);

    // The bound side's description comes from the INF's strings.
    DevNode node = host.GetChild(host.GetChild(host.GetChild(host.GetRootNode())));
    ASSERT_TRUE(host.GetNodeProperty(node, DEVNODE_PROP_DEVICEDESC, 512, value));
    EXPECT_EQ(value, "Veltrona USB Bridge Cable");
}

TEST_F(BenchModel, DeviceObjectsTakeTheLowestFreeNumber)
{
    InstallDefaultDriver();
    const DeviceId wide = bench.AddController(32);
    const DeviceId big = bench.AttachHub({root, 1}, HubSpec{32});
    std::vector<CableId> cables;
    for (int i = 0; i < 20; ++i)
        cables.push_back(bench.AddCable());
    for (int i = 0; i < 3; ++i)
        bench.PlugSide(cables[i], Side::A, {big, i + 1});
    EXPECT_EQ(bench.DeviceObjectNumber(cables[0], Side::A), 1);
    EXPECT_EQ(bench.DeviceObjectNumber(cables[2], Side::A), 3);

    bench.UnplugSide(cables[1], Side::A);
    EXPECT_EQ(OpenControl(HostLink(2)), INVALID_HANDLE);
    bench.PlugSide(cables[3], Side::B, {big, 10});
    EXPECT_EQ(bench.DeviceObjectNumber(cables[3], Side::B), 2) << "the freed number is reused";

    // 29 more sides fill all 32 numbers; the next side gets the driver key but no device object.
    int port = 1;
    for (int i = 4; port <= 29; ++i)
        for (Side s : {Side::A, Side::B})
            if (port <= 29)
                bench.PlugSide(cables[i], s, {wide, port++});
    int numbered = 0;
    for (int n = 1; n <= 32; ++n) {
        Handle h = OpenControl(HostLink(n));
        numbered += h != INVALID_HANDLE;
        host.CloseHandle(h);
    }
    EXPECT_EQ(numbered, 32);
    bench.PlugSide(cables[1], Side::A, {root, 2});
    EXPECT_EQ(bench.DeviceObjectNumber(cables[1], Side::A), 0);
    Handle hub = OpenHub(rootPath);
    EXPECT_TRUE(DriverKey(hub, 2)) << "the driver is installed, it only could not start";
    host.CloseHandle(hub);
}

// ----- hub requests --------------------------------------------------------------------------------

TEST_F(BenchModel, HubRequestsAnswerAtTheirOffsets)
{
    InstallDefaultDriver();
    const DeviceId hubId = bench.AttachHub({root, 2}, HubSpec{7, 0x05E3, 0x0610});
    bench.AttachDevice({root, 3}, DeviceSpec{0x046D, 0xC077});
    bench.PlugSide(bench.AddCable(), Side::A, {hubId, 5});

    Handle hub = OpenHub(rootPath);
    ASSERT_NE(hub, INVALID_HANDLE);
    EXPECT_EQ(PortCount(hub), 4);

    auto empty = ConnectionInfo(hub, 1);
    ASSERT_TRUE(empty);
    EXPECT_EQ((*empty)[31], 0) << "empty port: not connected";
    EXPECT_EQ(Le32(empty->data()), 1u) << "ConnectionIndex stays";

    auto device = ConnectionInfo(hub, 3);
    ASSERT_TRUE(device);
    EXPECT_EQ(Le16(device->data() + 12), 0x046D);
    EXPECT_EQ(Le16(device->data() + 14), 0xC077);
    EXPECT_EQ((*device)[24], 0);
    EXPECT_EQ((*device)[31], 1);

    auto hubInfo = ConnectionInfo(hub, 2);
    ASSERT_TRUE(hubInfo);
    EXPECT_EQ((*hubInfo)[24], 1);
    EXPECT_EQ(Le16(hubInfo->data() + 12), 0x05E3);

    // Connection name: ActualLength at 4 covers the whole answer; the name is the hub's "\\.\" path.
    std::vector<uint8_t> b(520, 0);
    b[0] = 2;
    ASSERT_TRUE(host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, b.data(), 520, nullptr));
    const std::string name = Utf16At(b, 8);
    EXPECT_EQ(Le32(b.data() + 4), 8 + 2 * (name.size() + 1));
    Handle inner = OpenHub("\\\\.\\" + name);
    ASSERT_NE(inner, INVALID_HANDLE);
    EXPECT_EQ(PortCount(inner), 7);

    // Driver key in two steps: 10 bytes give ActualLength only, then the name fits exactly.
    std::vector<uint8_t> small(10, 0xEE);
    small[0] = 5, small[1] = small[2] = small[3] = 0;
    ASSERT_TRUE(host.DeviceIoControl(inner, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, small.data(), 10, nullptr));
    const uint32_t actual = Le32(small.data() + 4);
    EXPECT_GT(actual, 10u);
    EXPECT_EQ(small[8], 0xEE) << "nothing written past the header when the name does not fit";
    std::vector<uint8_t> full(actual, 0);
    full[0] = 5;
    ASSERT_TRUE(host.DeviceIoControl(inner, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, full.data(), actual, nullptr));
    EXPECT_EQ(Le16(full.data() + actual - 2), 0) << "zero-terminated";
    EXPECT_EQ(Utf16At(full, 8).size(), (actual - 10) / 2);
    EXPECT_FALSE(HubName(hub, 3)) << "a device port has no hub name";
    EXPECT_FALSE(DriverKey(hub, 1)) << "an empty port has no driver key";
    host.CloseHandle(inner);
    host.CloseHandle(hub);
}

TEST_F(BenchModel, BadRequestsFailCleanly)
{
    Handle hub = OpenHub(rootPath);
    std::array<uint8_t, 388> b{};
    for (uint32_t port : {0u, 5u, 0xFFFFFFFFu}) {
        b[0] = uint8_t(port), b[1] = uint8_t(port >> 8), b[2] = uint8_t(port >> 16), b[3] = uint8_t(port >> 24);
        EXPECT_FALSE(host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, b.data(), 388, nullptr)) << port;
    }
    b = {};
    b[0] = 1;
    EXPECT_FALSE(host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, b.data(), 20, nullptr));
    EXPECT_FALSE(host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, b.data(), 75, nullptr));
    EXPECT_FALSE(host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, b.data(), 4, nullptr));
    EXPECT_FALSE(host.DeviceIoControl(hub, 0x123456, b.data(), 388, nullptr));
    EXPECT_FALSE(host.DeviceIoControl(hub, IOCTL_VENDOR_REQUEST, b.data(), 18, nullptr)) << "a hub is no bridge";
    EXPECT_FALSE(host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, nullptr, 76, nullptr));
    EXPECT_TRUE(host.CloseHandle(hub));
    EXPECT_FALSE(host.CloseHandle(hub)) << "closing twice is harmless";
    EXPECT_FALSE(host.CloseHandle(INVALID_HANDLE));
    EXPECT_FALSE(host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, b.data(), 388, nullptr));

    EXPECT_EQ(host.OpenFile(rootPath + std::string(260, 'x'), ACCESS_WRITE, SHARE_WRITE, false), INVALID_HANDLE);
    EXPECT_EQ(host.OpenFile("", ACCESS_WRITE, SHARE_WRITE, false), INVALID_HANDLE);
    EXPECT_EQ(host.OpenFile(rootPath + "\\3", ACCESS_READ, SHARE_READ, true), INVALID_HANDLE) << "a hub has no pipes";
    EXPECT_EQ(host.OpenFile("\\\\.\\HOSTLNK-0", ACCESS_READ, SHARE_READ, false), INVALID_HANDLE);
}

// ----- vendor requests ------------------------------------------------------------------------

TEST_F(BenchModel, VendorRequestsOnTheControlChannel)
{
    InstallDefaultDriver();
    bench::EepromBytes eeprom;
    for (int i = 0; i < 256; ++i)
        eeprom[i] = uint8_t(i);
    const CableId cable = bench.AddCable({ChipSpec{0x7730, 0x8006}, eeprom});
    bench.PlugSide(cable, Side::A, {root, 1});
    Handle h = OpenControl(HostLink(1));
    ASSERT_NE(h, INVALID_HANDLE);

    EXPECT_EQ(VersionQuery(h), 0x8006);
    std::vector<uint8_t> b;
    ASSERT_TRUE(Vendor(h, 0xC0, 0xFE, 248, 8, b, 18));
    EXPECT_EQ(b[8], 248);
    EXPECT_EQ(b[15], 255);
    EXPECT_EQ(b[16], 0) << "bytes past the data stay as they were";
    EXPECT_TRUE(Vendor(h, 0x40, 0xFD, 0, 0, b, 10)) << "prepare is accepted";

    EXPECT_FALSE(Vendor(h, 0xC0, 0xFE, 252, 8, b, 18)) << "past the EEPROM's end";
    EXPECT_FALSE(Vendor(h, 0x40, 0xFE, 0, 8, b, 18)) << "read with the OUT direction";
    EXPECT_FALSE(Vendor(h, 0xC0, 0xFF, 0, 8, b, 18)) << "write with the IN direction";
    EXPECT_FALSE(Vendor(h, 0xC0, 0xE0, 0, 2, b, 12)) << "unknown request";
    EXPECT_FALSE(Vendor(h, 0xC0, 0xFE, 0, 8, b, 12)) << "buffer shorter than its wLength";
    EXPECT_FALSE(Vendor(h, 0xC0, 0xF7, 0, 2, b, 7));
    EXPECT_EQ(bench.Eeprom(cable), eeprom) << "refused writes change nothing";

    // A chip that answers only the status query.
    bench.SetChip(cable, ChipSpec{0x7701, 0, true, {0x08, 0x00}});
    EXPECT_FALSE(VersionQuery(h));
    ASSERT_TRUE(Vendor(h, 0xC0, 0xFB, 0, 2, b, 12));
    EXPECT_EQ(b[8], 0x08);
    EXPECT_EQ(b[9], 0x00);
    // An unknown version word is answered as it is.
    bench.SetChip(cable, ChipSpec{0x7730, 0x9999});
    EXPECT_EQ(VersionQuery(h), 0x9999);

    // Pipes take no device requests.
    Handle pipe = host.OpenFile(HostLink(1) + "\\3", ACCESS_READ, SHARE_READ, true);
    ASSERT_NE(pipe, INVALID_HANDLE);
    EXPECT_FALSE(Vendor(pipe, 0xC0, 0xF7, 0, 2, b, 12));
    host.CloseHandle(pipe);

    // After the side is gone its open handle fails cleanly.
    bench.UnplugSide(cable, Side::A);
    EXPECT_FALSE(VersionQuery(h));
    host.CloseHandle(h);
}

TEST_F(BenchModel, ControlFaults)
{
    InstallDefaultDriver();
    const CableId cable = bench.AddCable();
    bench.PlugSide(cable, Side::A, {root, 1});
    bench.PlugSide(cable, Side::B, {root, 2});
    Handle a = OpenControl(HostLink(1));
    Handle b = OpenControl(HostLink(2));
    uint8_t block[8];

    SideFaults f;
    f.allRequestsFail = true;
    bench.SetSideFaults(cable, Side::A, f);
    EXPECT_FALSE(VersionQuery(a));
    EXPECT_TRUE(VersionQuery(b)) << "faults are per side";

    f = {};
    f.failRequest = 0xF7;
    bench.SetSideFaults(cable, Side::A, f);
    EXPECT_FALSE(VersionQuery(a));
    EXPECT_TRUE(ReadBlock(a, 0, block));

    f = {};
    f.failEepromBlock = 3;
    bench.SetSideFaults(cable, Side::A, f);
    EXPECT_TRUE(ReadBlock(a, 16, block));
    EXPECT_FALSE(ReadBlock(a, 24, block));
    EXPECT_FALSE(WriteBlock(a, 24, block));
    EXPECT_TRUE(ReadBlock(a, 32, block));
    bench.SetSideFaults(cable, Side::A, {});

    // A bit that reads back flipped: the EEPROM holds what was written.
    CableFaults cf;
    cf.flippedEepromBit = 8 * 100 + 2;
    bench.SetCableFaults(cable, cf);
    const uint8_t zeros[8] = {};
    ASSERT_TRUE(WriteBlock(a, 96, zeros));
    ASSERT_TRUE(ReadBlock(b, 96, block));
    EXPECT_EQ(block[4], 0x04);
    EXPECT_EQ(bench.Eeprom(cable)[100], 0);
    host.CloseHandle(a);
    host.CloseHandle(b);
}

TEST_F(BenchModel, HubAndDriverKeyFaults)
{
    InstallDefaultDriver();
    const DeviceId inner = bench.AttachHub({root, 1}, HubSpec{4});
    const DeviceId mouse = bench.AttachDevice({root, 2});
    const CableId cable = bench.AddCable();
    bench.PlugSide(cable, Side::A, {root, 3});
    Handle hub = OpenHub(rootPath);

    bench.SetDriverKeyFault(mouse, 10);
    std::vector<uint8_t> b(10, 0);
    b[0] = 2;
    ASSERT_TRUE(host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, b.data(), 10, nullptr));
    EXPECT_EQ(Le32(b.data() + 4), 10u);
    EXPECT_FALSE(DriverKey(hub, 2));
    SideFaults sf;
    sf.driverKeyActualLength = 4;
    bench.SetSideFaults(cable, Side::A, sf);
    EXPECT_FALSE(DriverKey(hub, 3));

    HubFaults hf;
    hf.connectionInfoFailsPort = 2;
    hf.connectionNameFailsPort = 1;
    bench.SetHubFaults(root, hf);
    EXPECT_FALSE(ConnectionInfo(hub, 2));
    EXPECT_TRUE(ConnectionInfo(hub, 3));
    EXPECT_FALSE(HubName(hub, 1));
    hf = {};
    hf.connectionInfoFailsPort = -1;
    hf.nodeInfoFails = true;
    bench.SetHubFaults(root, hf);
    EXPECT_FALSE(ConnectionInfo(hub, 3));
    EXPECT_FALSE(PortCount(hub));
    bench.SetHubFaults(root, {});
    const auto innerName = HubName(hub, 1);
    ASSERT_TRUE(innerName);
    hf = {};
    hf.openFails = true;
    bench.SetHubFaults(inner, hf);
    EXPECT_EQ(OpenHub("\\\\.\\" + *innerName), INVALID_HANDLE);
    host.CloseHandle(hub);
}

// ----- device manager, registry ----------------------------------------------------------------

TEST_F(BenchModel, DeviceTreeAndEnumeration)
{
    const DeviceId root2 = bench.AddController(2);
    const DeviceId hubId = bench.AttachHub({root, 4});
    DeviceSpec plain;
    plain.description.reset();
    plain.hasDriver = false;
    const DeviceId bare = bench.AttachDevice({hubId, 1}, plain);
    const DeviceId mouse = bench.AttachDevice({root, 1});

    std::vector<std::string> ids;
    ASSERT_TRUE(host.EnumeratePresentDevices("USB", 260, ids));
    ASSERT_EQ(ids.size(), 5u);
    EXPECT_EQ(ids[0], bench.InstanceId(root));
    EXPECT_EQ(ids[1], bench.InstanceId(root2));
    EXPECT_NE(ids[0].find("ROOT_HUB"), std::string::npos);
    std::vector<std::string> again;
    host.EnumeratePresentDevices("usb", 260, again);
    EXPECT_EQ(ids, again) << "stable order";
    host.EnumeratePresentDevices("USB", 10, again);
    EXPECT_TRUE(again[0].empty()) << "an ID that does not fit its buffer is not given";

    // root -> controller -> root hub -> devices in port order; the hub's device below the hub.
    const DevNode top = host.GetRootNode();
    const DevNode controller = host.GetChild(top);
    const DevNode rootHub = host.GetChild(controller);
    std::string id;
    ASSERT_TRUE(host.GetNodeInstanceId(rootHub, 260, id));
    EXPECT_EQ(id, bench.InstanceId(root));
    const DevNode first = host.GetChild(rootHub);
    ASSERT_TRUE(host.GetNodeInstanceId(first, 260, id));
    EXPECT_EQ(id, bench.InstanceId(mouse));
    const DevNode hubNode = host.GetSibling(first);
    ASSERT_TRUE(host.GetNodeInstanceId(host.GetChild(hubNode), 260, id));
    EXPECT_EQ(id, bench.InstanceId(bare));
    EXPECT_EQ(host.GetSibling(hubNode), NO_DEVNODE);
    EXPECT_EQ(host.GetParent(hubNode), rootHub);
    EXPECT_NE(host.GetSibling(controller), NO_DEVNODE) << "the second controller";
    EXPECT_EQ(host.GetParent(top), NO_DEVNODE);

    std::string value;
    EXPECT_TRUE(host.GetNodeProperty(first, DEVNODE_PROP_DRIVER, 260, value));
    EXPECT_EQ(value.front(), '{');
    EXPECT_TRUE(host.GetNodeProperty(first, DEVNODE_PROP_DEVICEDESC, 512, value));
    EXPECT_EQ(value, "USB Input Device");
    EXPECT_FALSE(host.GetNodeProperty(first, DEVNODE_PROP_DEVICEDESC, 5, value)) << "does not fit";
    EXPECT_FALSE(host.GetNodeProperty(host.GetChild(hubNode), DEVNODE_PROP_DRIVER, 260, value));
    EXPECT_FALSE(host.GetNodeProperty(host.GetChild(hubNode), DEVNODE_PROP_DEVICEDESC, 512, value));
    EXPECT_FALSE(host.GetNodeProperty(first, 99, 512, value));

    EXPECT_TRUE(host.IsDevicePresent(bench.InstanceId(bare)));
    const std::string bareId = bench.InstanceId(bare);
    bench.Unplug({root, 4});
    EXPECT_FALSE(host.IsDevicePresent(bareId));
    EXPECT_FALSE(host.IsDevicePresent(""));
    EXPECT_EQ(host.GetChild(hubNode), NO_DEVNODE) << "a removed node is unknown";
    EXPECT_FALSE(host.GetNodeInstanceId(hubNode, 260, id));
    host.EnumeratePresentDevices("USB", 260, ids);
    EXPECT_EQ(ids.size(), 3u);
}

TEST_F(BenchModel, RegistryLayoutsAndPlatform)
{
    EXPECT_EQ(host.GetPlatformId(), PLATFORM_WIN32_NT);
    std::string value;
    ASSERT_TRUE(host.ReadMachineRegistryString("SYSTEM\\CurrentControlSet\\Enum\\" + bench.InstanceId(root) +
                                                   "\\Device Parameters", "SymbolicName", 260, value));
    EXPECT_EQ(value.substr(0, 4), "\\??\\");
    EXPECT_FALSE(host.ReadMachineRegistryString("SYSTEM\\CurrentControlSet\\Enum\\" + bench.InstanceId(root) +
                                                    "\\Device Parameters", "SymbolicName", value.size(), value))
        << "no room for the terminator";

    BenchOptions other = OptionsIn(dir);
    other.layout = RegistryLayout::Win9x;
    Bench old(other);
    SimHost oldHost(old.Pc());
    const DeviceId r = old.AddController();
    EXPECT_EQ(oldHost.GetPlatformId(), PLATFORM_WIN32_WINDOWS);
    ASSERT_TRUE(oldHost.ReadMachineRegistryString("Enum\\" + old.InstanceId(r), "SymbolicName", 260, value));
    EXPECT_EQ(value.substr(0, 12), "\\DosDevices\\");
    EXPECT_NE(oldHost.OpenFile("\\\\.\\" + value.substr(12), ACCESS_WRITE, SHARE_WRITE, false), INVALID_HANDLE);
    EXPECT_FALSE(oldHost.ReadMachineRegistryString("SYSTEM\\CurrentControlSet\\Enum\\" + old.InstanceId(r) +
                                                       "\\Device Parameters", "SymbolicName", 260, value));
}

TEST_F(BenchModel, PendingInstallations)
{
    EXPECT_EQ(host.WaitNoPendingInstallEvents(0), InstallWait::NoneLeft) << "zero install time by default";

    BenchOptions slow = OptionsIn(dir);
    slow.installTime = std::chrono::hours(1);
    Bench b1(slow);
    SimHost h1(b1.Pc());
    EXPECT_EQ(h1.WaitNoPendingInstallEvents(0), InstallWait::NoneLeft);
    b1.AddController();
    EXPECT_EQ(h1.WaitNoPendingInstallEvents(0), InstallWait::TimedOut);
    EXPECT_EQ(h1.WaitNoPendingInstallEvents(20), InstallWait::TimedOut);
    b1.FinishInstallations();
    EXPECT_EQ(h1.WaitNoPendingInstallEvents(0), InstallWait::NoneLeft);

    slow.installTime = std::chrono::milliseconds(30);
    Bench b2(slow);
    SimHost h2(b2.Pc());
    b2.AddController();
    EXPECT_EQ(h2.WaitNoPendingInstallEvents(5000), InstallWait::NoneLeft) << "the wait ends with the installation";

    slow.pendingQueryAvailable = false;
    Bench b3(slow);
    SimHost h3(b3.Pc());
    EXPECT_EQ(h3.WaitNoPendingInstallEvents(0), InstallWait::Unavailable);
}

// ----- notifications, timing ------------------------------------------------------------------

TEST_F(BenchModel, NotificationsOnEveryArrivalAndRemoval)
{
    std::atomic<int> arrivals{0}, removals{0};
    const auto id = host.SubscribeDeviceChanges([&](DeviceChange c) {
        (c == DeviceChange::Arrival ? arrivals : removals)++;
        std::vector<std::string> ids;
        host.EnumeratePresentDevices("USB", 260, ids); // a callback may use the Host
    });
    EXPECT_NE(id, 0u);
    const DeviceId hubId = bench.AttachHub({root, 1});
    bench.AttachDevice({hubId, 1});
    const CableId cable = bench.AddCable();
    bench.PlugSide(cable, Side::A, {hubId, 2});
    EXPECT_EQ(arrivals, 3);
    bench.Unplug({root, 1}); // the hub and both devices behind it
    EXPECT_EQ(removals, 3);
    EXPECT_FALSE(bench.WhereIs(cable, Side::A));

    host.UnsubscribeDeviceChanges(id);
    host.UnsubscribeDeviceChanges(id);
    bench.AttachDevice({root, 1});
    EXPECT_EQ(arrivals, 3);

    // A callback that unsubscribes itself stops further calls.
    std::atomic<int> calls{0};
    std::uint64_t self = 0;
    self = host.SubscribeDeviceChanges([&](DeviceChange) {
        ++calls;
        host.UnsubscribeDeviceChanges(self);
    });
    bench.AttachDevice({root, 2});
    bench.AttachDevice({root, 3});
    EXPECT_EQ(calls, 1);
}

TEST_F(BenchModel, ControlLatencyAndWriteCycle)
{
    InstallDefaultDriver();
    bench.PlugSide(bench.AddCable(), Side::A, {root, 1});
    Handle h = OpenControl(HostLink(1));
    BenchTiming timing;
    timing.controlLatency = std::chrono::milliseconds(20);
    timing.eepromWriteCycle = std::chrono::milliseconds(30);
    bench.SetTiming(timing);
    uint8_t block[8] = {};
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ReadBlock(h, 0, block));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WriteBlock(h, 0, block));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    host.CloseHandle(h);
}

TEST_F(BenchModel, WorldFaceRefusesMisuse)
{
    EXPECT_THROW(bench.AttachDevice({root, 5}), std::invalid_argument);
    EXPECT_THROW(bench.AttachDevice({999, 1}), std::invalid_argument);
    EXPECT_THROW(bench.AttachHub({root, 1}, HubSpec{0}), std::invalid_argument);
    EXPECT_THROW(bench.AttachHub({root, 1}, HubSpec{256}), std::invalid_argument);
    bench.AttachDevice({root, 1});
    EXPECT_THROW(bench.AttachDevice({root, 1}), std::invalid_argument) << "port taken";
    // Five hubs deep is the limit.
    DeviceId at = bench.AttachHub({root, 4}, HubSpec{2});
    for (int depth = 2; depth <= 5; ++depth)
        at = bench.AttachHub({at, 1}, HubSpec{2});
    EXPECT_THROW(bench.AttachHub({at, 1}), std::invalid_argument);
    EXPECT_NO_THROW(bench.AttachDevice({at, 1}));
    const CableId cable = bench.AddCable();
    bench.PlugSide(cable, Side::A, {root, 2});
    EXPECT_THROW(bench.PlugSide(cable, Side::A, {root, 3}), std::invalid_argument);
    EXPECT_THROW(bench.Eeprom(12345), std::invalid_argument);
}

} // namespace
