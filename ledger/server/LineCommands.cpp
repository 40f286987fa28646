#include "LineCommands.h"

#include "LineLedger.h"
#include "Os.h"
#include "OutboxSender.h"
#include "StationLedger.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdlib>
#include <iomanip>
#include <thread>
#include <sstream>
#include <ostream>

namespace line {
namespace {

// Text from the server made safe for a terminal: control bytes become '?'.
std::string Shown(std::string text) {
    for (char &ch : text)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
    return text;
}


constexpr int kOk = 0, kFailed = 1, kUsage = 2, kNotStored = 4;

const char *kLedgerHelp =
    "Usage: mfgkit ledger init [--reader NAME] | status | push [--wait SECONDS | --follow]\n"
    "The line's ledger on a PostgreSQL server, named by QT7730_LEDGER (a libpq connection string,\n"
    "e.g. \"host=lineserver dbname=line user=station password=...\"). Every record is stored in this\n"
    "station's ledger first (QT7730_LEDGER_DB) and sent from its outbox.\n"
    "  init    create or upgrade the server's schema (refuses a schema newer than this program's),\n"
    "          and the views line_attempts, line_hourly_yield, line_field_failures and\n"
    "          line_station_freshness for other dashboard tools; --reader NAME also creates the\n"
    "          login role NAME that may read those views and nothing else\n"
    "  status  server reachable or not, schema version, records waiting in this station's outbox\n"
    "  push    send the waiting records now; waits up to --wait SECONDS (default 30), or with\n"
    "          --follow keeps sending what Quillon, Tamber and mfgkit append until stopped\n"
    "          (SIGINT or SIGTERM)\n";

std::string Identity(int number, const std::string &host) {
    return (number < 0 ? std::string("-") : std::to_string(number)) + " (" + host + ")";
}


bool NeedTarget(LineTarget &t, std::ostream &err) {
    t = LineTargetFromEnvironment();
    if (!t.error.empty()) {
        err << "mfgkit: " << t.error << "\n";
        return false;
    }
    if (!t.conninfo) {
        err << "mfgkit: no line server: set QT7730_LEDGER to its connection string\n";
        return false;
    }
    return true;
}

// Sends until the operator stops it (Ctrl+C, or the system's request to end). The stop requests are
// taken before the sender's thread starts, so only this thread sees them, and the sender is stopped
// and joined on the way out.
int FollowOutbox(const std::string &conninfo, const std::string &ledgerPath, std::ostream &out, std::ostream &err) {
    platform::StopRequests stop;
    std::int64_t sent = 0;
    {
        OutboxSender sender(std::make_unique<SqliteOutbox>(ledgerPath), conninfo);
        std::string lastError;
        while (!stop.WaitFor(std::chrono::seconds(1))) {
            const SenderStatus st = sender.Status();
            if (st.lastError != lastError) {
                err << "mfgkit ledger push: " << (st.lastError.empty() ? "sending again" : st.lastError) << std::endl;
                lastError = st.lastError;
            }
        }
        sender.Stop();
        sent = sender.Status().sent;
    }
    out << sent << " record(s) sent to the line server\n";
    return kOk;
}

}  // namespace

LineTarget LineTargetFromEnvironment() {
    LineTarget t;
    const char *v = std::getenv("QT7730_LEDGER");
    if (!v || !*v) return t;
    const std::string s = v;
    if (s.rfind("postgresql://", 0) == 0 || s.rfind("postgres://", 0) == 0 || s.find('=') != std::string::npos)
        t.conninfo = s;
    else
        t.error = "QT7730_LEDGER is not a PostgreSQL connection string (key=value words or a postgresql:// URI)";
    return t;
}

std::string StationLedgerPath() { return LedgerPath(); }

int RunLedgerCommand(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                     const std::string &ledgerPath) {
    const std::string station = ledgerPath.empty() ? StationLedgerPath() : ledgerPath;
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        (args.empty() ? err : out) << kLedgerHelp;
        return args.empty() ? kUsage : kOk;
    }
    const std::string &cmd = args[0];
    int waitSeconds = 30;
    bool follow = false;
    std::string reader;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--help") {
            out << kLedgerHelp;
            return kOk;
        }
        if (cmd == "push" && args[i] == "--wait" && i + 1 < args.size()) {
            char *end = nullptr;
            const long n = std::strtol(args[i + 1].c_str(), &end, 10);
            if (!*args[i + 1].c_str() || *end || n < 0 || n > 3600) {
                err << "mfgkit ledger push: --wait takes seconds from 0 to 3600\n";
                return kUsage;
            }
            waitSeconds = static_cast<int>(n);
            ++i;
            continue;
        }
        if (cmd == "init" && args[i] == "--reader" && i + 1 < args.size()) {
            reader = args[++i];
            continue;
        }
        if (cmd == "push" && args[i] == "--follow") {
            follow = true;
            continue;
        }
        err << "mfgkit ledger " << cmd << ": unexpected argument '" << args[i] << "'\n" << kLedgerHelp;
        return kUsage;
    }
    if (cmd != "init" && cmd != "status" && cmd != "push") {
        err << "mfgkit ledger: unknown command '" << cmd << "'\n" << kLedgerHelp;
        return kUsage;
    }
    LineTarget target;
    if (!NeedTarget(target, err)) return kUsage;
    LineLedger server(*target.conninfo);
    if (cmd == "init") {
        int from = 0, to = 0;
        if (!server.Init(&from, &to)) {
            err << "mfgkit ledger init: " << server.Error() << "\n";
            return kFailed;
        }
        if (from == to)
            out << "line ledger schema is up to date (version " << to << ")\n";
        else
            out << "line ledger schema " << (from == 0 ? "created at" : "upgraded from version " + std::to_string(from) + " to")
                << " version " << to << "\n";
        if (!reader.empty()) {
            if (!server.CreateReader(reader)) {
                err << "mfgkit ledger init: " << server.Error() << "\n";
                return kFailed;
            }
            out << "the role " << reader << " may read the line's views (read-only); its password is set on the "
                << "server: ALTER ROLE " << reader << " PASSWORD '...'\n";
        }
        return kOk;
    }
    if (cmd == "status") {
        const LineStatus s = server.Status();
        SqliteOutbox outbox(station);
        const std::int64_t waiting = outbox.Waiting();
        out << "line server: " << (s.reachable ? "reachable" : "not reachable") << "\n";
        if (!s.error.empty()) out << "  " << s.error << "\n";
        if (s.reachable) {
            out << "schema version: " << s.schemaVersion << " (this program: " << LineSchemaVersion() << ")";
            if (s.schemaVersion == 0) out << ", none yet: run 'mfgkit ledger init'";
            else if (s.schemaVersion > LineSchemaVersion()) out << ", newer than this program: update mfgkit";
            else if (s.schemaVersion < LineSchemaVersion()) out << ", older: run 'mfgkit ledger init'";
            out << "\nrecords on the server: " << s.records << "\n";
        }
        out << "waiting in this station's outbox: ";
        if (waiting < 0) out << "unknown (no station ledger at " << station << ")\n";
        else out << waiting << "\n";
        return (s.reachable && s.schemaVersion == LineSchemaVersion()) ? kOk : kFailed;
    }
    // push: a server that is down now may be back within the wait (or, following, at any time): it is
    // asked again until then, as the help says.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    std::string told;
    while (!server.CheckSchema()) {
        if (server.Error() != told) {
            err << "mfgkit ledger push: " << server.Error() << (follow ? "; trying again until stopped" : "") << "\n";
            told = server.Error();
        }
        if (follow) break;  // the follower's sender keeps trying
        if (std::chrono::steady_clock::now() >= until) return kNotStored;
        server.Close();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    server.Close();
    if (follow) return FollowOutbox(*target.conninfo, station, out, err);
    OutboxSender sender(std::make_unique<SqliteOutbox>(station), *target.conninfo);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    const bool empty = sender.Drain(std::max(left, std::chrono::milliseconds(0)));
    const SenderStatus st = sender.Status();
    out << st.sent << " record(s) sent to the line server\n";
    if (!empty) {
        err << "mfgkit ledger push: records still wait in the outbox"
            << (st.lastError.empty() ? std::string() : ": " + st.lastError) << "\n";
        return kNotStored;
    }
    return kOk;
}

