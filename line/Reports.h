#pragma once
// What the ledger's records say, for people and for other programs: the records as CSV or JSON, and
// the daily report (programmed, tested, passed, failed by step, first-pass yield).

#include "LedgerRecord.h"
#include "StationLedger.h"

#include <map>
#include <string>
#include <vector>

namespace line {

// One CSV document (header line first, RFC 4180 quoting, "\r\n" line ends).
std::string RecordsCsv(const std::vector<LedgerRecord> &records);
// One JSON array of the records' bodies, each with its "seq".
std::string RecordsJson(const std::vector<LedgerRecord> &records);

struct DayReport {
    std::string day;      // "2026-12-08" (UTC)
    int programmed = 0;   // program runs that passed
    int programFailed = 0;
    int tested = 0;       // test runs
    int passed = 0;
    int failed = 0;
    std::map<std::string, int> failedBy; // test failures by the step that failed
    int firstTests = 0;   // cables whose first test ever falls on this day
    int firstPassed = 0;  // ... and passed it
    double FirstPassYield() const { return firstTests ? 100.0 * firstPassed / firstTests : 0.0; }
};

// Day by day, oldest first. `records` must be every record (first tests are found among all of them);
// days before `since` ("YYYY-MM-DD", may be empty) are left out.
std::vector<DayReport> DailyReport(const std::vector<LedgerRecord> &records, const std::string &since);
std::string ReportText(const std::vector<DayReport> &days);

// The void serial numbers: a table, CSV (RFC 4180) or one JSON array.
std::string VoidSerialsText(const std::vector<SerialEntry> &entries);
std::string VoidSerialsCsv(const std::vector<SerialEntry> &entries);
std::string VoidSerialsJson(const std::vector<SerialEntry> &entries);
// Per UTC day: how many numbers became void, by reason ("" when none did).
std::string VoidReportText(const std::vector<SerialEntry> &entries);

// Whether `text` is a real calendar date written "YYYY-MM-DD".
bool IsDate(const std::string &text);

// Text from a cable (a serial number, say) made safe for a terminal: control bytes become '?'.
std::string Printable(const std::string &text);

} // namespace line
