#pragma once
// The station's ledger: every program and test outcome of this machine, in one SQLite file
// ($QT7730_LEDGER_DB, or ledger.db in the station's data folder: /var/lib/qt7730-mfg-kit on Linux,
// %ProgramData%\QT7730 MFG Kit on Windows). Each append is one durable transaction
// (synchronous=FULL in WAL mode): when Append returns a number, the record survives a power cut.
// Several processes and threads may append at once; writers wait for each other up to 5 s.
//
// Schema (version 3, PRAGMA user_version):
//   records(seq INTEGER PRIMARY KEY AUTOINCREMENT, time_utc, kind, tool, station, host, serial,
//           image_sha256, chip_model, chip_version, verdict, failed_step, duration_ms,
//           body TEXT (the whole record as JSON), line_sent INTEGER NOT NULL DEFAULT 0,
//           ports TEXT NOT NULL DEFAULT '' (where the sides were plugged, "0-1.2+0-1.3"))
//   ledger_meta(key PRIMARY KEY, value): `instance_id`, a random id made with the ledger
//   runs(run_id INTEGER PRIMARY KEY AUTOINCREMENT, started_utc, kind, tool, pid, ended_utc)
//   serials(serial PRIMARY KEY, run_id, state, devices, reserved_utc, settled_utc, reason, cleared)
// `seq` is monotonic and never reused; `line_sent` is the outbox flag of the line ledger. A serial
// number's life: `reserved` before its cable is written, then `programmed` or `void` (with a reason).
// Older ledgers are upgraded in place (version 2 added the tables, version 3 the `ports` column; the
// records' bodies are untouched).

#include "LedgerRecord.h"
#include "SharedFiles.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace line {

inline constexpr const char *kLedgerPathVariable = "QT7730_LEDGER_DB";
inline constexpr int kLedgerSchemaVersion = 3;

// The file the programs use: $QT7730_LEDGER_DB when set and not empty, else DefaultLedgerPath().
std::string LedgerPath();
// ledger.db in the station's data folder.
std::string DefaultLedgerPath();

struct LedgerQuery {
    std::string since;  // "YYYY-MM-DD" (UTC day) or a full time: records at or after it; "" = all
    std::string serial; // exact serial text; "" = all
    std::string kind;   // LedgerRecord::kProgram / kTest; "" = both
};

// A serial number's standing in this station's ledger.
struct SerialEntry {
    static constexpr const char *kReserved = "reserved"; // states
    static constexpr const char *kProgrammed = "programmed";
    static constexpr const char *kVoid = "void";

    std::string serial;
    std::int64_t runId = 0;
    std::string state;
    std::string devices;     // the cable's device objects when it was reserved, "HOSTLNK-3+HOSTLNK-4"
    std::string reservedUtc;
    std::string settledUtc;  // "" while reserved
    std::string reason;      // why void
    std::string cleared;     // void numbers: "yes" the cable's serial was cleared, "no" it may hold it, "" not written
};

// How a number ends, stored with its cable's record in one transaction.
struct SerialVerdict {
    std::string serial;
    bool programmed = false;
    std::string reason;  // when void
    std::string cleared; // when void: "yes", "no" or ""
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
    // could not be stored. With `verdict`, the reserved number it names ends as programmed or void in
    // the same transaction (and nothing is stored when that number is not reserved). Thread-safe.
    std::optional<std::int64_t> Append(const LedgerRecord &record, std::string *error = nullptr,
                                       const SerialVerdict *verdict = nullptr);

    // The ledger's own identity: a random id made with it, so two ledger files (or two cloned PCs)
    // are two stations to the line server.
    const std::string &InstanceId() const { return m_instanceId; }

    // A run starts with a durable write: proof that the ledger takes records before any cable is
    // touched. Returns the run's id.
    std::optional<std::int64_t> BeginRun(const std::string &kind, const std::string &tool, std::string *error = nullptr);
    void EndRun(std::int64_t runId);

    // Records each number as reserved for its cable (serial, devices), all in one durable transaction.
    // A number this ledger holds already (a counter set back, a restored store) is left as it is and
    // named in `held`: it must not be written.
    bool ReserveSerials(std::int64_t runId, const std::vector<std::pair<std::string, std::string>> &serials,
                        std::vector<std::string> *held, std::string *error = nullptr);
    // Makes every number still reserved void with `reason` and returns them (what a killed run left).
    // Only to be called while no other run of this station can hold reservations.
    std::optional<std::vector<SerialEntry>> VoidUnsettled(const std::string &reason, std::string *error = nullptr);
    // The number's entry; nullopt when this ledger never reserved it.
    std::optional<SerialEntry> Serial(const std::string &serial, std::string *error = nullptr);
    // Whether a program record that passed carries this serial text (cables numbered before numbers
    // were reserved, or programmed by Quillon).
    bool ProgrammedByRecord(const std::string &serial);
    // Void numbers settled at or after `since` ("" all), oldest first.
    std::vector<SerialEntry> VoidSerials(const std::string &since, std::string *error = nullptr);

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
    bool CheckColumns(int version, std::string *error);
    bool Upgrade(int from, std::string *error);
    // False (with `error`) when the file at m_path is no longer the one opened: replaced or deleted.
    bool StillSameFile(std::string *error);
    // Open, and still the file that was opened (with m_mutex held).
    bool ReadyToWrite(std::string *error);
    std::vector<SerialEntry> SelectSerials(const char *sql, const std::vector<std::string> &binds, std::string *error);
    std::vector<LedgerRecord> Select(const std::string &sql, const std::vector<std::string> &binds, std::string *error,
                                     int *unreadable);

    std::mutex m_mutex;
    sqlite3 *m_db = nullptr;
    std::string m_path;
    std::string m_instanceId;
    std::optional<platform::FileIdentity> m_identity; // of the file opened, to notice its replacement
};

// Opens the ledger at LedgerPath() and appends one record; on failure says so on stderr (prefixed with
// `who`) and returns false, with the reason in `why` for the program's window. For the programs'
// workers: the outcome the operator sees never depends on it.
bool AppendToStationLedger(const LedgerRecord &record, const char *who, std::string *why = nullptr);

} // namespace line
