// The dashboard's numbers from a station's own ledger (SQLite), opened read-only: the same tables as
// from the line, counted by the same aggregate query over the station's records.

#include "DashboardSource.h"
#include "DashboardSql.h"

#include <sqlite3.h>

#include <QJsonArray>

#include <mutex>

namespace line::dashboard {
namespace {

using Cells = std::vector<std::optional<std::string>>;

// $N, as the shared queries write their parameters, is ?N for SQLite ('$.field', a JSON path, stays).
std::string ForSqlite(std::string sql)
{
    for (std::size_t i = 0; i + 1 < sql.size(); ++i)
        if (sql[i] == '$' && sql[i + 1] >= '0' && sql[i + 1] <= '9')
            sql[i] = '?';
    return sql;
}

// The station's records in the line's column names; a host's station -1 records counted with the one
// station number it used since, as on the line.
const char *const kKnown =
    "known AS (SELECT host, min(station) AS number FROM records WHERE station >= 0 GROUP BY host "
    "HAVING count(DISTINCT station) = 1)";
const char *const kCounted = "(CASE WHEN r.station < 0 THEN COALESCE(k.number, r.station) ELSE r.station END)";


// The window's tests counted as the line counts them ($1..$5: yesterday, the end, the hour, today, a day
// ago), each test's first and final verdict taken from the station's records.
std::string TestsQuery()
{
    return std::string("WITH ") + kKnown + ", " + kPeriods +
        ", t AS (SELECT r.time_utc AS recorded_at, " + kCounted + " AS station, r.host, NULLIF(r.serial, '') AS serial, "
        "r.verdict = 'pass' AS passed, r.image_sha256 AS product, "
        "(r.serial = '' OR NOT EXISTS (SELECT 1 FROM records e WHERE e.serial = r.serial AND e.kind = 'test' "
        "AND (e.time_utc, e.seq) < (r.time_utc, r.seq))) AS first "
        "FROM records r LEFT JOIN known k ON k.host = r.host WHERE r.kind = 'test' AND r.time_utc >= $1 AND r.time_utc < $2), "
        "f AS (SELECT t.*, CASE WHEN NOT t.first THEN NULL WHEN t.serial IS NULL THEN t.passed "
        "ELSE (SELECT l.verdict = 'pass' FROM records l WHERE l.serial = t.serial AND l.kind = 'test' AND l.time_utc < $2 "
        "ORDER BY l.time_utc DESC, l.seq DESC LIMIT 1) END AS final FROM t) " +
        kAggregates;
}

// The line's count of cables programmed, over the station's records.
std::string ProgrammedQuery()
{
    const std::string records = "(SELECT kind, verdict = 'pass' AS passed, time_utc AS recorded_at FROM records)";
    std::string programmed = kProgrammed;
    for (std::size_t at; (at = programmed.find("FROM records r")) != std::string::npos;)
        programmed.replace(at, 14, "FROM " + records + " r");
    return programmed;
}

class StationDashboardSource : public DashboardSource {
public:
    StationDashboardSource(std::string path, bool outbox) : m_path(std::move(path)), m_outbox(outbox) {}
    ~StationDashboardSource() override
    {
        if (m_db)
            sqlite3_close_v2(m_db);
    }

    std::string Describe() const override { return "the station's ledger " + m_path; }

