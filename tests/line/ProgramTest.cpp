// mfgkit program and test on the in-process bench: sixteen cables at once, Numwell's numbers through
// its published header (its dialogs answered by a stand-in operator), faults named in the output and
// the ledger, and the guards (--expect, a side alone, a chip of another model).

#include "LineRig.h"
#include "ModalScript.h"
#include "NumwellSerials.h"
#include "SettingsStore.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

// Runs whenever the library lends its application object: confirms the station and date dialogs.
void AnswerDialogsWithOk()
{
    auto *script = new ModalScript(QCoreApplication::instance());
    for (int i = 0; i < 4; ++i)
        script->Then([](QWidget *window) { ModalScript::Click(window, QStringLiteral("OK")); });
}

// Numwell as the program uses it, counting the saves of its counter (one per Spend).
class CountingSerials : public line::SerialSource {
public:
    explicit CountingSerials(int *saves) : m_saves(saves) {}
    bool Begin(std::string *error) override { return m_numwell.Begin(error); }
    std::optional<std::vector<std::string>> Spend(std::size_t count, std::string *error) override
    {
        ++*m_saves;
        return m_numwell.Spend(count, error);
    }
    int Station() const override { return m_numwell.Station(); }

private:
    line::NumwellSerials m_numwell{NUMWELL_LIBRARY};
    int *m_saves;
};

uint32_t SavedCounter()
{
    auto key = platform::MachineSettingsStore()->OpenKey("Software\\Veltrona\\QT7730 MFG Kit",
                                                        platform::SettingsAccess::Read);
    uint32_t value = 0, length = sizeof value;
    return key && key->Read("LastSN", &value, length) ? value : 0;
}

QJsonObject Json(const std::string &text)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

struct Sixteen : LineRig {
    bench::SixteenCableTopology topology;
    explicit Sixteen(const bench::EepromBytes &eeprom = bench::CableSpec::BlankEeprom())
        : topology(bench::BuildSixteenCableTopology(bench, eeprom))
    {
        bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
    }
};

