#pragma once
// The line's ledger on a PostgreSQL server: every station's records, and the serial numbers the
// stations have issued under one unique constraint.

#include "PgConnection.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace line {

// The schema version this program creates and understands.
int LineSchemaVersion();

// SQL shared by the line's report, its views and the dashboard, so that they count alike.
namespace linesql {
// "WITH RECURSIVE pairs AS (...), known AS (...)": every (station, host) the line holds, found by skipping
// through the primary key's index (not by reading every record), and `known`: for each host the one
// station number it has used, when it used exactly one.
extern const char *const kStationsCte;
// The station a record of alias `r` counts with, `known` joined as `k`: a host's records from before
// Numwell's first use carry station -1 and count with the one station number that host has used since.
extern const char *const kCountedStation;
// Serials programmed (passed) by more than one station since $1 ("" all): serial, station, host rows.
extern const char *const kDuplicates;
// The same rows for all time, from the serials `ledger init`'s trigger notes as records arrive
// (line_duplicate_serials): no reading of every programmed serial.
extern const char *const kNotedDuplicates;
// The first step of a record of alias `r` that did not end OK or Skip, as LedgerRecord::FailedStep.
extern const char *const kFailedStep;
} // namespace linesql

// A station as the line knows it: its Numwell station number (-1 when it has none) and host name.
struct StationId {
    int number = -1;
    std::string host;
    bool operator==(const StationId &) const = default;
};

// One record of a station's ledger on its way to the line: the station's local sequence and the
// record's JSON text, with the fields the line's queries need taken out of it.
struct OutboxRow {
    std::int64_t seq = 0;
    std::string body;
};
struct LineFields {
    StationId station;
    std::string kind;      // "program", "test", or what the record says
    std::string serial;    // may be empty
    std::string time;      // UTC text as the station wrote it
    bool passed = false;
};
// Reads the fields out of a record's JSON text; nullopt when the text is no JSON object.
std::optional<LineFields> FieldsOfRecord(const std::string &body);

struct SerialHolder {
    StationId station;
    std::string issuedOn;  // YYYY-MM-DD
};
enum class Reservation { Granted, Taken, Unreachable, StationInUse };
struct ReserveResult {
    Reservation outcome = Reservation::Unreachable;
    SerialHolder holder;   // for Taken
    std::string message;   // for Taken and Unreachable: what to tell the operator
};

struct LineStatus {
    bool reachable = false;
    int schemaVersion = 0;  // 0: no schema yet
    std::int64_t records = 0;
    std::string error;
};

class LineLedger {
public:
    explicit LineLedger(std::string conninfo,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Connects when not connected. False with Error() on failure.
    bool Open();
    void Close() { m_db.Close(); }
    const std::string &Error() const { return m_error; }

    // Creates or upgrades the schema. `from`/`to` say what happened. A server whose schema is newer
    // than this program's is refused and left untouched.
    bool Init(int *from = nullptr, int *to = nullptr);
    LineStatus Status();
    // Creates (when missing) the login role `name` that may read the line's views and nothing else,
    // its sessions read-only. Its password is set by the server's administrator. False with Error().
    bool CreateReader(const std::string &name);

    // For readers of the line (the dashboard): every session of this object is read-only from now on.
    void ReadOnly() { m_readOnly = true; }
    // One statement of the caller's, on this object's connection (reconnected when it was lost).
    std::optional<PgRows> Read(const std::string &sql, const std::vector<PgConnection::Param> &params = {},
                               std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Checks that the server's schema is the one this program writes; false with Error() otherwise.
    bool CheckSchema();

    // Stores rows of one station's outbox in one transaction, each once: a row whose (station, seq)
    // the server already holds with the same content is skipped. A row whose key is held with other
    // content fails the whole batch (the station's ledger was replaced): nothing is lost that way.
    bool Send(const std::vector<OutboxRow> &rows);

    // Reserves `serial` for `station`, dated `localDate` (YYYY-MM-DD). A number is granted once, ever:
    // one reserved and never confirmed is void, and a station asking for it again is refused.
    ReserveResult Reserve(const std::string &serial, const StationId &station, const std::string &localDate);
    // Leases a run's numbers in one transaction for the station ledger `ledgerId` (its instance id):
    // one result per number. A station number already held by another ledger refuses them all
    // (StationInUse, the holder and the date named).
    std::vector<ReserveResult> ReserveBlock(const std::vector<std::string> &serials, const StationId &station,
                                            const std::string &ledgerId, const std::string &localDate);
    // The number's cable failed: it stays void (never granted again) with its reason.
    bool Void(const std::string &serial, const StationId &station, const std::string &reason);
    struct SerialState {
        bool known = false;      // the line has granted it
        bool confirmed = false;  // its cable was programmed
        std::string voidReason;
        StationId holder;
    };
    std::optional<SerialState> SerialOnLine(const std::string &serial);
    // The serial went into a cable that passed its read-back.
    bool Confirm(const std::string &serial, const StationId &station);

    // Line queries: records as JSON texts in line order, and the report's rows.
    struct RecordFilter {
        std::string since;   // YYYY-MM-DD, "" for all
        std::string serial;  // "" for all
    };
    std::optional<std::vector<std::string>> Records(const RecordFilter &filter);
    // The same records one at a time, fetched in batches through a cursor, so that memory stays flat
    // whatever the line holds. `each` returns false to stop. False with Error() on failure.
    bool ForEachRecord(const RecordFilter &filter, const std::function<bool(const std::string &body)> &each);
    struct StationReport {
        StationId station;
        long programmed = 0, programFailed = 0, tested = 0, testPassed = 0;
    };
    struct CrossFailure {
        std::string serial;
        StationId programmedBy, testedBy;
    };
    struct Duplicate {
        std::string serial;
        std::vector<StationId> stations;
    };
    struct Report {
        std::vector<StationReport> stations;
        std::vector<CrossFailure> crossFailures;  // passed programming at one station, failed the test at another
        std::vector<Duplicate> duplicates;        // one serial programmed by more than one station
        struct Voided {
            std::string day;  // the number's date, YYYY-MM-DD
            std::string reason;
            long count = 0;
        };
        std::vector<Voided> voided;               // leased and never confirmed, by day and reason
    };
    std::optional<Report> LineReport(const std::string &since);

private:
    bool Fail(std::string message);
    std::optional<int> ReadVersion(std::string &error);

    std::string m_conninfo;
    std::chrono::milliseconds m_timeout;
    PgConnection m_db;
    std::string m_error;
    bool m_readOnly = false;
};

}  // namespace line
