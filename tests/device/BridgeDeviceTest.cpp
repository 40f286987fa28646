// BridgeDevice and the device scan against the in-process bench, watching every vendor request.

#include "BenchFixture.h"
#include "BridgeDevice.h"
#include "EepromImage.h"
#include "RecordingHost.h"

#include <gtest/gtest.h>

#include <cstring>

using bench::Side;

namespace {

class DeviceBench : public BenchFixture {
protected:
    DeviceBench()
    {
        bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730", "USB\\VID_0C5E&PID_7701"});
        m_root = bench.AddController(64);
    }

    // A cable with both sides plugged in; side A gets the lowest free device object.
    bench::CableId PlugCable(const bench::ChipSpec &chip = {})
    {
        bench::CableSpec spec;
        spec.chip = chip;
        const bench::CableId cable = bench.AddCable(spec);
        bench.PlugSide(cable, Side::A, {m_root, m_nextPort++});
        bench.PlugSide(cable, Side::B, {m_root, m_nextPort++});
        return cable;
    }

    RecordingHost m_host{host};
    bench::DeviceId m_root = 0;
    int m_nextPort = 1;
};

const char *const kFirst = "\\\\.\\HOSTLNK-1";

TEST(BridgeDeviceTables, VersionWordsNameTheirModelAtTheBoundaries)
{
    const std::pair<uint32_t, uint32_t> table[] = {
        {0x0100, 0x7730}, {0x00FF, 0}, {0x0101, 0},      {0x8000, 0},      {0x8001, 0x7701},
        {0x8004, 0x7701}, {0x8005, 0x7730}, {0x8006, 0x7730}, {0x8007, 0}, {0xFFFF, 0},
    };
    for (const auto &[version, model] : table)
        EXPECT_EQ(BridgeDevice::ModelFromVersion(version), model) << std::hex << version;
}

TEST(BridgeDeviceTables, StatusBytesIdentifyAQt7701)
{
    EXPECT_TRUE(BridgeDevice::IsQt7701Status(0x08, 0x00));
    EXPECT_TRUE(BridgeDevice::IsQt7701Status(0x00, 0x08));
    EXPECT_TRUE(BridgeDevice::IsQt7701Status(0x0A, 0x00)) << "bit 1 in one byte only";
    EXPECT_FALSE(BridgeDevice::IsQt7701Status(0x08, 0x08)) << "bit 3 equal";
    EXPECT_FALSE(BridgeDevice::IsQt7701Status(0x0A, 0x02)) << "bit 1 set in both";
    EXPECT_FALSE(BridgeDevice::IsQt7701Status(0x00, 0x00));
}

TEST_F(DeviceBench, QueryChipAsksForTheVersionFirstAndSucceedsForUnknownWords)
{
    PlugCable({0x7730, 0x8007});
    BridgeDevice device(m_host);
    ASSERT_TRUE(device.Open(kFirst));
    m_host.clear();
    uint32_t model = 0xEE, version = 0xEE;
    ASSERT_TRUE(device.QueryChip(&model, &version));
    EXPECT_EQ(model, 0u);
    EXPECT_EQ(version, 0x8007u);
    const auto sent = m_host.vendorRequests();
    ASSERT_EQ(sent.size(), 1u);
    const std::vector<uint8_t> versionQuery = {0xC0, 0xF7, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0};
    EXPECT_EQ(sent[0].sent, versionQuery) << "12 bytes, zeroed, wLength 2";
    EXPECT_TRUE(device.QueryChip(nullptr, nullptr)) << "both outputs are optional";
}

TEST_F(DeviceBench, AStatusOnlyChipIsDecidedByItsStatusBytes)
{
    bench::ChipSpec statusOnly{0x7701, 0, true, {0x08, 0x00}};
    const bench::CableId cable = PlugCable(statusOnly);
    BridgeDevice device(m_host);
    ASSERT_TRUE(device.Open(kFirst));
    m_host.clear();
    uint32_t model = 0, version = 0;
    ASSERT_TRUE(device.QueryChip(&model, &version));
    EXPECT_EQ(model, 0x7701u);
    EXPECT_EQ(version, 0x8003u);
    const auto sent = m_host.vendorRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].sent[1], 0xFB);
    EXPECT_EQ(sent[1].sent.size(), 12u);
    EXPECT_EQ(sent[1].sent[8], 0) << "the buffer is cleared before the status query";

    for (std::array<uint8_t, 2> status : {std::array<uint8_t, 2>{0x08, 0x08}, std::array<uint8_t, 2>{0x0A, 0x02}}) {
        statusOnly.status = status;
        bench.SetChip(cable, statusOnly);
        model = version = 0x55;
        EXPECT_FALSE(device.QueryChip(&model, &version));
        EXPECT_EQ(model, 0x55u) << "outputs untouched on failure";
        EXPECT_EQ(version, 0x55u);
    }
}

TEST_F(DeviceBench, WholeEepromReadIs32BlocksInOrder)
{
    const bench::CableId cable = PlugCable();
    bench::EepromBytes contents;
    for (int i = 0; i < 256; ++i)
        contents[i] = static_cast<uint8_t>(i ^ 0x5A);
    bench.SetEeprom(cable, contents);

    BridgeDevice device(m_host);
    ASSERT_TRUE(device.Open(kFirst));
    m_host.clear();
    uint8_t read[256] = {};
    ASSERT_TRUE(device.ReadEeprom(read, 0, 256));
    EXPECT_EQ(0, std::memcmp(read, contents.data(), 256));
    const auto sent = m_host.vendorRequests();
    ASSERT_EQ(sent.size(), 32u);
    for (std::size_t k = 0; k < 32; ++k) {
        ASSERT_EQ(sent[k].sent.size(), 18u);
        EXPECT_EQ(sent[k].sent[0], 0xC0);
        EXPECT_EQ(sent[k].sent[1], 0xFE);
        EXPECT_EQ(sent[k].sent[4] | sent[k].sent[5] << 8, int(8 * k));
        EXPECT_EQ(sent[k].sent[6], 8);
    }
}