TEST(MfgkitProgram, SixteenCablesAtOnceEachWithItsOwnNumwellNumber)
{
    qAddPreRoutine(AnswerDialogsWithOk);
    Sixteen rig;
    int saves = 0;
    rig.env.needDisplay = false; // the dialogs are answered offscreen
    rig.env.numwell = [&saves] { return std::make_unique<CountingSerials>(&saves); };
    const std::string image = rig.WriteImage();

    MfgkitResult r = rig.Run({"program", image, "--serial", "numwell", "--expect", "16"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(saves, 1); // the whole run's numbers, saved before the first write
    EXPECT_EQ(SavedCounter(), 16u);
    std::set<std::string> serials;
    std::map<std::string, std::string> recorded; // cable -> serial in its record
    for (const auto &rec : rig.Records()) {
        EXPECT_EQ(rec.kind, "program");
        EXPECT_EQ(rec.verdict, "pass");
        EXPECT_EQ(rec.station, 0);
        ASSERT_EQ(rec.devices.size(), 2u);
        recorded[rec.devices[0]] = rec.serial;
    }
    EXPECT_EQ(recorded.size(), 16u);
    for (bench::CableId cable : rig.topology.cables) {
        const std::string serial = rig.SerialIn(cable);
        ASSERT_EQ(serial.size(), 12u) << serial;
        serials.insert(serial);
        // Its own number, in its own EEPROM and in its own record, with the rest of the image intact.
        const std::string side = "\\\\.\\" + rig.Name(cable, bench::Side::A);
        const std::string other = "\\\\.\\" + rig.Name(cable, bench::Side::B);
        EXPECT_EQ(recorded.count(side) ? recorded[side] : recorded[other], serial);
        const std::string line = LineRig::LineOf(r.out, rig.CableName(cable));
        EXPECT_NE(line.find(serial), std::string::npos) << line;
        EXPECT_NE(line.find("PASS"), std::string::npos) << line;
        EXPECT_EQ(production::DifferingFields(bench::ConfiguredEeprom(0x0C5E, 0x7730, "Veltrona", "USB Bridge Cable",
                                                                      std::string("000000000001"))
                                                  .data(),
                                              rig.bench.Eeprom(cable).data(), true)
                      .size(),
                  0u);
    }
    EXPECT_EQ(serials.size(), 16u);
    EXPECT_NE(serials.count(std::string(*serials.begin()).substr(0, 7) + "00016"), 0u);

    // Second batch: cable 5's write fails at block 3. Its number was spent with the others before the
    // first write and is void now: no other cable ever gets it, the good cables keep theirs.
    bench::SideFaults failing;
    failing.failEepromBlock = 3;
    rig.bench.SetSideFaults(rig.topology.cables[4], bench::Side::A, failing);
    rig.bench.SetSideFaults(rig.topology.cables[4], bench::Side::B, failing);
    saves = 0;
    r = rig.Run({"program", image, "--serial", "numwell"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(SavedCounter(), 32u);
    const auto records = rig.Records();
    ASSERT_EQ(records.size(), 32u);
    std::string voided;
    std::set<std::string> second;
    for (std::size_t i = 16; i < 32; ++i) {
        EXPECT_TRUE(second.insert(records[i].serial).second) << records[i].serial;
        if (records[i].verdict == "fail") {
            EXPECT_TRUE(voided.empty());
            voided = records[i].serial;
            EXPECT_EQ(records[i].FailedStep(), "Write EEPROM");
        }
    }
    ASSERT_FALSE(voided.empty());
    for (std::size_t i = 0; i < 16; ++i)
        EXPECT_NE(rig.SerialIn(rig.topology.cables[i]), voided) << i;
    line::StationLedger ledger;
    ASSERT_TRUE(ledger.OpenExisting(rig.LedgerPath()));
    const auto entry = ledger.Serial(voided);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->state, "void");
    EXPECT_EQ(entry->reason.rfind("Write EEPROM", 0), 0u) << entry->reason;
    EXPECT_NE(r.out.find(rig.CableName(rig.topology.cables[4]) + "  "), std::string::npos) << r.out;
    EXPECT_NE(rig.Run({"report"}).out.find("Void serial numbers"), std::string::npos);
}

TEST(MfgkitProgram, FixedSerialsAndTheGuardsThatTouchNothing)
{
    LineRig rig;
    const bench::DeviceId root = rig.bench.AddController(8);
    const bench::CableId first = rig.bench.AddCable(), second = rig.bench.AddCable();
    bench::CableSpec older;
    older.chip.model = 0x7701;
    older.chip.version = 0x8002;
    rig.bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730", "USB\\VID_0C5E&PID_7701"});
    const bench::CableId other = rig.bench.AddCable(older), alone = rig.bench.AddCable();
    rig.bench.PlugSide(first, bench::Side::A, {root, 1});
    rig.bench.PlugSide(second, bench::Side::B, {root, 2});
    rig.bench.PlugSide(first, bench::Side::B, {root, 3});
    rig.bench.PlugSide(second, bench::Side::A, {root, 4});
    rig.bench.PlugSide(other, bench::Side::A, {root, 5});
    rig.bench.PlugSide(other, bench::Side::B, {root, 6});
    rig.bench.PlugSide(alone, bench::Side::B, {root, 7});
    const std::string image = rig.WriteImage();

    // --expect guards the line: nothing is written and nothing recorded.
    MfgkitResult r = rig.Run({"program", image, "--expect", "4", "--serial", "LINE-0001"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("3 cable(s) present, 4 expected"), std::string::npos) << r.err;
    EXPECT_EQ(rig.bench.Eeprom(first), bench::CableSpec::BlankEeprom());
    EXPECT_TRUE(rig.Records().empty());

    r = rig.Run({"program", image, "--serial", "LINE-0001", "--json"});
    EXPECT_EQ(r.status, 1) << r.out << r.err; // a side alone and a cable not touched
    const QJsonObject doc = Json(r.out);
    ASSERT_FALSE(doc.isEmpty()) << r.out;
    EXPECT_EQ(doc["passed"].toInt(), 2);
    EXPECT_EQ(doc["exit_status"].toInt(), 1);
    EXPECT_EQ(doc["unpaired"].toArray().at(0).toString().toStdString(), rig.Name(alone, bench::Side::B));
    EXPECT_EQ(doc["skipped"].toArray().size(), 1);
    EXPECT_EQ(rig.SerialIn(first), "LINE-0001");
    EXPECT_EQ(rig.SerialIn(second), "LINE-0001");
    EXPECT_EQ(rig.bench.Eeprom(other), bench::CableSpec::BlankEeprom()); // another chip: not touched
    EXPECT_EQ(rig.bench.Eeprom(alone), bench::CableSpec::BlankEeprom()); // one side only: not touched
    EXPECT_EQ(rig.Records().size(), 2u); // one record per cable, never two for its two sides
    EXPECT_NE(r.err.find(rig.Name(alone, bench::Side::B) + " has no partner side: plug in both ends"),
              std::string::npos)
        << r.err;

    // keep: the image's own serial text; the table names the cable left alone.
    rig.bench.UnplugSide(alone, bench::Side::B);
    r = rig.Run({"program", image});
    EXPECT_EQ(r.status, 1); // the QT7701 cable is still there
    EXPECT_EQ(rig.SerialIn(first), "000000000001");
    EXPECT_NE(r.out.find("chip QT7701 is not the image's: not touched"), std::string::npos) << r.out;
}

TEST(MfgkitTest, SixteenCablesAtOnceWithADeadDirectionAWrongFieldAndAWrongChipVersion)
{
    Sixteen rig(LineRig::BatchEeprom());
    const auto &cables = rig.topology.cables;
    // Cables numbered elsewhere, each its own number: --any-serial tests them without the ledger check.
    for (std::size_t i = 0; i < cables.size(); ++i) {
        char serial[32];
        std::snprintf(serial, sizeof serial, "%012u", unsigned(i + 1));
        rig.bench.SetEeprom(cables[i], bench::ConfiguredEeprom(LineRig::kVid, LineRig::kPid, "Veltrona",
                                                               i == 7 ? "USB Bridge Kabel" : "USB Bridge Cable",
                                                               std::string(serial)));
    }
    bench::SideFaults dead;
    dead.sendDead = true;
    rig.bench.SetSideFaults(cables[2], bench::Side::B, dead);
    bench::ChipSpec newer;
    newer.version = 0x0200;
    rig.bench.SetChip(cables[11], newer);
    const std::string image = rig.WriteImage();

    const MfgkitResult r = rig.Run({"test", image, "--expect", "16", "--any-serial"});
    ASSERT_EQ(r.status, 1) << r.out << r.err;
    auto lineOf = [&](bench::CableId cable) { return LineRig::LineOf(r.out, rig.CableName(cable)); };
    const std::string deadLine = lineOf(cables[2]);
    EXPECT_NE(deadLine.find("FAIL  Send data from side"), std::string::npos) << r.out;
    EXPECT_NE(deadLine.find("sent did not arrive on"), std::string::npos) << deadLine;
    EXPECT_NE(lineOf(cables[7]).find("product text expected \"USB Bridge Cable\" found \"USB Bridge Kabel\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(lineOf(cables[11]).find("Check chip version: chip version expected 0100 found 0200"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("16 cable(s): 13 passed, 3 failed"), std::string::npos) << r.out;

    const auto records = rig.Records();
    ASSERT_EQ(records.size(), 16u);
    std::map<std::string, line::LedgerRecord> byCable;
    for (const auto &rec : records)
        byCable[rec.devices[0] + rec.devices[1]] = rec;
    auto recordOf = [&](bench::CableId cable) {
        int a = rig.bench.DeviceObjectNumber(cable, bench::Side::A), b = rig.bench.DeviceObjectNumber(cable, bench::Side::B);
        return byCable["\\\\.\\HOSTLNK-" + std::to_string(std::min(a, b)) + "\\\\.\\HOSTLNK-" +
                       std::to_string(std::max(a, b))];
    };
    EXPECT_EQ(recordOf(cables[2]).FailedStep().rfind("Send data from side", 0), 0u);
    const auto field = recordOf(cables[7]);
    EXPECT_EQ(field.FailedStep(), "Verify configuration");
    ASSERT_EQ(field.differing.size(), 1u);
    EXPECT_EQ(field.differing[0], (line::LedgerField{"product text", "\"USB Bridge Cable\"", "\"USB Bridge Kabel\""}));
    const auto chip = recordOf(cables[11]);
    EXPECT_EQ(chip.FailedStep(), "Check chip version");
    EXPECT_EQ(chip.chipVersion, 0x0200u);
    const auto good = recordOf(cables[0]);
    EXPECT_EQ(good.verdict, "pass");
    EXPECT_EQ(good.serial, "000000000001");
    ASSERT_EQ(good.steps.size(), 6u);
    EXPECT_EQ(good.steps[4], (line::LedgerStep{"Send data from side B to A", "OK"}));
    EXPECT_EQ(good.steps[5], (line::LedgerStep{"Serial number", "OK"}));
}

TEST(MfgkitLedger, ALedgerThatCannotBeWrittenClaimsNothing)
{
    LineRig rig;
    const bench::DeviceId root = rig.bench.AddController(4);
    const bench::CableId a = rig.bench.AddCable(), b = rig.bench.AddCable();
    rig.bench.PlugSide(a, bench::Side::A, {root, 1});
    rig.bench.PlugSide(a, bench::Side::B, {root, 2});
    rig.bench.PlugSide(b, bench::Side::A, {root, 3});
    rig.bench.PlugSide(b, bench::Side::B, {root, 4});
    const std::string image = rig.WriteImage();

    // A ledger that cannot be opened: stopped before any cable is touched.
    rig.env.ledgerPath = rig.dir.path().string();
    MfgkitResult r = rig.Run({"program", image, "--serial", "X1"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("no cable is touched"), std::string::npos) << r.err;
    EXPECT_EQ(rig.bench.Eeprom(a), bench::CableSpec::BlankEeprom());
    EXPECT_EQ(rig.Run({"test", image}).status, 4);

    // A ledger that fails while cables run: that cable's result is not claimed, the run ends with 4.
    rig.env.ledgerPath = rig.LedgerPath();
    int calls = 0;
    line::StationLedger ledger;
    ASSERT_TRUE(ledger.Open(rig.LedgerPath()));
    rig.env.store = [&](const line::LedgerRecord &rec, std::string *error) -> std::optional<std::int64_t> {
        if (++calls == 1) {
            *error = "disk full";
            return std::nullopt;
        }
        return ledger.Append(rec, error);
    };
    r = rig.Run({"program", image, "--serial", "X1"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("its record could not be stored, so no result is claimed: disk full"), std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("2 cable(s): 1 passed, 0 failed, 1 not recorded"), std::string::npos) << r.out;
    const std::size_t row = r.out.find("record not stored");
    ASSERT_NE(row, std::string::npos);
    const std::size_t rowStart = r.out.rfind('\n', row) + 1;
    const std::string unrecorded = r.out.substr(rowStart, r.out.find(' ', rowStart) - rowStart);
    EXPECT_EQ(LineRig::LineOf(r.out, unrecorded).find("PASS"), std::string::npos) << r.out; // never claimed
    EXPECT_NE(r.out.find("record not stored"), std::string::npos) << r.out;
    EXPECT_EQ(rig.Records().size(), 1u);
}

} // namespace

