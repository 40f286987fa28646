#include "StationLedger.h"

#include "StationLedgerSql.h"

#include "Os.h"
#include "SharedFiles.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

#include <sys/stat.h>
#include <unistd.h>

namespace line {

using namespace ledgersql;

namespace {

constexpr int kBusyTimeoutMs = 5000;


constexpr const char *kSchema = R"sql(
CREATE TABLE IF NOT EXISTS records (
  seq          INTEGER PRIMARY KEY AUTOINCREMENT,
  time_utc     TEXT    NOT NULL,
  kind         TEXT    NOT NULL,
  tool         TEXT    NOT NULL,
  station      INTEGER NOT NULL,
  host         TEXT    NOT NULL,
  serial       TEXT    NOT NULL,
  image_sha256 TEXT    NOT NULL,
  chip_model   INTEGER NOT NULL,
  chip_version INTEGER NOT NULL,
  verdict      TEXT    NOT NULL,
  failed_step  TEXT    NOT NULL,
  duration_ms  INTEGER NOT NULL,
  body         TEXT    NOT NULL,
  line_sent    INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS records_time ON records(time_utc);
CREATE INDEX IF NOT EXISTS records_serial ON records(serial);
CREATE INDEX IF NOT EXISTS records_unsent ON records(seq) WHERE line_sent = 0;
)sql";

// Version 2: the ledger's identity, runs, and every serial number from its reservation to its end.
constexpr const char *kSchema2 = R"sql(
CREATE TABLE IF NOT EXISTS ledger_meta (
  key   TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS runs (
  run_id      INTEGER PRIMARY KEY AUTOINCREMENT,
  started_utc TEXT    NOT NULL,
  kind        TEXT    NOT NULL,
  tool        TEXT    NOT NULL,
  pid         INTEGER NOT NULL,
  ended_utc   TEXT
);
CREATE TABLE IF NOT EXISTS serials (
  serial       TEXT    PRIMARY KEY,
  run_id       INTEGER NOT NULL,
  state        TEXT    NOT NULL,
  devices      TEXT    NOT NULL,
  reserved_utc TEXT    NOT NULL,
  settled_utc  TEXT    NOT NULL DEFAULT '',
  reason       TEXT    NOT NULL DEFAULT '',
  cleared      TEXT    NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS serials_state ON serials(state);
)sql";

// Version 3: where each record's cable was plugged ("0-1.2+0-1.3", "" when not known). The records
// before it keep '' and their bodies as they were.
constexpr const char *kSchema3 = R"sql(
ALTER TABLE records ADD COLUMN ports TEXT NOT NULL DEFAULT '';
)sql";

// The columns each table must have for this program to write it; a table with other columns is
// another program's and is refused before anything is changed.
const std::vector<std::pair<const char *, std::vector<std::string>>> kColumns = {
    {"records", {"seq", "time_utc", "kind", "tool", "station", "host", "serial", "image_sha256", "chip_model",
                 "chip_version", "verdict", "failed_step", "duration_ms", "body", "line_sent", "ports"}},
    {"serials", {"serial", "run_id", "state", "devices", "reserved_utc", "settled_utc", "reason", "cleared"}},
    {"runs", {"run_id", "started_utc", "kind", "tool", "pid", "ended_utc"}},
};

// A random (version 4) UUID: what tells this ledger file from any other.
std::string NewInstanceId()
{
    std::random_device random;
    std::uint8_t b[16];
    for (std::size_t i = 0; i < sizeof b; i += 4) {
        const std::uint32_t r = random();
        std::memcpy(b + i, &r, 4);
    }
    b[6] = std::uint8_t((b[6] & 0x0F) | 0x40);
    b[8] = std::uint8_t((b[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

// The record's ports for their column: "A+B", "" when neither is known.
std::string PortsText(const LedgerRecord &record)
{
    std::string text;
    bool known = false;
    for (std::size_t i = 0; i < record.ports.size(); ++i) {
        text += (i ? "+" : "") + record.ports[i];
        known = known || !record.ports[i].empty();
    }
    return known ? text : std::string();
}

} // namespace

std::string LedgerPath()
{
    const char *path = std::getenv(kLedgerPathVariable);
    return path && *path ? path : DefaultLedgerPath();
}

std::string DefaultLedgerPath()
{
    // UTF-8, as SQLite takes file names.
    const std::u8string path = (platform::StationDataFolder() / "ledger.db").u8string();
    return std::string(path.begin(), path.end());
}

StationLedger::~StationLedger()
{
    Close();
}

void StationLedger::Close()
{
    std::lock_guard lock(m_mutex);
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool StationLedger::Open(const std::string &path, std::string *error)
{
    return OpenFile(path, true, error);
}

bool StationLedger::OpenExisting(const std::string &path, std::string *error)
{
    return OpenFile(path, false, error);
}

bool StationLedger::OpenFile(const std::string &path, bool create, std::string *error)
{
    Close();
    std::lock_guard lock(m_mutex);
    m_path = path;
    if (path.empty()) {
        SetError(error, "no ledger file named");
        return false;
    }
    // SQLite would open a FIFO and then wait on it for ever, and report a folder only vaguely.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            SetError(error, "the ledger " + path + " is not a regular file");
            return false;
        }
    } else if (errno != ENOENT) {
        SetError(error, "the ledger " + path + ": " + std::strerror(errno));
        return false;
    } else if (!create) {
        SetError(error, "there is no ledger at " + path);
        return false;
    } else if (std::string why; !platform::PrepareSharedFile(path, &why)) {
        // Group-writable, so that every operator of the station can append to it.
        SetError(error, "cannot create the ledger: " + why);
        return false;
    }

    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        SetError(error, DbError(db, ("cannot open the ledger " + path).c_str()));
        sqlite3_close_v2(db);
        return false;
    }
    m_db = db;
    // SQLite quietly opens a file it cannot write read-only; a ledger that cannot take records must
    // stop the work before it starts, so that is refused here.
    if (create && sqlite3_db_readonly(db, "main") == 1) {
        SetError(error, "the ledger " + path + " cannot be written (read-only file or file system)");
        sqlite3_close_v2(db);
        m_db = nullptr;
        return false;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // The workers open the ledger for each record; a checkpoint at every close would add two disk
    // syncs to each. Committed records in the WAL are already durable; SQLite checkpoints on its own.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    if (!PrepareSchema(error)) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        if (error)
            *error = "the ledger " + path + ": " + *error;
        return false;
    }
    // What the file is now, to notice when it is replaced or deleted while this program runs.
    m_identity = platform::IdentityOf(path);
    return true;
}

bool StationLedger::ReadyToWrite(std::string *error)
{
    if (!m_db) {
        SetError(error, "the ledger is not open");
        return false;
    }
    return StillSameFile(error);
}

bool StationLedger::StillSameFile(std::string *error)
{
    const std::optional<platform::FileIdentity> now = platform::IdentityOf(m_path);
    if (!now) {
        SetError(error, "the ledger " + m_path + " was deleted while this program ran");
        return false;
    }
    if (now != m_identity) {
        SetError(error, "the ledger " + m_path + " was replaced by another file while this program ran");
        return false;
    }
    return true;
}

bool StationLedger::CheckColumns(int version, std::string *error)
{
    for (auto [table, wanted] : kColumns) {
        if (version < 3 && std::string(table) == "records")
            wanted.pop_back(); // `ports` comes with the upgrade
        Statement info(m_db, (std::string("PRAGMA table_info(") + table + ")").c_str());
        if (!info.Ok()) {
            SetError(error, DbError(m_db, "not a readable ledger"));
            return false;
        }
        std::vector<std::string> columns;
        while (info.Step() == SQLITE_ROW)
            columns.push_back(info.ColumnText(1));
        if (columns.empty() && std::string(table) != "records")
            continue; // added by the upgrade
        if (columns != wanted) {
            SetError(error, std::string("not a ledger (its ") + table + " table has other columns)");
            return false;
        }
    }
    return true;
}

bool StationLedger::PrepareSchema(std::string *error)
{
    // A file that is not an SQLite database fails at its first read, here.
    int version = -1;
    {
        Statement v(m_db, "PRAGMA user_version");
        if (!v.Ok() || v.Step() != SQLITE_ROW) {
            SetError(error, DbError(m_db, "not a readable ledger"));
            return false;
        }
        version = int(v.ColumnInt(0));
    }
    if (version > kLedgerSchemaVersion) {
        SetError(error, "written by a newer program (schema " + std::to_string(version) + ", this one knows " +
                            std::to_string(kLedgerSchemaVersion) + ")");
        return false;
    }
    if (version >= 1) {
        // Another program's database that happens to carry a version number of ours is still refused,
        // and so is one whose tables have other columns: before anything in it is changed.
        Statement t(m_db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'records'");
        if (!t.Ok() || t.Step() != SQLITE_ROW) {
            SetError(error, "not a ledger (no records table)");
            return false;
        }
        if (!CheckColumns(version, error))
            return false;
    } else {
        // A database with other tables and no version is not ours; an empty one becomes a ledger.
        Statement t(m_db, "SELECT count(*) FROM sqlite_master");
        if (!t.Ok() || t.Step() != SQLITE_ROW) {
            SetError(error, DbError(m_db, "not a readable ledger"));
            return false;
        }
        if (t.ColumnInt(0) != 0) {
            SetError(error, "not a ledger (a database of something else)");
            return false;
        }
    }
    if (!Exec(m_db, "PRAGMA journal_mode=WAL", error) || !Exec(m_db, "PRAGMA synchronous=FULL", error))
        return false;
    if (version < kLedgerSchemaVersion && !Upgrade(version, error))
        return false;
    Statement id(m_db, "SELECT value FROM ledger_meta WHERE key = 'instance_id'");
    if (id.Ok() && id.Step() == SQLITE_ROW)
        m_instanceId = id.ColumnText(0);
    return true;
}

bool StationLedger::Upgrade(int from, std::string *error)
{
    if (!Exec(m_db, "BEGIN IMMEDIATE", error))
        return false;
    std::string sql = from < 1 ? kSchema : "";
    if (from < 2)
        sql += kSchema2;
    sql += kSchema3;
    sql += "INSERT OR IGNORE INTO ledger_meta (key, value) VALUES ('instance_id', '" + NewInstanceId() + "');";
    sql += "PRAGMA user_version=" + std::to_string(kLedgerSchemaVersion) + ";";
    if (!Exec(m_db, sql.c_str(), error) || !Exec(m_db, "COMMIT", error)) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

std::optional<std::int64_t> StationLedger::Append(const LedgerRecord &record, std::string *error,
                                                  const SerialVerdict *verdict)
{
    std::lock_guard lock(m_mutex);
    if (!ReadyToWrite(error))
        return std::nullopt;
    const std::string where = "cannot store the record in " + m_path;
    if (!Exec(m_db, "BEGIN IMMEDIATE", error))
        return std::nullopt;
    auto fail = [&](const std::string &why) -> std::optional<std::int64_t> {
        SetError(error, why);
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return std::nullopt;
    };
    Statement insert(m_db, "INSERT INTO records (time_utc, kind, tool, station, host, serial, image_sha256, "
                           "chip_model, chip_version, verdict, failed_step, duration_ms, body, ports) "
                           "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)");
    const bool bound = insert.Ok() && insert.Text(1, record.timeUtc) && insert.Text(2, record.kind) &&
                       insert.Text(3, record.tool) && insert.Int(4, record.station) && insert.Text(5, record.host) &&
                       insert.Text(6, record.serial) && insert.Text(7, record.imageSha256) &&
                       insert.Int(8, record.chipModel) && insert.Int(9, record.chipVersion) &&
                       insert.Text(10, record.verdict) && insert.Text(11, record.FailedStep()) &&
                       insert.Int(12, record.durationMs) && insert.Text(13, record.ToJson()) &&
                       insert.Text(14, PortsText(record));
    if (!bound || insert.Step() != SQLITE_DONE)
        return fail(DbError(m_db, where.c_str()));
    const std::int64_t seq = sqlite3_last_insert_rowid(m_db);
    if (verdict) {
        Statement settle(m_db, "UPDATE serials SET state = ?2, reason = ?3, cleared = ?4, settled_utc = ?5 "
                               "WHERE serial = ?1 AND state = 'reserved'");
        const bool ok = settle.Ok() && settle.Text(1, verdict->serial) &&
                        settle.Text(2, verdict->programmed ? SerialEntry::kProgrammed : SerialEntry::kVoid) &&
                        settle.Text(3, verdict->programmed ? std::string() : verdict->reason) &&
                        settle.Text(4, verdict->programmed ? std::string() : verdict->cleared) &&
                        settle.Text(5, NowUtc()) && settle.Step() == SQLITE_DONE;
        if (!ok)
            return fail(DbError(m_db, where.c_str()));
        if (sqlite3_changes(m_db) != 1)
            return fail(where + ": serial number " + verdict->serial + " is not reserved in it");
    }
    // With synchronous=FULL the commit is on the disk when it returns.
    if (!Exec(m_db, "COMMIT", error)) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return std::nullopt;
    }
    return seq;
}

std::vector<LedgerRecord> StationLedger::Select(const std::string &sql, const std::vector<std::string> &binds,
                                                std::string *error, int *unreadable)
{
    std::vector<LedgerRecord> out;
    if (unreadable)
        *unreadable = 0;
    if (!m_db) {
        SetError(error, "the ledger is not open");
        return out;
    }
    Statement select(m_db, sql.c_str());
    if (!select.Ok()) {
        SetError(error, DbError(m_db, "cannot read the ledger"));
        return out;
    }
    for (std::size_t i = 0; i < binds.size(); ++i)
        select.Text(int(i + 1), binds[i]);
    int rc;
    while ((rc = select.Step()) == SQLITE_ROW) {
        std::optional<LedgerRecord> r = LedgerRecord::FromJson(select.ColumnText(1));
        if (!r) {
            if (unreadable)
                ++*unreadable;
            continue;
        }
        r->seq = select.ColumnInt(0);
        out.push_back(std::move(*r));
    }
    if (rc != SQLITE_DONE)
        SetError(error, DbError(m_db, "cannot read the ledger"));
    return out;
}

std::vector<LedgerRecord> StationLedger::Query(const LedgerQuery &query, std::string *error, int *unreadable)
{
    std::lock_guard lock(m_mutex);
    std::string sql = "SELECT seq, body FROM records WHERE 1";
    std::vector<std::string> binds;
    if (!query.since.empty()) {
        binds.push_back(query.since);
        sql += " AND time_utc >= ?" + std::to_string(binds.size());
    }
    if (!query.serial.empty()) {
        binds.push_back(query.serial);
        sql += " AND serial = ?" + std::to_string(binds.size());
    }
    if (!query.kind.empty()) {
        binds.push_back(query.kind);
        sql += " AND kind = ?" + std::to_string(binds.size());
    }
    sql += " ORDER BY seq";
    return Select(sql, binds, error, unreadable);
}

std::vector<LedgerRecord> StationLedger::Unsent(int limit, std::string *error)
{
    std::lock_guard lock(m_mutex);
    return Select("SELECT seq, body FROM records WHERE line_sent = 0 ORDER BY seq LIMIT " +
                      std::to_string(limit < 0 ? 0 : limit),
                  {}, error, nullptr);
}

bool StationLedger::MarkSent(const std::vector<std::int64_t> &seqs, std::string *error)
{
    std::lock_guard lock(m_mutex);
    if (!m_db) {
        SetError(error, "the ledger is not open");
        return false;
    }
    if (!Exec(m_db, "BEGIN IMMEDIATE", error))
        return false;
    Statement mark(m_db, "UPDATE records SET line_sent = 1 WHERE seq = ?1");
    bool ok = mark.Ok();
    for (std::size_t i = 0; ok && i < seqs.size(); ++i) {
        ok = mark.Int(1, seqs[i]) && mark.Step() == SQLITE_DONE;
        mark.Reset();
    }
    if (!ok || !Exec(m_db, "COMMIT", error)) {
        if (!ok)
            SetError(error, DbError(m_db, "cannot mark records sent"));
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

bool AppendToStationLedger(const LedgerRecord &record, const char *who, std::string *why)
{
    StationLedger ledger;
    std::string error;
    if (ledger.Open(LedgerPath(), &error) && ledger.Append(record, &error))
        return true;
    std::fprintf(stderr, "%s: the outcome was not recorded in the station's ledger: %s\n", who, error.c_str());
    if (why)
        *why = error;
    return false;
}

} // namespace line