int RunLineRecords(const std::string &since, const std::string &serial, RecordsFormat format, std::ostream &out,
                   std::ostream &err) {
    LineTarget target;
    if (!NeedTarget(target, err)) return kUsage;
    LineLedger server(*target.conninfo);
    // Streamed: a line of a million records costs no more memory than one of a thousand.
    bool first = true;
    if (format == RecordsFormat::Json) out << "[";
    if (format == RecordsFormat::Csv) out << "time,station,host,kind,serial,verdict\n";
    const bool ok = server.ForEachRecord({since, serial}, [&](const std::string &body) {
        if (format == RecordsFormat::Json) {
            out << (first ? "\n " : ",\n ") << body;
            first = false;
            return bool(out);
        }
        const auto f = FieldsOfRecord(body);
        if (!f) return true;
        const std::string station = f->station.number < 0 ? "-" : std::to_string(f->station.number);
        const std::string verdict = f->passed ? "OK" : "N/G";
        if (format == RecordsFormat::Csv)
            out << CsvField(f->time) << "," << station << "," << CsvField(SpreadsheetText(f->station.host)) << ","
                << CsvField(SpreadsheetText(f->kind)) << "," << CsvField(SpreadsheetText(f->serial)) << "," << verdict
                << "\n";
        else  // what the server holds came from cables and stations: control bytes are shown as '?'
            out << Shown(f->time) << "  station " << Shown(Identity(f->station.number, f->station.host)) << "  "
                << Shown(f->kind) << "  " << (f->serial.empty() ? "-" : Shown(f->serial)) << "  " << verdict << "\n";
        return bool(out);
    });
    if (!ok) {
        err << "mfgkit records --line: " << server.Error() << "\n";
        return kFailed;
    }
    if (format == RecordsFormat::Json) out << "\n]\n";
    return kOk;
}

