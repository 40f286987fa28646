// Tamber's and Quillon's workers keep their outcomes in the station's ledger: the record says what the
// run found, it is stored before the operator is asked anything further, and a ledger that cannot be
// written changes no verdict; the log in the window then says the result was not stored.

#include "ConfigRecord.h"
#include "HostMachine.h"
#include "LineRig.h"
#include "TamberTexts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>

namespace {

// Points the programs' ledger elsewhere for one test and puts the old value back.
struct LedgerVariable {
    std::optional<std::string> saved;
    LedgerVariable()
    {
        if (const char *v = getenv("QT7730_LEDGER_DB"))
            saved = v;
    }
    ~LedgerVariable()
    {
        if (saved)
            setenv("QT7730_LEDGER_DB", saved->c_str(), 1);
        else
            unsetenv("QT7730_LEDGER_DB");
    }
    void Set(const std::string &path) { setenv("QT7730_LEDGER_DB", path.c_str(), 1); }
};

production::RunInputs Inputs(const bench::EepromBytes &image, int a, int b)
{
    production::RunInputs in;
    std::memcpy(in.imageBytes.data(), image.data(), 256);
    in.chipModel = 0x7730;
    in.chipVersion = 0x0100;
    in.sideA = {"A", "\\\\.\\HOSTLNK-" + std::to_string(a), "0-" + std::to_string(a)};
    in.sideB = {"B", "\\\\.\\HOSTLNK-" + std::to_string(b), "0-" + std::to_string(b)};
    return in;
}

TEST(WorkerRecords, TamberRecordsEachCableWithoutChangingItsVerdict)
{
    LineRig rig;
    LedgerVariable variable;
    variable.Set(rig.LedgerPath());
    const bench::DeviceId root = rig.bench.AddController(4);
    const bench::CableId good = rig.bench.AddCable(), bad = rig.bench.AddCable();
    rig.bench.SetEeprom(good, LineRig::BatchEeprom());
    rig.bench.SetEeprom(bad, LineRig::BatchEeprom("Other Cable"));
    rig.bench.PlugSide(good, bench::Side::A, {root, 1});
    rig.bench.PlugSide(good, bench::Side::B, {root, 2});
    rig.bench.PlugSide(bad, bench::Side::A, {root, 3});
    rig.bench.PlugSide(bad, bench::Side::B, {root, 4});
    const production::CableRunner runner = production::HostCableRunner(rig.sim);
    std::string log;
    const auto logTo = [&log](const std::string &text) { log += text; };

    EXPECT_TRUE(runner(Inputs(LineRig::BatchEeprom(), 1, 2), logTo));
    EXPECT_FALSE(runner(Inputs(LineRig::BatchEeprom(), 3, 4), logTo));
    const auto records = rig.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].tool, "Tamber");
    EXPECT_EQ(records[0].verdict, "pass");
    EXPECT_EQ(records[0].serial, "000000000001");
    EXPECT_EQ(records[0].ports, (std::vector<std::string>{"0-1", "0-2"})); // where the walk found the sides
    EXPECT_EQ(records[0].steps.size(), 5u);
    EXPECT_EQ(records[1].verdict, "fail");
    EXPECT_EQ(records[1].FailedStep(), "Verify configuration");
    ASSERT_EQ(records[1].differing.size(), 1u);
    EXPECT_EQ(records[1].differing[0].found, "\"Other Cable\"");

    // A ledger that cannot be written: the same verdicts and log, and after each run a line saying
    // the result was not stored.
    const std::string before = log;
    log.clear();
    variable.Set(rig.dir.path().string());
    EXPECT_TRUE(runner(Inputs(LineRig::BatchEeprom(), 1, 2), logTo));
    EXPECT_FALSE(runner(Inputs(LineRig::BatchEeprom(), 3, 4), logTo));
    const std::string notStored = "\r\n" + production::LoadTextUtf8(production::IDS_NOT_RECORDED) + "\r\n";
    std::size_t notices = 0;
    for (std::size_t at; (at = log.find(notStored)) != std::string::npos; ++notices)
        log.erase(at, notStored.size());
    EXPECT_EQ(notices, 2u);
    EXPECT_EQ(log, before);
}

