// The station ledger's runs and the life of each serial number in it: reserved for a cable before it
// is written, then programmed or void, and what a later run finds unsettled.

#include "StationLedger.h"

#include "StationLedgerSql.h"

#include <unistd.h>

namespace line {

using namespace ledgersql;

std::optional<std::int64_t> StationLedger::BeginRun(const std::string &kind, const std::string &tool,
                                                    std::string *error)
{
    std::lock_guard lock(m_mutex);
    if (!ReadyToWrite(error))
        return std::nullopt;
    Statement insert(m_db, "INSERT INTO runs (started_utc, kind, tool, pid) VALUES (?1, ?2, ?3, ?4)");
    if (!insert.Ok() || !insert.Text(1, NowUtc()) || !insert.Text(2, kind) || !insert.Text(3, tool) ||
        !insert.Int(4, ::getpid()) || insert.Step() != SQLITE_DONE) {
        SetError(error, DbError(m_db, ("the ledger " + m_path + " does not take records").c_str()));
        return std::nullopt;
    }
    return sqlite3_last_insert_rowid(m_db);
}

void StationLedger::EndRun(std::int64_t runId)
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return;
    Statement end(m_db, "UPDATE runs SET ended_utc = ?2 WHERE run_id = ?1");
    if (end.Ok() && end.Int(1, runId) && end.Text(2, NowUtc()))
        end.Step();
}

bool StationLedger::ReserveSerials(std::int64_t runId, const std::vector<std::pair<std::string, std::string>> &serials,
                                   std::vector<std::string> *held, std::string *error)
{
    std::lock_guard lock(m_mutex);
    if (!ReadyToWrite(error) || !Exec(m_db, "BEGIN IMMEDIATE", error))
        return false;
    const std::string now = NowUtc();
    Statement insert(m_db, "INSERT OR IGNORE INTO serials (serial, run_id, state, devices, reserved_utc) "
                           "VALUES (?1, ?2, 'reserved', ?3, ?4)");
    bool ok = insert.Ok();
    for (std::size_t i = 0; ok && i < serials.size(); ++i) {
        ok = insert.Text(1, serials[i].first) && insert.Int(2, runId) && insert.Text(3, serials[i].second) &&
             insert.Text(4, now) && insert.Step() == SQLITE_DONE;
        if (ok && sqlite3_changes(m_db) == 0 && held)
            held->push_back(serials[i].first);
        insert.Reset();
    }
    if (!ok) {
        SetError(error, DbError(m_db, ("cannot reserve the serial numbers in " + m_path).c_str()));
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    if (!Exec(m_db, "COMMIT", error)) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

std::vector<SerialEntry> StationLedger::SelectSerials(const char *sql, const std::vector<std::string> &binds,
                                                      std::string *error)
{
    std::vector<SerialEntry> out;
    Statement select(m_db, sql);
    if (!select.Ok()) {
        SetError(error, DbError(m_db, "cannot read the ledger's serial numbers"));
        return out;
    }
    for (std::size_t i = 0; i < binds.size(); ++i)
        select.Text(int(i + 1), binds[i]);
    int rc;
    while ((rc = select.Step()) == SQLITE_ROW)
        out.push_back({select.ColumnText(0), select.ColumnInt(1), select.ColumnText(2), select.ColumnText(3),
                       select.ColumnText(4), select.ColumnText(5), select.ColumnText(6), select.ColumnText(7)});
    if (rc != SQLITE_DONE)
        SetError(error, DbError(m_db, "cannot read the ledger's serial numbers"));
    return out;
}

#define KIT_SERIAL_COLUMNS "serial, run_id, state, devices, reserved_utc, settled_utc, reason, cleared"

std::optional<std::vector<SerialEntry>> StationLedger::VoidUnsettled(const std::string &reason, std::string *error)
{
    std::lock_guard lock(m_mutex);
    if (!ReadyToWrite(error) || !Exec(m_db, "BEGIN IMMEDIATE", error))
        return std::nullopt;
    std::string readError;
    std::vector<SerialEntry> left = SelectSerials(
        "SELECT " KIT_SERIAL_COLUMNS " FROM serials WHERE state = 'reserved' ORDER BY run_id, serial", {}, &readError);
    Statement update(m_db, "UPDATE serials SET state = 'void', reason = ?1, settled_utc = ?2 WHERE state = 'reserved'");
    const std::string now = NowUtc();
    if (!readError.empty() || !update.Ok() || !update.Text(1, reason) || !update.Text(2, now) ||
        update.Step() != SQLITE_DONE || !Exec(m_db, "COMMIT", error)) {
        if (!readError.empty())
            SetError(error, readError);
        else
            SetError(error, DbError(m_db, "cannot settle an earlier run's serial numbers"));
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return std::nullopt;
    }
    for (SerialEntry &e : left) {
        e.state = SerialEntry::kVoid;
        e.reason = reason;
        e.settledUtc = now;
    }
    return left;
}

std::optional<SerialEntry> StationLedger::Serial(const std::string &serial, std::string *error)
{
    std::lock_guard lock(m_mutex);
    if (!m_db) {
        SetError(error, "the ledger is not open");
        return std::nullopt;
    }
    std::vector<SerialEntry> found =
        SelectSerials("SELECT " KIT_SERIAL_COLUMNS " FROM serials WHERE serial = ?1", {serial}, error);
    if (found.empty())
        return std::nullopt;
    return found.front();
}

bool StationLedger::ProgrammedByRecord(const std::string &serial)
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return false;
    Statement select(m_db, "SELECT 1 FROM records WHERE serial = ?1 AND kind = 'program' AND verdict = 'pass' LIMIT 1");
    return select.Ok() && select.Text(1, serial) && select.Step() == SQLITE_ROW;
}

std::vector<SerialEntry> StationLedger::VoidSerials(const std::string &since, std::string *error)
{
    std::lock_guard lock(m_mutex);
    if (!m_db) {
        SetError(error, "the ledger is not open");
        return {};
    }
    return SelectSerials("SELECT " KIT_SERIAL_COLUMNS " FROM serials WHERE state = 'void' AND settled_utc >= ?1 "
                         "ORDER BY settled_utc, serial",
                         {since}, error);
}

#undef KIT_SERIAL_COLUMNS

} // namespace line
