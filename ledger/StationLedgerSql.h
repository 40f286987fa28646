#pragma once
// What the station ledger's source files share: SQLite statements that finalize themselves and the
// ledger's error texts. Private to ledger/.

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace line::ledgersql {

inline void SetError(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

inline std::string DbError(sqlite3 *db, const char *what)
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

inline bool Exec(sqlite3 *db, const char *sql, std::string *error)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    SetError(error, DbError(db, "the ledger"));
    return false;
}

} // namespace line::ledgersql
