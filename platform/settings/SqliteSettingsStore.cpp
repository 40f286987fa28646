#include "SqliteSettingsStore.h"

#include "SharedFiles.h"

#include <cstdlib>
#include <cstring>

#include <sqlite3.h>

namespace platform {
namespace {

// Keys and value names compare without regard to case, as registry names do.
constexpr const char *kSchema =
    "CREATE TABLE IF NOT EXISTS settings_keys("
    "  path TEXT PRIMARY KEY COLLATE NOCASE) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS settings_values("
    "  path TEXT NOT NULL COLLATE NOCASE,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(path, name)) WITHOUT ROWID;";

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3 *db, const char *sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            m_stmt = nullptr;
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool Ok() const { return m_stmt != nullptr; }
    sqlite3_stmt *get() const { return m_stmt; }
    bool BindText(int index, const std::string &text)
    {
        return sqlite3_bind_text(m_stmt, index, text.data(), int(text.size()), SQLITE_TRANSIENT) == SQLITE_OK;
    }
    int Step() { return sqlite3_step(m_stmt); }

private:
    sqlite3_stmt *m_stmt = nullptr;
};

// Opens one connection to the database; null when it cannot be opened as asked.
sqlite3 *OpenConnection(const std::string &file, bool create, bool needWrite)
{
    sqlite3 *db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (create)
        flags |= SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(file.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    // SQLite quietly falls back to read-only for a file it may not write; full access must fail.
    if (needWrite && sqlite3_db_readonly(db, "main") != 0) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    // Every Save opens and closes a connection; a checkpoint at each close would cost two more
    // disk syncs. Committed data in the WAL is already durable; SQLite checkpoints it every 1000
    // pages on its own.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_busy_timeout(db, SqliteSettingsStore::kBusyTimeoutMs);
    // Each commit is synced to the disk before it returns: a counter saved once is never lost.
    if (sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    return db;
}

bool KeyExists(sqlite3 *db, const std::string &path)
{
    Statement query(db, "SELECT 1 FROM settings_keys WHERE path = ?1");
    return query.Ok() && query.BindText(1, path) && query.Step() == SQLITE_ROW;
}

class SqliteSettingsKey final : public SettingsKey {
public:
    SqliteSettingsKey(sqlite3 *db, std::string path, SettingsAccess access)
        : m_db(db), m_path(std::move(path)), m_access(access)
    {
    }
    ~SqliteSettingsKey() override { Close(); }

    bool Read(const std::string &name, void *buffer, std::uint32_t &length) override
    {
        if (!m_db)
            return false;
        Statement query(m_db, "SELECT data FROM settings_values WHERE path = ?1 AND name = ?2");
        if (!query.Ok() || !query.BindText(1, m_path) || !query.BindText(2, name) || query.Step() != SQLITE_ROW)
            return false;
        const int size = sqlite3_column_bytes(query.get(), 0);
        const void *data = sqlite3_column_blob(query.get(), 0);
        if (size < 0 || std::uint32_t(size) > length) {
            length = std::uint32_t(size);
            return false;
        }
        if (size > 0)
            std::memcpy(buffer, data, std::size_t(size));
        length = std::uint32_t(size);
        return true;
    }

    bool WriteNumber(const std::string &name, std::uint32_t value) override
    {
        return Write(name, SettingsValueType::Number, &value, sizeof value);
    }

    bool WriteText(const std::string &name, const void *data, std::uint32_t length) override
    {
        return Write(name, SettingsValueType::Text, data, length);
    }

    bool Flush() override
    {
        if (!m_db)
            return false;
        if (!m_inTransaction)
            return true; // every earlier commit was already synced
        const bool committed = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        // A failed COMMIT may leave the transaction open (busy) or roll it back (I/O error).
        m_inTransaction = !committed && sqlite3_get_autocommit(m_db) == 0;
        return committed;
    }

    void Close() override
    {
        if (!m_db)
            return;
        if (m_inTransaction && !Flush() && m_inTransaction)
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        m_inTransaction = false;
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }

private:
    bool Write(const std::string &name, SettingsValueType type, const void *data, std::uint32_t length)
    {
        if (!m_db || m_access != SettingsAccess::ReadWrite)
            return false;
        // The first write takes the write lock (waiting for other processes up to the busy time-out);
        // everything up to Flush or Close then lands as one transaction.
        if (!m_inTransaction) {
            if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
                return false;
            m_inTransaction = true;
        }
        Statement insert(m_db,
                         "INSERT OR REPLACE INTO settings_values(path, name, type, data) "
                         "SELECT ?1, ?2, ?3, ?4 WHERE EXISTS (SELECT 1 FROM settings_keys WHERE path = ?1)");
        if (!insert.Ok() || !insert.BindText(1, m_path) || !insert.BindText(2, name)
            || sqlite3_bind_int64(insert.get(), 3, std::int64_t(type)) != SQLITE_OK
            || sqlite3_bind_blob(insert.get(), 4, length ? data : "", int(length), SQLITE_TRANSIENT) != SQLITE_OK)
            return false;
        // No row changed: the key was deleted under us.
        return insert.Step() == SQLITE_DONE && sqlite3_changes(m_db) == 1;
    }

    sqlite3 *m_db;
    std::string m_path;
    SettingsAccess m_access;
    bool m_inTransaction = false;
};

} // namespace

SqliteSettingsStore::SqliteSettingsStore(std::string databasePath) : m_databasePath(std::move(databasePath)) {}

std::unique_ptr<SettingsKey> SqliteSettingsStore::OpenKey(const std::string &path, SettingsAccess access)
{
    sqlite3 *db = OpenConnection(m_databasePath, false, access == SettingsAccess::ReadWrite);
    if (!db)
        return nullptr;
    if (!KeyExists(db, path)) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    return std::make_unique<SqliteSettingsKey>(db, path, access);
}

std::unique_ptr<SettingsKey> SqliteSettingsStore::CreateKey(const std::string &path)
{
    // Created group-writable for every operator of the station, not with this process's umask.
    if (!PrepareSharedFile(m_databasePath, nullptr))
        return nullptr;
    sqlite3 *db = OpenConnection(m_databasePath, true, true);
    if (!db)
        return nullptr;
    // WAL: one sync per commit and readers never wait for a writer. Kept in the file once set.
    bool ok = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) == SQLITE_OK
              && sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (ok) {
        ok = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK;
        if (ok) {
            Statement add(db, "INSERT OR IGNORE INTO settings_keys(path) VALUES(?1)");
            ok = add.Ok() && add.BindText(1, path) && add.Step() == SQLITE_DONE;
        }
        ok = sqlite3_exec(db, ok ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
    }
    if (!ok) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    return std::make_unique<SqliteSettingsKey>(db, path, SettingsAccess::ReadWrite);
}

std::shared_ptr<SettingsStore> MachineSettingsStore()
{
    const char *overridePath = std::getenv(kSettingsPathVariable);
    return std::make_shared<SqliteSettingsStore>(overridePath && *overridePath ? overridePath
                                                                               : kDefaultSettingsPath);
}

} // namespace platform