TEST_F(DeviceBench, BadRangesAndClosedDevicesSendNothing)
{
    PlugCable();
    BridgeDevice device(m_host);
    uint8_t buffer[512] = {};
    EXPECT_FALSE(device.ReadEeprom(buffer, 0, 256)) << "not open";
    EXPECT_FALSE(device.QueryChip(nullptr, nullptr));
    EXPECT_FALSE(device.SendPrepareRequest());
    ASSERT_TRUE(device.Open(kFirst));
    m_host.clear();
    EXPECT_FALSE(device.ReadEeprom(buffer, 0, 0));
    EXPECT_FALSE(device.ReadEeprom(buffer, 0, 257));
    EXPECT_FALSE(device.WriteEeprom(buffer, 200, 64));
    EXPECT_FALSE(device.WriteEeprom(buffer, 0, 12)) << "partial blocks are refused";
    EXPECT_TRUE(m_host.vendorRequests().empty());
    EXPECT_TRUE(device.ReadEeprom(buffer, 248, 8));
    EXPECT_EQ(m_host.vendorRequests().size(), 1u);
}

TEST_F(DeviceBench, AFailedBlockStopsTheWriteAndKeepsEarlierBlocks)
{
    const bench::CableId cable = PlugCable();
    bench::SideFaults faults;
    faults.failEepromBlock = 5;
    bench.SetSideFaults(cable, Side::A, faults);

    BridgeDevice device(m_host);
    ASSERT_TRUE(device.Open(kFirst));
    m_host.clear();
    uint8_t data[256];
    std::memset(data, 0x42, sizeof data);
    EXPECT_FALSE(device.WriteEeprom(data, 0, 256));
    EXPECT_EQ(m_host.vendorRequests().size(), 6u) << "blocks 0 to 5, then it stops";
    const auto eeprom = bench.Eeprom(cable);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(eeprom[i], i < 40 ? 0x42 : 0xFF) << i;
}

TEST_F(DeviceBench, PrepareIsAnOutRequestWithoutData)
{
    PlugCable();
    BridgeDevice device(m_host);
    ASSERT_TRUE(device.Open(kFirst));
    m_host.clear();
    EXPECT_TRUE(device.SendPrepareRequest());
    const auto sent = m_host.vendorRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].sent, (std::vector<uint8_t>{0x40, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(DeviceBench, OpenIsAllOrNothing)
{
    PlugCable();
    BridgeDevice device(m_host);
    m_host.refuseOpen = [](std::string_view name) { return name.ends_with("\\2"); };
    EXPECT_FALSE(device.Open(kFirst));
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(m_host.openHandles(), 0u) << "the control handle and read pipe were closed again";
    m_host.refuseOpen = nullptr;
    EXPECT_FALSE(device.Open("\\\\.\\HOSTLNK-9"));
    EXPECT_FALSE(device.Open(""));
    EXPECT_FALSE(device.Open(std::string(258, 'x'))) << "the pipe names would not fit 260 bytes";
    ASSERT_TRUE(device.Open(kFirst));
    EXPECT_EQ(m_host.openHandles(), 3u);
    device.Close();
    device.Close();
    EXPECT_EQ(m_host.openHandles(), 0u);
}

TEST_F(DeviceBench, ScanMaskFollowsTheDeviceObjectNumbers)
{
    EXPECT_EQ(ScanBridgeDevices(0x7730, m_host), 0u);
    std::vector<bench::CableId> cables;
    for (int i = 0; i < 16; ++i)
        cables.push_back(PlugCable());
    EXPECT_EQ(ScanBridgeDevices(0x7730, m_host), 0xFFFFFFFFu);
    EXPECT_EQ(ScanBridgeDevices(0x7701, m_host), 0u);
    EXPECT_EQ(m_host.openHandles(), 0u);

    // Keep only HOSTLNK-3 (cable 2, side A) and HOSTLNK-32 (cable 16, side B).
    for (int i = 0; i < 16; ++i)
        for (Side side : {Side::A, Side::B})
            if (!((i == 1 && side == Side::A) || (i == 15 && side == Side::B)))
                bench.UnplugSide(cables[i], side);
    ASSERT_EQ(bench.DeviceObjectNumber(cables[1], Side::A), 3);
    ASSERT_EQ(bench.DeviceObjectNumber(cables[15], Side::B), 32);
    EXPECT_EQ(ScanBridgeDevices(0x7730, m_host), 0x80000004u);

    // A device object whose read pipe does not open counts as absent and leaves nothing open.
    m_host.refuseOpen = [](std::string_view name) { return name == "\\\\.\\HOSTLNK-3\\3"; };
    EXPECT_EQ(ScanBridgeDevices(0x7730, m_host), 0x80000000u);
    EXPECT_EQ(m_host.openHandles(), 0u);
}

TEST_F(DeviceBench, ScanLeavesChipsOfOtherModelsAndDeadChipsOut)
{
    PlugCable({0x7701, 0x8002});
    const bench::CableId dead = PlugCable();
    bench::SideFaults faults;
    faults.allRequestsFail = true;
    bench.SetSideFaults(dead, Side::A, faults);
    EXPECT_EQ(ScanBridgeDevices(0x7730, m_host), 0x8u) << "only HOSTLNK-4 (the dead cable's side B)";
    EXPECT_EQ(ScanBridgeDevices(0x7701, m_host), 0x3u);
}

} // namespace