    std::optional<Tables> Live(const Window &w, std::string *error) override
    {
        const std::vector<std::string> p = {w.yesterday, w.end, w.hour, w.today, w.dayAgo};
        const std::string tests = TestsQuery();
        const std::string programmed = ProgrammedQuery();
        const std::vector<std::string> day = {w.dayAgo, w.end};
        const std::string valid = "CASE WHEN json_valid(r.body) AND json_type(r.body, '$.%s') = 'array' THEN r.body ELSE '{}' END";
        auto arrayOf = [&](const std::string &member) {
            std::string s = valid;
            s.replace(s.find("%s"), 2, member);
            return "json_each(" + s + ", '$." + member + "')";
        };

        std::lock_guard lock(m_mutex);
        auto agg = Query(tests, p, error);
        auto prog = agg ? Query(programmed, {p.begin(), p.begin() + 4}, error) : std::nullopt;
        auto steps = prog ? Query("SELECT kind, CASE WHEN failed_step = '' THEN '(no step)' ELSE failed_step END, count(*) "
                                  "FROM records WHERE verdict <> 'pass' AND time_utc >= ?1 AND time_utc < ?2 "
                                  "GROUP BY 1, 2 ORDER BY 3 DESC, 1, 2", day, error)
                          : std::nullopt;
        auto fields = steps ? Query("SELECT COALESCE(json_extract(f.value, '$.field'), '?'), count(*) FROM records r, " +
                                        arrayOf("differing") + " AS f WHERE r.verdict <> 'pass' AND r.time_utc >= ?1 "
                                        "AND r.time_utc < ?2 GROUP BY 1 ORDER BY 2 DESC, 1", day, error)
                            : std::nullopt;
        // Each test once per hub port of its cable's sides, "unknown" where the record does not say.
        auto ports = fields ? Query(std::string("WITH ") + kKnown + " SELECT " + kCounted + ", r.host, "
                                        "COALESCE(NULLIF(d.value, ''), 'unknown'), count(DISTINCT r.seq), "
                                        "count(DISTINCT CASE WHEN r.verdict = 'pass' THEN r.seq END) FROM records r "
                                        "LEFT JOIN known k ON k.host = r.host, json_each(CASE WHEN json_valid(r.body) AND "
                                        "json_type(r.body, '$.ports') = 'array' AND json_array_length(r.body, '$.ports') > 0 "
                                        "THEN r.body ELSE '{\"ports\":[\"\"]}' END, '$.ports') AS d WHERE r.kind = 'test' "
                                        "AND r.time_utc >= ?1 AND r.time_utc < ?2 GROUP BY 1, 2, 3 ORDER BY 1, 2, 3", day, error)
                            : std::nullopt;
        auto stations = ports ? Query(std::string("WITH ") + kKnown + ", c AS (SELECT " + kCounted +
                                          " AS station, r.host, r.time_utc, r.kind, r.serial, r.verdict, row_number() "
                                          "OVER (PARTITION BY " + kCounted + ", r.host ORDER BY r.time_utc DESC, r.seq DESC) AS n "
                                          "FROM records r LEFT JOIN known k ON k.host = r.host) "
                                          "SELECT station, host, time_utc, kind, serial, verdict FROM c WHERE n = 1 ORDER BY 1, 2", {}, error)
                              : std::nullopt;
        auto backlog = stations && m_outbox ? Query("SELECT count(*) FROM records WHERE line_sent = 0", {}, error)
                                            : std::optional<std::vector<Cells>>(std::vector<Cells>{});
        if (!stations || !backlog)
            return std::nullopt;

        Tables t = EmptyLive();
        std::vector<AggregateRow> rows;
        for (auto &r : *agg)
            rows.push_back({Cell(r[0]), Cell(r[1]), Cell(r[2]), Cell(r[3]), Num(r[4]), Num(r[5]), Num(r[6]), Num(r[7]),
                            Num(r[8])});
        std::map<std::string, std::pair<long, long>> counted;
        for (auto &r : *prog)
            counted[Cell(r[0])] = {Num(r[1]), Num(r[2])};
        FillAggregates(t, w, rows, counted);
        for (auto &r : *steps)
            t["pareto_steps"].rows.append(QJsonArray{Str(r[0]), Str(r[1]), qint64(Num(r[2]))});
        for (auto &r : *fields)
            t["pareto_fields"].rows.append(QJsonArray{Str(r[0]), qint64(Num(r[1]))});
        for (auto &r : *ports)
            t["ports"].rows.append(QJsonArray{qint64(Num(r[0])), Str(r[1]), Str(r[2]), qint64(Num(r[3])),
                                              qint64(Num(r[4])), PortYield(Num(r[4]), Num(r[3]))});
        const QJsonValue waiting = backlog->empty() ? QJsonValue(QJsonValue::Null) : QJsonValue(qint64(Num((*backlog)[0][0])));
        for (auto &r : *stations) {
            const double minutes = MinutesBetween(Cell(r[2]), w.end);
            t["stations"].rows.append(QJsonArray{qint64(Num(r[0])), Str(r[1]), Str(r[2]), Str(r[3]), Str(r[4]),
                                                 Str(r[5]), QJsonValue(QJsonValue::Null), waiting,
                                                 QString::fromStdString(StationState(minutes)),
                                                 std::floor(minutes < 0 ? 0 : minutes)});
        }
        return t;
    }