// A cable that takes every write and reads back what it was given, or one block short.
struct MemoryDevice : editor::ConfigDevice {
    uint8_t eeprom[256] = {};
    bool corrupt = false;
    bool Open(const std::string &) override { return true; }
    bool QueryChip(uint32_t *model, uint32_t *version) override
    {
        *model = 0x7730;
        *version = 0x0100;
        return true;
    }
    bool WriteEeprom(uint16_t offset, const uint8_t *data, uint16_t length) override
    {
        std::memcpy(eeprom + offset, data, length);
        return true;
    }
    bool ReadEeprom(uint16_t offset, uint8_t *data, uint16_t length) override
    {
        std::memcpy(data, eeprom + offset, length);
        if (corrupt)
            data[40] ^= 1;
        return true;
    }
    void Close() override {}
};

struct RecordingUi : editor::ConfigWorkerUi {
    std::function<void()> onAsk;
    bool failureShown = false;
    std::string log;
    void AppendLog(const std::string &text) override { log += text; }
    bool AskUpdateInf() override
    {
        onAsk();
        return false;
    }
    void ShowFailure() override
    {
        onAsk();
        failureShown = true;
    }
    void UpdateInf(const std::string &, uint16_t, uint16_t) override {}
};

TEST(WorkerRecords, QuillonRecordsBeforeItAsksTheOperatorAnything)
{
    LineRig rig;
    LedgerVariable variable;
    variable.Set(rig.LedgerPath());
    EepromImage image;
    std::memcpy(image.Bytes(), LineRig::BatchEeprom().data(), 256);
    const editor::ConfigTarget target{"\\\\.\\HOSTLNK-1", "{key}\\0001"};
    MemoryDevice device;
    RecordingUi ui;
    std::size_t seenWhenAsked = 0;
    ui.onAsk = [&] { seenWhenAsked = rig.Records().size(); };

    EXPECT_EQ(editor::RunAndRecordConfiguration(&target, &image, device, ui), editor::kConfigOk);
    EXPECT_EQ(seenWhenAsked, 1u);
    device.corrupt = true;
    EXPECT_EQ(editor::RunAndRecordConfiguration(&target, &image, device, ui), editor::kConfigCancel);
    EXPECT_TRUE(ui.failureShown);
    EXPECT_EQ(seenWhenAsked, 2u);

    const auto records = rig.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].tool, "Quillon");
    EXPECT_EQ(records[0].kind, "program");
    EXPECT_EQ(records[0].verdict, "pass");
    EXPECT_EQ(records[0].serial, "000000000001");
    EXPECT_EQ(records[0].chipModel, 0x7730u);
    EXPECT_EQ(records[0].imageSha256, line::Sha256Hex(image.Bytes(), EepromImage::kImageSize));
    EXPECT_EQ(records[0].devices, std::vector<std::string>{"\\\\.\\HOSTLNK-1"});
    EXPECT_EQ(records[1].verdict, "fail");
    EXPECT_EQ(records[1].FailedStep(), "Verify configuration");

    EXPECT_EQ(ui.log.find("NOT stored"), std::string::npos);

    // Without a ledger the run and its questions are the same, and the log names what was not stored.
    variable.Set(rig.dir.path().string());
    device.corrupt = false;
    EXPECT_EQ(editor::RunAndRecordConfiguration(&target, &image, device, ui), editor::kConfigOk);
    EXPECT_NE(ui.log.find("The result was NOT stored in the station's ledger (the ledger " + rig.dir.path().string()),
              std::string::npos)
        << ui.log;
}

} // namespace
