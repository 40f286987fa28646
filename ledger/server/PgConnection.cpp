#include "PgConnection.h"

#include "Os.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <vector>

namespace line {

std::string OneLine(std::string text) {
    // libpq's messages come with tabs, line ends and "WARNING:" lines of their own: one line of text.
    for (char &ch : text)
        if (ch == '\n' || ch == '\r' || ch == '\t' || static_cast<unsigned char>(ch) < 0x20) ch = ' ';
    std::string out;
    for (char ch : text)
        if (ch != ' ' || (!out.empty() && out.back() != ' ')) out += ch;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

static std::vector<std::string> SecretsOf(const std::string &conninfo, bool &readable) {
    std::vector<std::string> secrets;
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(conninfo.c_str(), &error);
    readable = options != nullptr;
    if (error) PQfreemem(error);  // its text may quote the password: never shown
    if (!options) return secrets;
    for (PQconninfoOption *o = options; o->keyword; ++o)
        if (o->val && *o->val && std::string(o->keyword) == "password") secrets.emplace_back(o->val);
    PQconninfoFree(options);
    return secrets;
}

static std::string WithoutSecrets(std::string text, const std::vector<std::string> &secrets) {
    for (const std::string &secret : secrets) {
        // The whole password, and each of its words (a message may quote one part of it).
        std::vector<std::string> parts{secret};
        std::size_t start = 0;
        for (std::size_t i = 0; i <= secret.size(); ++i)
            if (i == secret.size() || secret[i] == ' ') {
                if (i - start >= 3) parts.push_back(secret.substr(start, i - start));
                start = i + 1;
            }
        for (const std::string &part : parts)
            for (std::size_t at; !part.empty() && (at = text.find(part)) != std::string::npos;)
                text.replace(at, part.size(), "***");
    }
    return text;
}

PgConnection::PgConnection() = default;
PgConnection::~PgConnection() { Close(); }

void PgConnection::Close() {
    if (m_conn) PQfinish(m_conn);
    m_conn = nullptr;
}

bool PgConnection::Connected() const { return m_conn && PQstatus(m_conn) == CONNECTION_OK; }

bool PgConnection::Fail(std::string message) {
    m_error = OneLine(WithoutSecrets(std::move(message), m_secrets));
    return false;
}

bool PgConnection::WaitSocket(bool forWrite, Clock::time_point deadline) {
    const int fd = PQsocket(m_conn);
    if (fd < 0) return Fail("the connection has no socket");
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return Fail("the line server did not answer in time");
        const int n = platform::WaitForSocket(fd, forWrite, std::min(left, std::chrono::milliseconds(1000)));
        if (n > 0) return true;
        if (n < 0) return Fail("waiting on the server connection failed");
    }
}

bool PgConnection::Connect(const std::string &conninfo, std::chrono::milliseconds timeout) {
    Close();
    m_sqlState.clear();
    const auto deadline = Clock::now() + timeout;
    // libpq quotes pieces of a string it cannot read, the password among them: such a string is
    // refused in our words, and libpq's later messages have the password taken out.
    bool readable = false;
    m_secrets = SecretsOf(conninfo, readable);
    if (!readable)
        return Fail("the line server's connection string cannot be read (QT7730_LEDGER: check its quoting, its "
                    "escapes and its key=value words)");
    // The caller's string is expanded as a whole; nothing of ours overrides what it says.
    const char *keys[] = {"dbname", nullptr};
    const char *values[] = {conninfo.c_str(), nullptr};
    m_conn = PQconnectStartParams(keys, values, 1);
    if (!m_conn) return Fail("out of memory for a server connection");
    if (PQstatus(m_conn) == CONNECTION_BAD) {
        Fail(PQerrorMessage(m_conn));
        Close();
        return false;
    }
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK) {
        if (state == PGRES_POLLING_FAILED) {
            Fail(PQerrorMessage(m_conn));
            Close();
            return false;
        }
        if (!WaitSocket(state == PGRES_POLLING_WRITING, deadline)) {
            Close();
            return false;
        }
        state = PQconnectPoll(m_conn);
    }
    if (PQsetnonblocking(m_conn, 1) != 0) {
        Fail(PQerrorMessage(m_conn));
        Close();
        return false;
    }
    return true;
}