    std::optional<Tables> Integrity(std::string *error) override
    {
        std::lock_guard lock(m_mutex);
        auto dup = Query("SELECT DISTINCT serial, station, host FROM records WHERE kind = 'program' AND verdict = 'pass' "
                         "AND serial IN (SELECT serial FROM records WHERE kind = 'program' AND verdict = 'pass' AND serial <> '' "
                         "GROUP BY serial HAVING min(station) <> max(station) OR min(host) <> max(host)) ORDER BY 1, 2, 3",
                         {}, error);
        auto voided = dup ? Query("SELECT serial, substr(reserved_utc, 1, 10), reason FROM serials WHERE state = 'void' "
                                  "ORDER BY reserved_utc DESC, serial LIMIT 10000", {}, error)
                          : std::nullopt;
        if (!voided)
            return std::nullopt;
        Tables t = EmptyIntegrity();
        AddDuplicates(t["duplicates"], *dup);
        for (auto &r : *voided)
            t["void"].rows.append(QJsonArray{Str(r[0]), QJsonValue(QJsonValue::Null), QJsonValue(QJsonValue::Null),
                                             Str(r[1]), Str(r[2])});
        return t;
    }

    std::optional<Tables> Serial(const std::string &serial, std::string *error) override
    {
        std::lock_guard lock(m_mutex);
        auto history = Query("SELECT time_utc, station, host, kind, tool, verdict, failed_step, "
                             "CASE WHEN json_valid(body) THEN json_extract(body, '$.differing') END, "
                             "CASE WHEN json_valid(body) THEN json_extract(body, '$.devices') END "
                             "FROM records WHERE serial = ?1 ORDER BY time_utc, seq LIMIT 1000", {serial}, error);
        auto state = history ? Query("SELECT serial, state, substr(reserved_utc, 1, 10), reason FROM serials WHERE serial = ?1",
                                     {serial}, error)
                             : std::nullopt;
        if (!state)
            return std::nullopt;
        Tables t = EmptySerial();
        for (auto &r : *history)
            t["serial_history"].rows.append(QJsonArray{Str(r[0]), qint64(Num(r[1])), Str(r[2]), Str(r[3]), Str(r[4]),
                                                       Str(r[5]), Str(r[6]),
                                                       QString::fromStdString(DifferingText(Cell(r[7]))),
                                                       QString::fromStdString(DevicesText(Cell(r[8]))),
                                                       QJsonValue(QJsonValue::Null)});
        for (auto &r : *state)
            t["serial_state"].rows.append(QJsonArray{Str(r[0]), Str(r[1]), QJsonValue(QJsonValue::Null),
                                                     QJsonValue(QJsonValue::Null), Str(r[2]), Str(r[3])});
        return t;
    }

private:
    // Opened read-only on first use, and again after a failure (a ledger made after the dashboard started).
    bool Ready(std::string *error)
    {
        if (m_db)
            return true;
        if (sqlite3_open_v2(m_path.c_str(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
            if (error)
                *error = "cannot read the station's ledger " + m_path + ": " + sqlite3_errmsg(m_db);
            sqlite3_close_v2(m_db);
            m_db = nullptr;
            return false;
        }
        sqlite3_busy_timeout(m_db, 5000);
        return true;
    }

    std::optional<std::vector<Cells>> Query(const std::string &sql, const std::vector<std::string> &params,
                                            std::string *error)
    {
        if (!Ready(error))
            return std::nullopt;
        sqlite3_stmt *stmt = nullptr;
        std::vector<Cells> rows;
        int rc = sqlite3_prepare_v2(m_db, ForSqlite(sql).c_str(), -1, &stmt, nullptr);
        for (std::size_t i = 0; rc == SQLITE_OK && i < params.size(); ++i)
            rc = sqlite3_bind_text(stmt, int(i + 1), params[i].data(), int(params[i].size()), SQLITE_TRANSIENT);
        while (rc == SQLITE_OK || rc == SQLITE_ROW) {
            rc = sqlite3_step(stmt);
            if (rc != SQLITE_ROW)
                break;
            Cells row;
            for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
                const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
                row.push_back(text ? std::optional<std::string>(std::string(text, std::size_t(sqlite3_column_bytes(stmt, c))))
                                   : std::nullopt);
            }
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE) {
            if (error)
                *error = "cannot read the station's ledger " + m_path + ": " + sqlite3_errmsg(m_db);
            sqlite3_close_v2(m_db);
            m_db = nullptr;
            return std::nullopt;
        }
        return rows;
    }

    std::string m_path;
    bool m_outbox;
    std::mutex m_mutex;
    sqlite3 *m_db = nullptr;
};

} // namespace

std::unique_ptr<DashboardSource> StationSource(const std::string &path, bool outbox)
{
    return std::make_unique<StationDashboardSource>(path, outbox);
}

} // namespace line::dashboard
