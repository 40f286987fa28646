#include "OutboxSender.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>

namespace line {

SqliteOutbox::SqliteOutbox(std::string path, std::string table) : m_path(std::move(path)), m_table(std::move(table)) {}

SqliteOutbox::~SqliteOutbox() {
    if (m_db) sqlite3_close(m_db);
}

bool SqliteOutbox::Open(std::string &error) {
    if (m_db) return true;
    // Never creates the file: the station's ledger does that, with its schema. Nothing but a regular
    // file is opened: a FIFO would block the reader for ever.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(m_path, ec)) {
        error = "station ledger " + m_path + ": no such ledger file";
        return false;
    }
    if (sqlite3_open_v2(m_path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        error = "station ledger " + m_path + ": " + (m_db ? sqlite3_errmsg(m_db) : "cannot open");
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    sqlite3_busy_timeout(m_db, 5000);
    return true;
}

bool SqliteOutbox::Pending(std::size_t limit, std::vector<OutboxRow> &rows, std::string &error) {
    rows.clear();
    if (!Open(error)) return false;
    const std::string sql = "SELECT seq, body FROM " + m_table + " WHERE line_sent = 0 ORDER BY seq LIMIT ?";
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        error = std::string("station ledger: ") + sqlite3_errmsg(m_db);
        return false;
    }
    sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(limit));
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(st, 1));
        rows.push_back({sqlite3_column_int64(st, 0), text ? text : ""});
    }
    if (rc != SQLITE_DONE) error = std::string("station ledger: ") + sqlite3_errmsg(m_db);
    sqlite3_finalize(st);
    return rc == SQLITE_DONE;
}

bool SqliteOutbox::MarkSent(const std::vector<std::int64_t> &seqs, std::string &error) {
    if (!Open(error)) return false;
    const std::string sql = "UPDATE " + m_table + " SET line_sent = 1 WHERE seq = ?";
    sqlite3_stmt *st = nullptr;
    bool ok = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK;
    for (std::size_t i = 0; ok && i < seqs.size(); ++i) {
        sqlite3_bind_int64(st, 1, seqs[i]);
        ok = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    ok = ok && sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) {
        error = std::string("station ledger: ") + sqlite3_errmsg(m_db);
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return ok;
}

std::int64_t SqliteOutbox::Waiting() {
    std::string error;
    if (!Open(error)) return -1;
    const std::string sql = "SELECT count(*) FROM " + m_table + " WHERE line_sent = 0";
    sqlite3_stmt *st = nullptr;
    std::int64_t n = -1;
    if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    return n;
}

OutboxSender::OutboxSender(std::unique_ptr<Outbox> outbox, std::string conninfo, Options options)
    : m_outbox(std::move(outbox)), m_conninfo(std::move(conninfo)), m_options(options),
      m_thread([this] { Run(); }) {}

OutboxSender::~OutboxSender() { Stop(); }

void OutboxSender::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void OutboxSender::Wake() {
    {
        std::lock_guard lock(m_mutex);
        m_woken = true;
        m_empty = false;
    }
    m_wake.notify_all();
}

bool OutboxSender::Drain(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    // A round that started before this call may have missed the newest records: wait for a later one.
    m_woken = true;
    m_empty = false;
    m_wake.notify_all();
    const std::uint64_t start = m_rounds;
    return m_progress.wait_for(lock, timeout, [&] { return m_stop || (m_empty && m_rounds > start); }) && m_empty;
}

SenderStatus OutboxSender::Status() const {
    std::lock_guard lock(m_mutex);
    return m_status;
}

bool OutboxSender::SendRound(LineLedger &server, bool &failed) {
    failed = false;
    std::vector<OutboxRow> rows;
    std::string error;
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_stop) return false;
        }
        if (!m_outbox->Pending(m_options.batch, rows, error)) break;
        if (rows.empty()) return true;
        if (!server.Send(rows)) {
            error = server.Error();
            break;
        }
        std::vector<std::int64_t> seqs;
        for (const auto &r : rows) seqs.push_back(r.seq);
        // Marked only after the server's commit: a crash in between sends them again, and the server
        // recognises them by station and sequence.
        if (!m_outbox->MarkSent(seqs, error)) break;
        std::lock_guard lock(m_mutex);
        m_status.reachable = true;
        m_status.sent += static_cast<std::int64_t>(rows.size());
        m_status.lastError.clear();
    }
    failed = true;
    std::lock_guard lock(m_mutex);
    m_status.lastError = error;
    m_status.reachable = server.Status().reachable;
    return false;
}

void OutboxSender::Run() {
    LineLedger server(m_conninfo, m_options.connectTimeout);
    auto pause = m_options.retryMin;
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_stop) return;
            m_woken = false;
        }
        bool failed = false;
        const bool empty = SendRound(server, failed);
        {
            std::unique_lock lock(m_mutex);
            m_empty = empty && !m_woken;
            ++m_rounds;
            m_progress.notify_all();
            if (m_stop) return;
            // After a failure wait longer each time (a wake does not shorten it: the server is away);
            // with nothing to do, sleep until woken, and look now and then for records other programs
            // on this station appended.
            const auto wait = failed ? pause : std::chrono::milliseconds(1000);
            m_wake.wait_for(lock, wait, [&] { return m_stop || (m_woken && !failed); });
        }
        pause = failed ? std::min(pause * 2, m_options.retryMax) : m_options.retryMin;
    }
}

}  // namespace line
