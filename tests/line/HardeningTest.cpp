// What a caller or a hostile file sees: --json answers every exit, a foreign database is refused
// before anything in it changes, and texts from cables stay text in CSV.

#include "LineRig.h"
#include "Reports.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <sstream>

namespace {

std::string Slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

QJsonObject Json(const std::string &text)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

TEST(MfgkitHardening, JsonOnEveryExitForeignLedgersUntouchedAndCsvCellsThatStayText)
{
    LineRig rig;
    const std::string image = rig.WriteImage();

    // No cable, a bad image, a usage error: each a JSON object with the status and the reason.
    MfgkitResult r = rig.Run({"test", image, "--json"});
    EXPECT_EQ(r.status, 3);
    QJsonObject doc = Json(r.out);
    EXPECT_EQ(doc["exit_status"].toInt(), 3) << r.out;
    EXPECT_NE(doc["error"].toString().indexOf("no cable is present"), -1) << r.out;
    r = rig.Run({"program", rig.dir.file("missing.eep"), "--json"});
    EXPECT_EQ(Json(r.out)["exit_status"].toInt(), 2) << r.out;
    r = rig.Run({"program", image, "--expect", "x", "--json"});
    EXPECT_EQ(Json(r.out)["exit_status"].toInt(), 2) << r.out;

    // A display that is named but gone: said, exit 2, before anything is touched (the toolkit would abort).
    {
        const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
        unsetenv("QT_QPA_PLATFORM");
        unsetenv("WAYLAND_DISPLAY");
        setenv("DISPLAY", ":97", 1);
        r = rig.Run({"program", image, "--serial", "numwell"});
        qputenv("QT_QPA_PLATFORM", platform);
        unsetenv("DISPLAY");
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("needs a display"), std::string::npos) << r.err;
    }

    // A version-1 database of another program (a records table with other columns): refused before
    // anything in it is changed, journal mode included.
    const std::string foreign = rig.dir.file("foreign.db");
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE records (id INTEGER, note TEXT); INSERT INTO records VALUES (1, 'x');"
                               "PRAGMA user_version=1;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const std::string before = Slurp(foreign);
    rig.env.ledgerPath = foreign;
    const bench::DeviceId root = rig.bench.AddController(2);
    const bench::CableId cable = rig.bench.AddCable();
    rig.bench.PlugSide(cable, bench::Side::A, {root, 1});
    rig.bench.PlugSide(cable, bench::Side::B, {root, 2});
    r = rig.Run({"program", image, "--json"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(Json(r.out)["error"].toString().indexOf("other columns"), -1) << r.out;
    EXPECT_EQ(Slurp(foreign), before);
    EXPECT_EQ(rig.bench.Eeprom(cable), bench::CableSpec::BlankEeprom());

    // A version-1 ledger of ours is upgraded in place, its records kept byte for byte (the line server
    // compares bodies); the records made now say where the cable's sides were plugged.
    rig.env.ledgerPath = rig.LedgerPath();
    line::LedgerRecord old;
    old.kind = line::LedgerRecord::kTest;
    old.tool = "mfgkit";
    old.timeUtc = "2026-12-01T08:00:00.000Z";
    old.devices = {"\\\\.\\HOSTLNK-1", "\\\\.\\HOSTLNK-2"};
    old.verdict = line::LedgerRecord::kPass;
    const std::string oldBody = old.ToJson();
    EXPECT_EQ(oldBody.find("ports"), std::string::npos) << "not known, not written";
    {
        line::StationLedger ledger;
        ASSERT_TRUE(ledger.Open(rig.LedgerPath()));
        ASSERT_TRUE(ledger.Append(old));
    }
    ASSERT_EQ(sqlite3_open(rig.LedgerPath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE serials; DROP TABLE runs; DROP TABLE ledger_meta; "
                               "ALTER TABLE records DROP COLUMN ports; PRAGMA user_version=1;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    // A serial that a spreadsheet would run as a formula: text in CSV, the plain value in JSON.
    rig.bench.SetEeprom(cable, bench::ConfiguredEeprom(LineRig::kVid, LineRig::kPid, "Veltrona", "USB Bridge Cable",
                                                       std::string("=HYPERLINK(1)")));
    r = rig.Run({"test", image, "--any-serial"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    line::StationLedger upgraded;
    ASSERT_TRUE(upgraded.OpenExisting(rig.LedgerPath()));
    EXPECT_FALSE(upgraded.InstanceId().empty());
    std::vector<std::string> rows; // body and ports of each record
    ASSERT_EQ(sqlite3_open(rig.LedgerPath().c_str(), &db), SQLITE_OK);
    sqlite3_exec(
        db, "SELECT body, ports FROM records ORDER BY seq",
        [](void *to, int, char **cells, char **) {
            static_cast<std::vector<std::string> *>(to)->push_back(std::string(cells[0]) + "|" + cells[1]);
            return 0;
        },
        &rows, nullptr);
    sqlite3_close(db);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], oldBody + "|");
    // The cable on ports 1 and 2 of the first controller's root hub, as `mfgkit walk` shows it.
    EXPECT_NE(rows[1].find("\"ports\":[\"0-1\",\"0-2\"]"), std::string::npos) << rows[1];
    EXPECT_EQ(rows[1].substr(rows[1].size() - 8), "|0-1+0-2") << rows[1];
    const std::string csv = rig.Run({"records", "--csv"}).out;
    EXPECT_NE(csv.find(",'=HYPERLINK(1),"), std::string::npos) << csv;
    EXPECT_NE(rig.Run({"records", "--json"}).out.find("\"=HYPERLINK(1)\""), std::string::npos);
}

// A serial's first test is the one that started first, not the one stored first; a serial byte that
// is no UTF-8 stays readable.
TEST(MfgkitHardening, FirstTestsByStartTimeAndSerialBytesKept)
{
    auto test = [](const std::string &time, bool pass) {
        line::LedgerRecord r;
        r.kind = line::LedgerRecord::kTest;
        r.timeUtc = time;
        r.serial = "S1";
        r.verdict = pass ? line::LedgerRecord::kPass : line::LedgerRecord::kFail;
        if (!pass)
            r.steps = {{"Check chip", "FAIL"}};
        return r;
    };
    // Stored: the retest that passed, then the first test that failed (it finished later).
    const auto days = line::DailyReport({test("2026-12-09T10:00:05.000Z", true), test("2026-12-09T10:00:00.000Z", false)}, "");
    ASSERT_EQ(days.size(), 1u);
    EXPECT_EQ(days[0].firstTests, 1);
    EXPECT_EQ(days[0].firstPassed, 0);

    line::LedgerRecord latin = test("2026-12-09T10:00:00.000Z", true);
    latin.serial = "AB\xE9" "1";
    const std::string json = latin.ToJson();
    EXPECT_NE(json.find("AB\\\\xE91"), std::string::npos) << json;
}

} // namespace
