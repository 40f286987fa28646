// What mfgkit's records and report commands make of a station's ledger, in the plain C++ they share
// with every platform (this program runs under Wine for the Windows kit too): the day's numbers and
// first-pass yield, the CSV and JSON forms with a cable's awkward texts, and dates given to --since.

#include "JsonText.h"
#include "Reports.h"
#include "StationLedger.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

line::LedgerRecord Record(const char *kind, const char *time, const std::string &serial, bool pass,
                          const char *failedStep = "")
{
    line::LedgerRecord r;
    r.kind = kind;
    r.tool = "mfgkit";
    r.timeUtc = time;
    r.station = 2;
    r.host = "line-pc";
    r.serial = serial;
    r.steps = {{"Check chip", "OK"}};
    if (!pass)
        r.steps.push_back({failedStep, "FAIL"});
    r.verdict = pass ? line::LedgerRecord::kPass : line::LedgerRecord::kFail;
    return r;
}

} // namespace

TEST(Reports, DaysYieldsCsvJsonAndDatesFromALedger)
{
    TempDir dir;
    line::StationLedger ledger;
    ASSERT_TRUE(ledger.Open(dir.file("ledger.db")));
    // Day 1: A passes its test; B fails the data test, then passes (not a first pass).
    ASSERT_TRUE(ledger.Append(Record("program", "2026-12-07T08:00:00.000Z", "A", true)));
    ASSERT_TRUE(ledger.Append(Record("program", "2026-12-07T08:00:01.000Z", "B", true)));
    ASSERT_TRUE(ledger.Append(Record("test", "2026-12-07T09:00:01.000Z", "B", false, "Send data from side A to B")));
    ASSERT_TRUE(ledger.Append(Record("test", "2026-12-07T09:00:00.000Z", "A", true)));
    ASSERT_TRUE(ledger.Append(Record("test", "2026-12-07T09:30:00.000Z", "B", true)));
    // Day 2: a serial with a comma, a quote, a formula's start and a Latin-1 byte fails; A again.
    ASSERT_TRUE(ledger.Append(Record("test", "2026-12-08T09:00:00.000Z", "=C,\"1\"\xe9", false, "Verify configuration")));
    ASSERT_TRUE(ledger.Append(Record("test", "2026-12-08T09:00:02.000Z", "A", true)));
    const std::vector<line::LedgerRecord> records = ledger.Query({});
    ASSERT_EQ(records.size(), 7u);

    const auto days = line::DailyReport(records, "");
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].programmed, 2);
    EXPECT_EQ(days[0].tested, 3);
    EXPECT_EQ(days[0].firstTests, 2);
    EXPECT_EQ(days[0].firstPassed, 1);
    EXPECT_EQ(days[1].firstTests, 1); // A was first tested the day before
    EXPECT_EQ(days[1].failedBy.at("Verify configuration"), 1);
    EXPECT_EQ(line::DailyReport(records, "2026-12-08").size(), 1u);
    EXPECT_NE(line::ReportText(days).find("50.0 % (1/2)"), std::string::npos) << line::ReportText(days);

    const std::string csv = line::RecordsCsv(records);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 8);
    EXPECT_NE(csv.find(",\"'=C,\"\"1\"\"\\xE9\","), std::string::npos) << csv;

    const auto json = line::json::Parse(line::RecordsJson(records));
    ASSERT_TRUE(json);
    ASSERT_EQ(json->Elements().size(), 7u);
    EXPECT_EQ(json->Elements()[5]["seq"].Integer(), records[5].seq);
    EXPECT_EQ(json->Elements()[5]["serial"].Text(), "=C,\"1\"\\xE9"); // plain value, stray byte kept readable

    for (const char *good : {"2026-12-08", "2024-02-29", "2000-02-29"})
        EXPECT_TRUE(line::IsDate(good)) << good;
    for (const char *bad : {"2023-02-29", "1900-02-29", "2026-13-01", "2026-00-10", "2026-1-011", "2026-12-0x",
                            "20261208", "2026-12-08T", "-026-12-08", "2026-+1-08", ""})
        EXPECT_FALSE(line::IsDate(bad)) << bad;
}
