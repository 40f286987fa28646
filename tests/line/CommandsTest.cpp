// mfgkit's records and report, and what every command does with bad arguments, missing devices and
// hostile files.

#include "LineRig.h"
#include "Reports.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

line::LedgerRecord Record(const char *kind, const std::string &time, const std::string &serial, bool pass,
                          const std::string &failedStep = "")
{
    line::LedgerRecord r;
    r.kind = kind;
    r.tool = "mfgkit";
    r.timeUtc = time;
    r.station = 2;
    r.host = "line-pc";
    r.serial = serial;
    r.imageSha256 = std::string(64, '0');
    r.chipModel = 0x7730;
    r.chipVersion = 0x0100;
    r.devices = {"\\\\.\\HOSTLNK-1", "\\\\.\\HOSTLNK-2"};
    r.steps = {{"Initialize device", "OK"}};
    if (!pass)
        r.steps.push_back({failedStep, "FAIL"});
    r.verdict = pass ? "pass" : "fail";
    if (!pass && failedStep == "Verify configuration")
        r.differing = {{"vendor ID", "0C5E", "1234"}};
    r.durationMs = 40;
    return r;
}

TEST(MfgkitRecords, RecordsAsTableCsvAndJsonAndTheDailyReport)
{
    LineRig rig;
    // No ledger yet: nothing to show, and nothing created by looking.
    MfgkitResult r = rig.Run({"records", "--csv"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("no records yet"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(rig.LedgerPath()));

    line::StationLedger ledger;
    ASSERT_TRUE(ledger.Open(rig.LedgerPath()));
    // Day 1: A and B programmed; A passes its test; B fails at the data test, then passes (not first pass).
    ledger.Append(Record("program", "2026-12-07T08:00:00.000Z", "A", true));
    ledger.Append(Record("program", "2026-12-07T08:00:01.000Z", "B", true));
    ledger.Append(Record("test", "2026-12-07T09:00:00.000Z", "A", true));
    ledger.Append(Record("test", "2026-12-07T09:00:01.000Z", "B", false, "Send data from side A to B"));
    ledger.Append(Record("test", "2026-12-07T09:30:00.000Z", "B", true));
    // Day 2: C fails its EEPROM check, D's chip is wrong, A is tested again (not a first test); a
    // program run failed. The serial text has a comma and a quote to quote in CSV.
    ledger.Append(Record("program", "2026-12-08T08:00:00.000Z", "", false, "Write EEPROM"));
    ledger.Append(Record("test", "2026-12-08T09:00:00.000Z", "C,\"1\"", false, "Verify configuration"));
    ledger.Append(Record("test", "2026-12-08T09:00:01.000Z", "D", false, "Check chip version"));
    ledger.Append(Record("test", "2026-12-08T09:00:02.000Z", "A", true));

    r = rig.Run({"records", "--csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("seq,time_utc,kind,tool,station,host,serial,image_sha256,chip_model,chip_version,devices,"
                          "verdict,failed_step,differing,duration_ms\r\n",
                          0),
              0u);
    EXPECT_NE(r.out.find(",\"C,\"\"1\"\"\","), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("fail,Verify configuration,vendor ID: 0C5E -> 1234,40\r\n"), std::string::npos) << r.out;
    std::size_t lines = 0;
    for (char c : r.out)
        lines += c == '\n';
    EXPECT_EQ(lines, 10u);

    r = rig.Run({"records", "--since", "2026-12-08", "--json"});
    const QJsonArray list = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array();
    ASSERT_EQ(list.size(), 4);
    EXPECT_EQ(list.at(0)["seq"].toInt(), 6);
    EXPECT_EQ(list.at(1)["differing"].toArray().at(0)["found"].toString(), "1234");

    r = rig.Run({"records", "--serial", "B"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Send data from side A to B"), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out; // the heading and B's three

    r = rig.Run({"report"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto days = line::DailyReport(ledger.Query({}), "");
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].programmed, 2);
    EXPECT_EQ(days[0].tested, 3);
    EXPECT_EQ(days[0].passed, 2);
    EXPECT_EQ(days[0].firstTests, 2);
    EXPECT_EQ(days[0].firstPassed, 1); // B failed its first test
    EXPECT_EQ(days[1].programFailed, 1);
    EXPECT_EQ(days[1].firstTests, 2);  // C and D; A was first tested the day before
    EXPECT_EQ(days[1].firstPassed, 0);
    EXPECT_EQ(days[1].failedBy.at("Check chip version"), 1);
    EXPECT_NE(r.out.find("2026-12-07           2            0       3       2       1      50.0 % (1/2)  "
                         "Send data from side A to B: 1"),
              std::string::npos)
        << r.out;

    // --since leaves out earlier days but still knows A was tested before.
    r = rig.Run({"report", "--since", "2026-12-08"});
    EXPECT_EQ(r.out.find("2026-12-07"), std::string::npos);
    EXPECT_NE(r.out.find("0.0 % (0/2)"), std::string::npos) << r.out;
}

TEST(MfgkitArguments, BadArgumentsOfEveryCommandAreUsageErrorsThatTouchNothing)
{
    LineRig rig;
    const bench::DeviceId root = rig.bench.AddController(2);
    const bench::CableId cable = rig.bench.AddCable();
    rig.bench.PlugSide(cable, bench::Side::A, {root, 1});
    rig.bench.PlugSide(cable, bench::Side::B, {root, 2});
    const std::string image = rig.WriteImage();
    const std::string shortImage = rig.dir.write("short.eep", std::vector<uint8_t>(100, 0xFF));
    const std::string fifo = rig.dir.file("fifo.eep");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = rig.dir.path().string();

    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{}, "usage: mfgkit COMMAND"},
        {{"frobnicate"}, "unknown command"},
        {{"scan", "extra"}, "scan takes no arguments"},
        {{"walk", "--json"}, "walk takes no arguments"},
        {{"program"}, "which image?"},
        {{"program", image, image}, "one image only"},
        {{"program", image, "--expect"}, "--expect needs a value"},
        {{"program", image, "--expect", "two"}, "--expect needs a number"},
        {{"program", image, "--expect", "-1"}, "--expect needs a number"},
        {{"program", image, "--serial"}, "--serial needs a value"},
        {{"program", image, "--serial", std::string(200, 'S')}, "does not fit the image's string area"},
        {{"program", image, "--serial", ""}, "does not fit"},
        {{"program", image, "--fast"}, "unknown option --fast"},
        {{"program", shortImage}, "cannot be used"},
        {{"program", fifo}, "is not a regular file"},
        {{"program", folder}, "is not a regular file"},
        {{"program", rig.dir.file("missing.eep")}, "cannot read the image"},
        {{"test"}, "which image?"},
        {{"test", image, "--serial", "keep"}, "unknown option --serial"},
        {{"test", fifo}, "is not a regular file"},
        {{"records", "--since"}, "--since needs a value"},
        {{"records", "--since", "2026-13-45"}, "needs a date YYYY-MM-DD"},
        {{"records", "--since", "yesterday"}, "needs a date YYYY-MM-DD"},
        {{"records", "--csv", "--json"}, "not both"},
        {{"records", "--serial", ""}, "--serial needs a serial text"},
        {{"records", "extra"}, "unknown argument"},
        {{"report", "--since", "2026-02-30"}, "needs a date"},
        {{"report", "--csv"}, "unknown argument"},
    };
    for (const auto &[args, message] : bad) {
        const MfgkitResult r = rig.Run(args);
        std::string shown;
        for (const std::string &a : args)
            shown.append("'").append(a.substr(0, 20)).append("' ");
        EXPECT_EQ(r.status, 2) << shown << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << shown << r.err;
    }
    EXPECT_EQ(rig.bench.Eeprom(cable), bench::CableSpec::BlankEeprom());
    EXPECT_FALSE(std::filesystem::exists(rig.LedgerPath()));

    // --serial numwell without a display stops before any cable is touched.
    rig.env.needDisplay = true;
    const char *saved[3] = {getenv("DISPLAY"), getenv("WAYLAND_DISPLAY"), getenv("QT_QPA_PLATFORM")};
    const std::string keep[3] = {saved[0] ? saved[0] : "", saved[1] ? saved[1] : "", saved[2] ? saved[2] : ""};
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
    MfgkitResult r = rig.Run({"program", image, "--serial", "numwell"});
    const char *names[3] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    for (int i = 0; i < 3; ++i)
        if (saved[i])
            setenv(names[i], keep[i].c_str(), 1);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--serial numwell needs a display"), std::string::npos) << r.err;
    EXPECT_EQ(rig.bench.Eeprom(cable), bench::CableSpec::BlankEeprom());

    // --help on every command, and the help says what numwell needs.
    for (const char *command : {"scan", "walk", "program", "test", "records", "report"}) {
        r = rig.Run({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_NE(r.out.find(std::string("usage: mfgkit ") + command), std::string::npos) << r.out;
    }
    EXPECT_NE(rig.Run({"program", "--help"}).out.find("needs a\n                    display"), std::string::npos);
    EXPECT_EQ(rig.Run({"--help"}).status, 0);

    // No bench world at all: no device objects, no controllers.
    LineRig empty;
    EXPECT_EQ(empty.Run({"scan"}).status, 3);
    EXPECT_EQ(empty.Run({"walk"}).status, 3);
    r = empty.Run({"test", image});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("no cable is present"), std::string::npos) << r.err;
    EXPECT_EQ(empty.Run({"program", image, "--expect", "1"}).status, 3);

    // A ledger that is not a ledger is refused by the readers too.
    rig.env.ledgerPath = image;
    EXPECT_EQ(rig.Run({"records"}).status, 4);
    EXPECT_EQ(rig.Run({"report"}).status, 4);

    // walk and scan on the one cable.
    r = rig.Run({"walk"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Host Controller 0\n  Port 1 - "), std::string::npos) << r.out;
    r = rig.Run({"scan"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("HOSTLNK-1       QT7730 0100     blank (0C5E:7730)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("HOSTLNK-1 + HOSTLNK-2"), std::string::npos) << r.out;
}

} // namespace
