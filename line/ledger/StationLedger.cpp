#include "StationLedger.h"

#include "SharedFiles.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>

namespace line {

namespace {

constexpr int kBusyTimeoutMs = 5000;

void SetError(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

std::string DbError(sqlite3 *db, const char *what)
{
    return std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    bool Ok() const { return m_stmt != nullptr; }
    bool Text(int i, const std::string &v)
    {
        return sqlite3_bind_text(m_stmt, i, v.data(), int(v.size()), SQLITE_TRANSIENT) == SQLITE_OK;
    }
    bool Int(int i, std::int64_t v) { return sqlite3_bind_int64(m_stmt, i, v) == SQLITE_OK; }
    int Step() { return sqlite3_step(m_stmt); }
    void Reset() { sqlite3_reset(m_stmt); }
    std::int64_t ColumnInt(int i) { return sqlite3_column_int64(m_stmt, i); }
    std::string ColumnText(int i)
    {
        const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, i));
        return p ? std::string(p, std::size_t(sqlite3_column_bytes(m_stmt, i))) : std::string();
    }

private:
    sqlite3_stmt *m_stmt = nullptr;
};

bool Exec(sqlite3 *db, const char *sql, std::string *error)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    SetError(error, DbError(db, "the ledger"));
    return false;
}

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

} // namespace

std::string LedgerPath()
{
    const char *path = std::getenv(kLedgerPathVariable);
    return path && *path ? path : kDefaultLedgerPath;
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
    if (!Exec(m_db, "PRAGMA journal_mode=WAL", error) || !Exec(m_db, "PRAGMA synchronous=FULL", error))
        return false;
    if (version == kLedgerSchemaVersion) {
        // Another program's database that happens to carry our version number is still refused.
        Statement t(m_db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'records'");
        if (t.Ok() && t.Step() == SQLITE_ROW)
            return true;
        SetError(error, "not a ledger (no records table)");
        return false;
    }
    if (version == 0) {
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
    if (!Exec(m_db, "BEGIN IMMEDIATE", error))
        return false;
    std::string sql = std::string(kSchema) + "PRAGMA user_version=" + std::to_string(kLedgerSchemaVersion) + ";";
    if (!Exec(m_db, sql.c_str(), error) || !Exec(m_db, "COMMIT", error)) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

std::optional<std::int64_t> StationLedger::Append(const LedgerRecord &record, std::string *error)
{
    std::lock_guard lock(m_mutex);
    if (!m_db) {
        SetError(error, "the ledger is not open");
        return std::nullopt;
    }
    Statement insert(m_db, "INSERT INTO records (time_utc, kind, tool, station, host, serial, image_sha256, "
                           "chip_model, chip_version, verdict, failed_step, duration_ms, body) "
                           "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)");
    const bool bound = insert.Ok() && insert.Text(1, record.timeUtc) && insert.Text(2, record.kind) &&
                       insert.Text(3, record.tool) && insert.Int(4, record.station) && insert.Text(5, record.host) &&
                       insert.Text(6, record.serial) && insert.Text(7, record.imageSha256) &&
                       insert.Int(8, record.chipModel) && insert.Int(9, record.chipVersion) &&
                       insert.Text(10, record.verdict) && insert.Text(11, record.FailedStep()) &&
                       insert.Int(12, record.durationMs) && insert.Text(13, record.ToJson());
    // One statement in autocommit mode is one transaction; with synchronous=FULL the commit is on the
    // disk when the step returns.
    if (!bound || insert.Step() != SQLITE_DONE) {
        SetError(error, DbError(m_db, ("cannot store the record in " + m_path).c_str()));
        return std::nullopt;
    }
    return sqlite3_last_insert_rowid(m_db);
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