int RunLineReport(const std::string &since, std::ostream &out, std::ostream &err) {
    LineTarget target;
    if (!NeedTarget(target, err)) return kUsage;
    LineLedger server(*target.conninfo);
    const auto rep = server.LineReport(since);
    if (!rep) {
        err << "mfgkit report --line: " << server.Error() << "\n";
        return kFailed;
    }
    out << "Line report" << (since.empty() ? std::string() : " since " + since) << "\n";
    out << std::left << std::setw(28) << "station" << std::right << std::setw(11) << "programmed" << std::setw(8)
        << "failed" << std::setw(8) << "tested" << std::setw(8) << "passed" << std::setw(8) << "yield" << "\n";
    for (const auto &s : rep->stations) {
        std::string yield = "-";
        if (s.tested > 0) {
            std::ostringstream y;
            y << std::fixed << std::setprecision(1) << 100.0 * s.testPassed / s.tested << "%";
            yield = y.str();
        }
        out << std::left << std::setw(28) << Identity(s.station.number, s.station.host) << std::right << std::setw(11)
            << s.programmed << std::setw(8) << s.programFailed << std::setw(8) << s.tested << std::setw(8)
            << s.testPassed << std::setw(8) << yield << "\n";
    }
    out << "Programmed at one station, failed the test at another: " << rep->crossFailures.size() << "\n";
    for (const auto &c : rep->crossFailures)
        out << "  " << c.serial << "  programmed by " << Identity(c.programmedBy.number, c.programmedBy.host)
            << ", failed at " << Identity(c.testedBy.number, c.testedBy.host) << "\n";
    out << "Serial numbers programmed by more than one station: " << rep->duplicates.size() << "\n";
    for (const auto &d : rep->duplicates) {
        out << "  " << d.serial << " ";
        for (std::size_t i = 0; i < d.stations.size(); ++i)
            out << (i ? ", " : " ") << Identity(d.stations[i].number, d.stations[i].host);
        out << "\n";
    }
    out << "Serial numbers leased and never confirmed (void), per day: ";
    long voided = 0;
    for (const auto &v : rep->voided) voided += v.count;
    out << voided << "\n";
    for (const auto &v : rep->voided)
        out << "  " << v.day << "  " << std::setw(5) << v.count << "  " << Shown(v.reason) << "\n";
    return kOk;
}

}  // namespace line
