#pragma once
// A libpq connection whose every wait is bounded: connecting and each query run against a deadline,
// so a server that never answers costs the caller a known time, never a hang.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

namespace line {

// One query's answer: rows of nullable text fields.
struct PgRows {
    std::vector<std::vector<std::optional<std::string>>> rows;
    long affected = 0;
};

class PgConnection {
public:
    using Clock = std::chrono::steady_clock;
    using Param = std::optional<std::string>;

    PgConnection();
    ~PgConnection();
    PgConnection(const PgConnection &) = delete;
    PgConnection &operator=(const PgConnection &) = delete;

    // Connects with `conninfo` (key=value or a postgresql:// URI). False with Error() on failure.
    bool Connect(const std::string &conninfo, std::chrono::milliseconds timeout);
    bool Connected() const;
    void Close();

    // Runs one statement with text parameters; nullopt on failure (Error() says why). A statement that
    // does not finish within the timeout closes the connection, so the next use
    // reconnects instead of reading a stale answer.
    std::optional<PgRows> Exec(const std::string &sql, const std::vector<Param> &params = {},
                               std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Several statements without parameters (a migration script).
    bool ExecScript(const std::string &sql, std::chrono::milliseconds timeout = std::chrono::seconds(60));

    const std::string &Error() const { return m_error; }
    // The SQLSTATE of the last failed statement ("" when there was none or the link failed).
    const std::string &SqlState() const { return m_sqlState; }

private:
    bool WaitSocket(bool forWrite, Clock::time_point deadline);
    bool Fail(std::string message);
    std::optional<PgRows> Collect(Clock::time_point deadline);

    pg_conn *m_conn = nullptr;
    std::string m_error;
    std::vector<std::string> m_secrets; // the connection string's password: never in a message
    std::string m_sqlState;
};

// A field of an answer read as a whole number: `otherwise` when it is NULL or not wholly a number (a
// table of the same name in a database the kit did not make may hold anything).
long long CellNumber(const std::optional<std::string> &cell, long long otherwise = 0);

// Text of libpq's message, trimmed, on one line.
std::string OneLine(std::string text);

}  // namespace line
