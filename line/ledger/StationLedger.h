#pragma once
// The station's ledger: every program and test outcome of this machine, in one SQLite file
// ($QT7730_LEDGER_DB, or /var/lib/qt7730-mfg-kit/ledger.db). Each append is one durable transaction
// (synchronous=FULL in WAL mode): when Append returns a number, the record survives a power cut.
// Several processes and threads may append at once; writers wait for each other up to 5 s.
//
// Schema (version 1, PRAGMA user_version):
//   records(seq INTEGER PRIMARY KEY AUTOINCREMENT, time_utc, kind, tool, station, host, serial,
//           image_sha256, chip_model, chip_version, verdict, failed_step, duration_ms,
//           body TEXT (the whole record as JSON), line_sent INTEGER NOT NULL DEFAULT 0)
// `seq` is monotonic and never reused; `line_sent` is the outbox flag of the line ledger.

#include "LedgerRecord.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace line {

inline constexpr const char *kLedgerPathVariable = "QT7730_LEDGER_DB";
inline constexpr const char *kDefaultLedgerPath = "/var/lib/qt7730-mfg-kit/ledger.db";
inline constexpr int kLedgerSchemaVersion = 1;

// The file the programs use: $QT7730_LEDGER_DB when set and not empty, else the default path.
std::string LedgerPath();

struct LedgerQuery {
    std::string since;  // "YYYY-MM-DD" (UTC day) or a full time: records at or after it; "" = all
    std::string serial; // exact serial text; "" = all
    std::string kind;   // LedgerRecord::kProgram / kTest; "" = both
};

class StationLedger {
public:
    StationLedger() = default;
    ~StationLedger();
    StationLedger(const StationLedger &) = delete;
    StationLedger &operator=(const StationLedger &) = delete;

    // Opens (creating when missing, with its folder) the ledger at `path`. Refuses anything that is
    // not a regular file (a folder, a FIFO, a device), a file that is not a ledger, and a ledger of a
    // newer schema than this program knows. `error` gets a sentence saying why.
    bool Open(const std::string &path, std::string *error = nullptr);
    // Opens without creating anything: for reading an existing ledger.
    bool OpenExisting(const std::string &path, std::string *error = nullptr);
    bool IsOpen() const { return m_db != nullptr; }
    const std::string &Path() const { return m_path; }
    void Close();

    // Stores the record in one durable transaction; returns its seq, or nullopt (with `error`) when it
    // could not be stored. Thread-safe.
    std::optional<std::int64_t> Append(const LedgerRecord &record, std::string *error = nullptr);

    // Records matching the query, oldest first (by seq). Records whose body cannot be read are skipped
    // and counted in `unreadable`.
    std::vector<LedgerRecord> Query(const LedgerQuery &query, std::string *error = nullptr,
                                    int *unreadable = nullptr);

    // The outbox: up to `limit` records not yet sent to the line ledger, oldest first, and marking them
    // sent (all or none).
    std::vector<LedgerRecord> Unsent(int limit, std::string *error = nullptr);
    bool MarkSent(const std::vector<std::int64_t> &seqs, std::string *error = nullptr);

private:
    bool OpenFile(const std::string &path, bool create, std::string *error);
    bool PrepareSchema(std::string *error);
    std::vector<LedgerRecord> Select(const std::string &sql, const std::vector<std::string> &binds, std::string *error,
                                     int *unreadable);

    std::mutex m_mutex;
    sqlite3 *m_db = nullptr;
    std::string m_path;
};

// Opens the ledger at LedgerPath() and appends one record; on failure says so on stderr (prefixed with
// `who`) and returns false, with the reason in `why` for the program's window. For the programs'
// workers: the outcome the operator sees never depends on it.
bool AppendToStationLedger(const LedgerRecord &record, const char *who, std::string *why = nullptr);

} // namespace line