std::optional<PgRows> PgConnection::Collect(Clock::time_point deadline) {
    // Flush what is queued, then read until libpq has every result of the statement.
    for (;;) {
        const int f = PQflush(m_conn);
        if (f == 0) break;
        if (f < 0 || !WaitSocket(true, deadline)) {
            Fail(f < 0 ? PQerrorMessage(m_conn) : m_error.c_str());
            Close();
            return std::nullopt;
        }
    }
    PgRows out;
    bool failed = false;
    for (;;) {
        while (PQisBusy(m_conn)) {
            if (!WaitSocket(false, deadline) || !PQconsumeInput(m_conn)) {
                if (m_conn && PQstatus(m_conn) == CONNECTION_BAD) Fail(PQerrorMessage(m_conn));
                // Dropped, not cancelled: a cancel request is a blocking connection of its own to a
                // server that is not answering. The server ends the statement when it sees the link
                // gone, or at its statement time-out.
                Close();
                return std::nullopt;
            }
        }
        PGresult *r = PQgetResult(m_conn);
        if (!r) break;
        const auto st = PQresultStatus(r);
        if (st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK) {
            if (!failed) {
                out.rows.clear();
                for (int i = 0; i < PQntuples(r); ++i) {
                    std::vector<std::optional<std::string>> row;
                    for (int j = 0; j < PQnfields(r); ++j)
                        row.push_back(PQgetisnull(r, i, j) ? std::nullopt
                                                           : std::optional<std::string>(PQgetvalue(r, i, j)));
                    out.rows.push_back(std::move(row));
                }
                const char *n = PQcmdTuples(r);
                out.affected = (n && *n) ? std::atol(n) : 0;
            }
        } else if (!failed) {
            failed = true;
            const char *s = PQresultErrorField(r, PG_DIAG_SQLSTATE);
            m_sqlState = s ? s : "";
            Fail(PQresultErrorMessage(r));
        }
        PQclear(r);
    }
    if (PQstatus(m_conn) == CONNECTION_BAD) {
        Fail(PQerrorMessage(m_conn));
        Close();
        return std::nullopt;
    }
    if (failed) return std::nullopt;
    return out;
}

std::optional<PgRows> PgConnection::Exec(const std::string &sql, const std::vector<Param> &params,
                                         std::chrono::milliseconds timeout) {
    m_sqlState.clear();
    if (!Connected()) {
        Fail("not connected to the line server");
        return std::nullopt;
    }
    std::vector<const char *> values;
    for (const auto &p : params) values.push_back(p ? p->c_str() : nullptr);
    if (!PQsendQueryParams(m_conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                           nullptr, nullptr, 0)) {
        Fail(PQerrorMessage(m_conn));
        Close();
        return std::nullopt;
    }
    return Collect(Clock::now() + timeout);
}

bool PgConnection::ExecScript(const std::string &sql, std::chrono::milliseconds timeout) {
    m_sqlState.clear();
    if (!Connected()) return Fail("not connected to the line server");
    if (!PQsendQuery(m_conn, sql.c_str())) {
        Fail(PQerrorMessage(m_conn));
        Close();
        return false;
    }
    return Collect(Clock::now() + timeout).has_value();
}

long long CellNumber(const std::optional<std::string> &cell, long long otherwise) {
    if (!cell) return otherwise;
    long long value = 0;
    const char *begin = cell->data(), *end = begin + cell->size();
    const auto [at, error] = std::from_chars(begin, end, value);
    return error == std::errc() && at == end ? value : otherwise;
}

}  // namespace line
