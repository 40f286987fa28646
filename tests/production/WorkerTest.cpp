#include "FakeCable.h"
#include "FunctionTest.h"
#include "ImageChain.h"
#include "TamberTexts.h"
#include "TestWorker.h"

#include <gtest/gtest.h>

using namespace production;
using namespace production_test;

namespace {

EepromImage BatchImage()
{
    EepromImage image;
    image.m_rec.wVendorId.set(0x0C5E);
    image.m_rec.wProductId3.set(0x7730);
    image.m_rec.bSerialIndex = 3;
    WriteChain(image, {"Veltrona", "Bridge Cable", "SN0001"});
    return image;
}

struct WorkerRun : ::testing::Test {
    FakeCable cable;
    RunInputs in;
    std::string log;

    void SetUp() override
    {
        const EepromImage image = BatchImage();
        std::memcpy(in.imageBytes.data(), image.Bytes(), 256);
        std::memcpy(cable.eeprom, image.Bytes(), 256);
        in.chipModel = 0x7730;
        in.chipVersion = 0x0100;
        in.sideA.devicePath = "\\\\.\\sideA";
        in.sideB.devicePath = "\\\\.\\sideB";
    }
    bool Run()
    {
        const bool passed = TestWorker(in, cable, [this](const std::string &t) { log += t; });
        if (!passed)
            log += "FAIL\n";
        return passed;
    }
};

} // namespace

TEST_F(WorkerRun, GoodCableLeavesFiveOkLines)
{
    ASSERT_TRUE(Run());
    EXPECT_EQ(log, "Initialize device\tOK\r\n"
                   "Check chip version\tOK\r\n"
                   "Verify configuration\tOK\r\n"
                   "Send data from side A to B\tOK\r\n"
                   "Send data from side B to A\tOK\r\n");
    // A reads first what B writes, then the other way round; never two sides open at once.
    std::vector<std::string> transfers;
    for (const std::string &c : cable.calls)
        if (c.rfind("transfer", 0) == 0)
            transfers.push_back(c);
    EXPECT_EQ(transfers, (std::vector<std::string>{"transfer \\\\.\\sideA <- \\\\.\\sideB",
                                                   "transfer \\\\.\\sideB <- \\\\.\\sideA"}));
    EXPECT_EQ(cable.maxOpen, 1);
    EXPECT_EQ(cable.openNow, 0);
}

TEST_F(WorkerRun, SerialTextTakesNoPartButEveryOtherByteDoes)
{
    EepromImage own = BatchImage();
    own.SetProperty(EEP_SERIAL_STRING, "SN9999", 6);
    std::memcpy(cable.eeprom, own.Bytes(), 256);
    EXPECT_TRUE(Run());

    own.SetProperty(EEP_SERIAL_STRING, "A-MUCH-LONGER-SERIAL", 20);
    std::memcpy(cable.eeprom, own.Bytes(), 256);
    log.clear();
    EXPECT_TRUE(Run());

    cable.eeprom[9] ^= 0x01; // bMaxPower one bit off
    log.clear();
    EXPECT_FALSE(Run());
    EXPECT_EQ(log, "Initialize device\tOK\r\nCheck chip version\tOK\r\nVerify configuration\tFAIL\n");
}

TEST_F(WorkerRun, ChipChecks)
{
    cable.version = 0x8005;
    EXPECT_FALSE(Run());
    EXPECT_EQ(log, "Initialize device\tOK\r\nCheck chip version\tFAIL\n");
    EXPECT_EQ(cable.openNow, 0);

    // A blank image compares the model only, skips the EEPROM and says so.
    in.blank = true;
    cable.eeprom[100] ^= 0xFF;
    log.clear();
    EXPECT_TRUE(Run());
    EXPECT_NE(log.find("Verify configuration\tSkip\r\n"), std::string::npos);
    for (const std::string &c : cable.calls)
        EXPECT_NE(c, "read eeprom");

    cable.model = 0x7701;
    log.clear();
    EXPECT_FALSE(Run());
    cable.model = 0x7730;
    cable.queryFails = true;
    log.clear();
    EXPECT_FALSE(Run());
    EXPECT_EQ(log, "Initialize device\tOK\r\nCheck chip version\tFAIL\n");
}

TEST_F(WorkerRun, SideAThatCannotBeUsedFailsInitialisation)
{
    in.sideA.devicePath.reset();
    EXPECT_FALSE(Run());
    EXPECT_EQ(log, "Initialize device\tFAIL\n");

    in.sideA.devicePath = "\\\\.\\gone";
    log.clear();
    EXPECT_FALSE(Run());
    EXPECT_EQ(log, "Initialize device\tFAIL\n");

    // Longer than a side path holds: refused before any open.
    in.sideA.devicePath = "\\\\.\\" + std::string(300, 'x');
    cable.paths.insert(*in.sideA.devicePath);
    cable.calls.clear();
    log.clear();
    EXPECT_FALSE(Run());
    EXPECT_TRUE(cable.calls.empty());
}

TEST_F(WorkerRun, EepromReadFailureFailsVerification)
{
    cable.readFails = true;
    EXPECT_FALSE(Run());
    EXPECT_EQ(log, "Initialize device\tOK\r\nCheck chip version\tOK\r\nVerify configuration\tFAIL\n");
}

TEST_F(WorkerRun, PreparingSidesLandsOnTheVerifyLine)
{
    in.sideB.devicePath = "\\\\.\\" + std::string(260, 'b');
    cable.paths.insert(*in.sideB.devicePath);
    EXPECT_FALSE(Run());
    EXPECT_EQ(log, "Initialize device\tOK\r\nCheck chip version\tOK\r\nVerify configuration\tFAIL\n");

    // The prepare request's answer never matters.
    in.sideB.devicePath = "\\\\.\\sideB";
    cable.prepareFails = true;
    log.clear();
    EXPECT_TRUE(Run());
}


TEST(TestPattern, BytesCountFromOneAndWrap)
{
    const uint8_t *p = TestPattern();
    EXPECT_EQ(kPatternSize, 131071u);
    EXPECT_EQ(p[0], 0x01);
    EXPECT_EQ(p[254], 0xFF);
    EXPECT_EQ(p[255], 0x00);
    EXPECT_EQ(p[kPatternSize - 1], 0xFF);

    std::vector<uint8_t> got(p, p + kPatternSize);
    EXPECT_TRUE(PatternArrived(got.data()));
    got[70000] ^= 0x10;
    EXPECT_FALSE(PatternArrived(got.data()));
    got.assign(p, p + kPatternSize);
    got.erase(got.begin() + 5); // one byte dropped: the rest shifts, the end is short
    got.push_back(0);
    EXPECT_FALSE(PatternArrived(got.data()));
}
