#include "ConfigWorker.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

using namespace editor;

namespace {

// A cable side in memory, with switchable faults.
struct FakeDevice : ConfigDevice {
    std::array<uint8_t, 256> eeprom{};
    bool open = false, failOpen = false, failQuery = false, failWrite = false, failRead = false;
    int flipByte = -1;
    int closes = 0;
    std::string openedPath;

    bool Open(const std::string &path) override
    {
        openedPath = path;
        return open = !failOpen;
    }
    bool QueryChip(uint32_t *model, uint32_t *version) override
    {
        if (failQuery)
            return false;
        *model = 0x7730;
        *version = 0x0102;
        return true;
    }
    bool WriteEeprom(uint16_t offset, const uint8_t *data, uint16_t length) override
    {
        if (failWrite || offset + length > 256)
            return false;
        std::memcpy(eeprom.data() + offset, data, length);
        return true;
    }
    bool ReadEeprom(uint16_t offset, uint8_t *data, uint16_t length) override
    {
        if (failRead || offset + length > 256)
            return false;
        std::memcpy(data, eeprom.data() + offset, length);
        if (flipByte >= 0)
            data[flipByte] ^= 0x01;
        return true;
    }
    void Close() override
    {
        open = false;
        ++closes;
    }
};

struct RecordingUi : ConfigWorkerUi {
    std::string log;
    bool answerYes = true;
    int asked = 0, failures = 0;
    std::vector<std::tuple<std::string, uint16_t, uint16_t>> infUpdates;

    void AppendLog(const std::string &text) override { log += text; }
    bool AskUpdateInf() override
    {
        ++asked;
        return answerYes;
    }
    void ShowFailure() override { ++failures; }
    void UpdateInf(const std::string &key, uint16_t vid, uint16_t pid) override
    {
        infUpdates.emplace_back(key, vid, pid);
    }
};

EepromImage BuiltImage()
{
    EepromImage image;
    image.m_rec.wVendorId.set(0x1234);
    image.m_rec.wProductId3.set(0xABCD);
    image.m_rec.wProductId1.set(0x7711);
    return image;
}

const ConfigTarget kTarget{"\\\\.\\USB#VID_0C5E&PID_7730#1", "{36fc9e60-c465-11cf-8056-444553540000}\\0003"};

} // namespace

TEST(ConfigWorkerSteps, SuccessWritesRecordsAndOffersTheInfUpdate)
{
    EepromImage image = BuiltImage();
    FakeDevice device;
    RecordingUi ui;
    EXPECT_EQ(RunConfiguration(&kTarget, &image, device, ui), kConfigOk);
    EXPECT_EQ(ui.log, "Initialize device\tOK\r\nWrite EEPROM data\tOK\r\nVerify configuration\tOK\r\n");
    EXPECT_EQ(device.openedPath, kTarget.devicePath);
    EXPECT_EQ(0, std::memcmp(device.eeprom.data(), image.Bytes(), 256));
    EXPECT_EQ(image.m_rec.dwChipModel.get(), 0x7730u);
    EXPECT_EQ(image.m_rec.dwChipVersion.get(), 0x0102u);
    ASSERT_EQ(ui.infUpdates.size(), 1u);
    EXPECT_EQ(ui.infUpdates[0], std::make_tuple(kTarget.driverKey, uint16_t(0x1234), uint16_t(0xABCD)));
    EXPECT_EQ(ui.failures, 0);
    EXPECT_EQ(device.closes, 1);
    EXPECT_FALSE(device.open);
}

// Write failures, a flipped last byte and an unplugged cable run against the bench (ConfigEndToEndTest).
TEST(ConfigWorkerSteps, EveryFailureEndsWithFailAndCancel)
{
    struct Case {
        const char *name;
        void (*arrange)(FakeDevice &);
        const char *log;
    };
    const Case cases[] = {
        {"open", [](FakeDevice &d) { d.failOpen = true; }, "Initialize device\tFail\r\n"},
        {"query", [](FakeDevice &d) { d.failQuery = true; }, "Initialize device\tFail\r\n"},
        {"first byte", [](FakeDevice &d) { d.flipByte = 0; },
         "Initialize device\tOK\r\nWrite EEPROM data\tOK\r\nVerify configuration\tFail\r\n"},
    };
    for (const Case &c : cases) {
        EepromImage image = BuiltImage();
        FakeDevice device;
        c.arrange(device);
        RecordingUi ui;
        EXPECT_EQ(RunConfiguration(&kTarget, &image, device, ui), kConfigCancel) << c.name;
        EXPECT_EQ(ui.log, c.log) << c.name;
        EXPECT_EQ(ui.failures, 1) << c.name;
        EXPECT_EQ(ui.asked, 0) << c.name;
        EXPECT_EQ(device.closes, 1) << c.name;
    }
}

TEST(ConfigWorkerSteps, MissingTargetPathOrImageFailsAtOnce)
{
    EepromImage image = BuiltImage();
    const ConfigTarget noPath{"", "key"};
    for (const ConfigTarget *target : {static_cast<const ConfigTarget *>(nullptr), &noPath}) {
        FakeDevice device;
        RecordingUi ui;
        EXPECT_EQ(RunConfiguration(target, &image, device, ui), kConfigCancel);
        EXPECT_EQ(ui.log, "Initialize device\tFail\r\n");
        EXPECT_TRUE(device.openedPath.empty());
    }
    FakeDevice device;
    RecordingUi ui;
    EXPECT_EQ(RunConfiguration(&kTarget, nullptr, device, ui), kConfigCancel);
    EXPECT_EQ(ui.failures, 1);
}

TEST(ConfigSearchTimers, OneWalkAfterTheLastChangeAndNoneOnceFound)
{
    ConfigSearch search;
    const auto start = search.Start(0x1);
    EXPECT_EQ(start.timer, kTimerFindDevice);
    EXPECT_EQ(start.delayMs, 100);
    EXPECT_EQ(search.DeviceChanged(0x1).timer, 0); // same set of devices: no new walk
    const auto changed = search.DeviceChanged(0x3);
    EXPECT_EQ(changed.timer, kTimerFindDevice);
    EXPECT_EQ(changed.delayMs, 1000);
    EXPECT_EQ(search.WalkDone(0).timer, 0);
    EXPECT_TRUE(search.Searching());
    const auto found = search.WalkDone(2);
    EXPECT_EQ(found.timer, kTimerStartConfig);
    EXPECT_EQ(found.delayMs, 100);
    EXPECT_FALSE(search.Searching());
    EXPECT_EQ(search.DeviceChanged(0x7).timer, 0);
    EXPECT_EQ(search.Mask(), 0x3u);
}
