// mfgkit records and mfgkit report: the station's records and its daily report, read from the
// station's ledger (or, with --line, from the line's server).

#include "MfgkitCommands.h"

#include "LineCommands.h"
#include "Os.h"
#include "Reports.h"
#include "Station.h"
#include "StationLedger.h"

#include <functional>

namespace line::mfgkit {

namespace {

constexpr const char *kRecordsHelp = R"(usage: mfgkit records [--since DATE] [--serial TEXT] [--void] [--csv|--json] [--line]

The station's records, oldest first: as a table (the default), CSV or JSON.
  --since DATE      records from this UTC day on (YYYY-MM-DD)
  --serial TEXT     only the records of this serial text
  --void            the void serial numbers instead: each with its reason, its cable's device
                    objects and whether its serial was cleared from that cable
  --line            every station's records, from the line's server ($QT7730_LEDGER)
Exit status: 0, 2 usage, 4 the ledger cannot be read (1 the line's server cannot).
)";

constexpr const char *kReportHelp = R"(usage: mfgkit report [--since DATE] [--line]

Per UTC day: cables programmed (and failed programming), tested, passed, failed, the failures by
the step that failed, the first-pass yield (of the cables first tested that day, how many passed
that first test), and the serial numbers that became void, by reason.
  --line            per station across the line, from the line's server ($QT7730_LEDGER): programmed,
                    tested, passed, yield; cables programmed at one station that failed the test at
                    another; serial numbers programmed by more than one station; numbers
                    leased and never confirmed (void), per day and reason
Exit status: 0, 2 usage, 4 the ledger cannot be read (1 the line's server cannot).
)";

// Opens the station's ledger for reading and hands it to `read`, which returns an error ("" when it
// read). A status to end with, or -1 when read (or when there is no ledger yet: then `none` is said
// when given, and nothing is read).
int ReadLedger(Context &c, const char *none, const std::function<std::string(StationLedger &)> &read)
{
    const std::string path = c.env.ledgerPath.empty() ? LedgerPath() : c.env.ledgerPath;
    if (platform::KindOfFile(path) == platform::FileKind::Missing) {
        if (none)
            c.err << "mfgkit: " << none << " (" << path << " does not exist)\n";
        return -1;
    }
    StationLedger ledger;
    std::string error;
    if (!ledger.OpenExisting(path, &error) || !(error = read(ledger)).empty()) {
        c.err << "mfgkit: " << error << "\n";
        return kExitLedger;
    }
    return -1;
}

// Reads the records for `records` and `report`; a status to end with, or -1 with the records.
int ReadRecords(Context &c, const LedgerQuery &query, std::vector<LedgerRecord> &records)
{
    return ReadLedger(c, "no records yet", [&](StationLedger &ledger) {
        int unreadable = 0;
        std::string error;
        records = ledger.Query(query, &error, &unreadable);
        if (unreadable)
            c.err << "mfgkit: " << unreadable << " record(s) could not be read and are left out\n";
        return error;
    });
}

// The void serial numbers settled from `since` on; a status to end with, or -1 with them.
int ReadVoid(Context &c, const std::string &since, std::vector<SerialEntry> &entries)
{
    return ReadLedger(c, nullptr, [&](StationLedger &ledger) {
        std::string error;
        entries = ledger.VoidSerials(since, &error);
        return error;
    });
}

} // namespace

int Records(Context &c, const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        c.out << kRecordsHelp;
        return kExitOk;
    }
    LedgerQuery query;
    enum { Table, Csv, Json } format = Table;
    int formats = 0;
    bool lineWide = false; // from the line's server instead of this station's ledger
    bool voidNumbers = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--csv" || a == "--json") {
            format = a == "--csv" ? Csv : Json;
            ++formats;
        } else if (a == "--line") {
            lineWide = true;
        } else if (a == "--void") {
            voidNumbers = true;
        } else if (a == "--since" || a == "--serial") {
            if (i + 1 >= args.size())
                return Usage(c, a + " needs a value", kRecordsHelp);
            const std::string &value = args[++i];
            if (a == "--since" && !IsDate(value))
                return Usage(c, "--since needs a date YYYY-MM-DD, not \"" + Printable(value) + "\"", kRecordsHelp);
            (a == "--since" ? query.since : query.serial) = value;
            if (a == "--serial" && value.empty())
                return Usage(c, "--serial needs a serial text", kRecordsHelp);
        } else {
            return Usage(c, "unknown argument " + Printable(a), kRecordsHelp);
        }
    }
    if (formats > 1)
        return Usage(c, "--csv or --json, not both", kRecordsHelp);
    if (voidNumbers && (lineWide || !query.serial.empty()))
        return Usage(c, "--void lists this station's void numbers: not with --line or --serial", kRecordsHelp);
    if (voidNumbers) {
        std::vector<SerialEntry> entries;
        if (int status = ReadVoid(c, query.since, entries); status >= 0)
            return status;
        c.out << (format == Csv ? VoidSerialsCsv(entries) : format == Json ? VoidSerialsJson(entries) : VoidSerialsText(entries));
        return kExitOk;
    }
    if (lineWide)
        return RunLineRecords(query.since, query.serial,
                              format == Csv ? RecordsFormat::Csv : format == Json ? RecordsFormat::Json : RecordsFormat::Text,
                              c.out, c.err);
    std::vector<LedgerRecord> records;
    if (int status = ReadRecords(c, query, records); status >= 0)
        return status;
    if (format == Csv) {
        c.out << RecordsCsv(records);
    } else if (format == Json) {
        c.out << RecordsJson(records);
    } else {
        c.out << Pad("Seq", 7) << Pad("Time (UTC)", 25) << Pad("Kind", 8) << Pad("Tool", 9) << Pad("Serial", 16)
              << Pad("Result", 7) << "Failed step\n";
        for (const LedgerRecord &r : records)
            c.out << Pad(std::to_string(r.seq), 7) << Pad(r.timeUtc, 25) << Pad(r.kind, 8) << Pad(Printable(r.tool), 9)
                  << Pad(r.serial.empty() ? "-" : Printable(r.serial), 16) << Pad(r.verdict, 7)
                  << Printable(r.FailedStep()) << "\n";
    }
    return kExitOk;
}

int Report(Context &c, const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        c.out << kReportHelp;
        return kExitOk;
    }
    std::string since;
    bool lineWide = false; // across every station, from the line's server
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--line") {
            lineWide = true;
        } else if (args[i] == "--since" && i + 1 < args.size()) {
            since = args[++i];
            if (!IsDate(since))
                return Usage(c, "--since needs a date YYYY-MM-DD, not \"" + Printable(since) + "\"", kReportHelp);
        } else {
            return Usage(c, args[i] == "--since" ? "--since needs a value" : "unknown argument " + Printable(args[i]),
                         kReportHelp);
        }
    }
    if (lineWide)
        return RunLineReport(since, c.out, c.err);
    // Every record is read: a cable's first test may lie before the first day shown.
    std::vector<LedgerRecord> records;
    if (int status = ReadRecords(c, {}, records); status >= 0)
        return status;
    std::vector<SerialEntry> voided;
    if (int status = ReadVoid(c, since, voided); status >= 0)
        return status;
    c.out << ReportText(DailyReport(records, since)) << VoidReportText(voided);
    return kExitOk;
}

} // namespace line::mfgkit
