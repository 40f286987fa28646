// The dashboard's numbers from the line's PostgreSQL server. Each query reads a window of the records
// through an index (their time, a serial, a station): never every record of the line.

#include "DashboardSource.h"
#include "DashboardSql.h"
#include "LineLedger.h"

#include <QJsonArray>

namespace line::dashboard {
namespace {

using Rows = std::vector<std::vector<std::optional<std::string>>>;

std::string Cell(const std::optional<std::string> &c) { return c.value_or(""); }
long Num(const std::optional<std::string> &c) { return c && !c->empty() ? std::stol(*c) : 0L; }
QJsonValue Str(const std::optional<std::string> &c)
{
    return c ? QJsonValue(QString::fromStdString(*c)) : QJsonValue(QJsonValue::Null);
}
bool True(const std::optional<std::string> &c) { return c == std::optional<std::string>("t"); }

const std::string kReceived = "to_char(received_at AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
const std::string kArray = "CASE WHEN jsonb_typeof(r.body->'%s') = 'array' THEN r.body->'%s' ELSE '[]'::jsonb END";

std::string ArrayOf(const char *member)
{
    std::string s = kArray;
    for (std::size_t at; (at = s.find("%s")) != std::string::npos;)
        s.replace(at, 2, member);
    return s;
}

class LineDashboardSource : public DashboardSource {
public:
    explicit LineDashboardSource(const std::string &conninfo) : m_ledger(conninfo)
    {
        m_ledger.ReadOnly();
    }

    std::string Describe() const override { return "the line's ledger server"; }

    std::optional<Tables> Live(const Window &w, std::string *error) override
    {
        const std::vector<PgConnection::Param> p = {w.yesterday, w.end, w.hour, w.today, w.dayAgo};
        // Every test of the last two days, with whether it was its serial's first test on the line (none
        // earlier by start time) and, for a first test, whether the serial's last test passed.
        const std::string tests =
            std::string(linesql::kStationsCte) + ", " + kPeriods +
            ", t AS MATERIALIZED (SELECT r.recorded_at, " + linesql::kCountedStation +
            " AS station, r.host, r.serial, r.passed, r.body->>'image_sha256' AS product, "
            "(r.serial IS NULL OR NOT EXISTS (SELECT 1 FROM records e WHERE e.serial = r.serial AND e.kind = 'test' "
            "AND e.recorded_at <= r.recorded_at AND (e.recorded_at, e.station, e.host, e.seq) < (r.recorded_at, r.station, r.host, r.seq))) AS first "
            "FROM records r LEFT JOIN known k ON k.host = r.host "
            "WHERE r.kind = 'test' AND r.recorded_at >= $1 AND r.recorded_at < $2), "
            "f AS MATERIALIZED (SELECT t.*, CASE WHEN NOT t.first THEN NULL WHEN t.serial IS NULL THEN t.passed "
            "ELSE (SELECT l.passed FROM records l WHERE l.serial = t.serial AND l.kind = 'test' AND l.recorded_at < $2 "
            "ORDER BY l.recorded_at DESC, l.station DESC, l.host DESC, l.seq DESC LIMIT 1) END AS final FROM t) " +
            kAggregates;
        auto agg = Query(tests, p, error);
        auto prog = agg ? Query(std::string("WITH ") + kPeriods + " " + kProgrammed, {p.begin(), p.begin() + 4}, error) : std::nullopt;
        const std::vector<PgConnection::Param> day = {w.dayAgo, w.end};
        auto steps = prog ? Query("SELECT r.kind, COALESCE(" + std::string(linesql::kFailedStep) +
                                      ", '(no step)') AS step, count(*) FROM records r WHERE NOT r.passed "
                                      "AND r.recorded_at >= $1 AND r.recorded_at < $2 GROUP BY 1, 2 ORDER BY 3 DESC, 1, 2",
                                  day, error)
                          : std::nullopt;
        auto fields = steps ? Query("SELECT COALESCE(f->>'field', '?'), count(*) FROM records r CROSS JOIN LATERAL "
                                    "jsonb_array_elements(" + ArrayOf("differing") + ") AS f WHERE NOT r.passed "
                                    "AND r.recorded_at >= $1 AND r.recorded_at < $2 GROUP BY 1 ORDER BY 2 DESC, 1",
                                    day, error)
                            : std::nullopt;
        auto ports = fields ? Query(std::string(linesql::kStationsCte) + " SELECT " + linesql::kCountedStation +
                                        ", r.host, d, count(*), count(*) FILTER (WHERE r.passed) FROM records r "
                                        "LEFT JOIN known k ON k.host = r.host CROSS JOIN LATERAL "
                                        "jsonb_array_elements_text(" + ArrayOf("devices") + ") AS d "
                                        "WHERE r.kind = 'test' AND r.recorded_at >= $1 AND r.recorded_at < $2 "
                                        "GROUP BY 1, 2, 3 ORDER BY 1, 2, 3",
                                    day, error)
                            : std::nullopt;
        // Each station's last record: one index probe per (station, host), found by skipping through the key.
        auto stations = ports ? Query(std::string(linesql::kStationsCte) +
                                          ", last AS (SELECT p.station, p.host, l.* FROM pairs p CROSS JOIN LATERAL "
                                          "(SELECT recorded_at, received_at, kind, serial, passed FROM records x "
                                          "WHERE x.station = p.station AND x.host = p.host ORDER BY x.recorded_at DESC LIMIT 1) l) "
                                          "SELECT DISTINCT ON (1, 2) " + linesql::kCountedStation +
                                          ", r.host, r.recorded_at, r.kind, r.serial, r.passed, " + kReceived +
                                          " FROM last r LEFT JOIN known k ON k.host = r.host ORDER BY 1, 2, 3 DESC",
                                      {}, error)
                              : std::nullopt;
        if (!stations)
            return std::nullopt;

        Tables t = EmptyLive();
        std::vector<AggregateRow> rows;
        for (auto &r : *agg)
            rows.push_back({Cell(r[0]), Cell(r[1]), Cell(r[2]), Cell(r[3]), Num(r[4]), Num(r[5]), Num(r[6]), Num(r[7]),
                            Num(r[8])});
        std::map<std::string, std::pair<long, long>> programmed;
        for (auto &r : *prog)
            programmed[Cell(r[0])] = {Num(r[1]), Num(r[2])};
        FillAggregates(t, w, rows, programmed);
        for (auto &r : *steps)
            t["pareto_steps"].rows.append(QJsonArray{Str(r[0]), Str(r[1]), qint64(Num(r[2]))});
        for (auto &r : *fields)
            t["pareto_fields"].rows.append(QJsonArray{Str(r[0]), qint64(Num(r[1]))});
        for (auto &r : *ports)
            t["ports"].rows.append(QJsonArray{qint64(Num(r[0])), Str(r[1]), Str(r[2]), qint64(Num(r[3])),
                                              qint64(Num(r[4])), PortYield(Num(r[4]), Num(r[3]))});
        for (auto &r : *stations) {
            const double minutes = MinutesBetween(Cell(r[2]), w.end);
            t["stations"].rows.append(QJsonArray{qint64(Num(r[0])), Str(r[1]), Str(r[2]), Str(r[3]), Str(r[4]),
                                                 True(r[5]) ? "pass" : "fail", Str(r[6]), QJsonValue(QJsonValue::Null),
                                                 QString::fromStdString(StationState(minutes)),
                                                 std::floor(minutes < 0 ? 0 : minutes)});
        }
        return t;
    }

    std::optional<Tables> Integrity(std::string *error) override
    {
        auto dup = Query(linesql::kDuplicates, {std::string()}, error);
        auto voided = dup ? Query("SELECT serial, station, host, issued_on::text, "
                                  "COALESCE(void_reason, 'no verdict reached the line') FROM serials "
                                  "WHERE NOT confirmed ORDER BY issued_on DESC, serial LIMIT 10000",
                                  {}, error)
                          : std::nullopt;
        if (!voided)
            return std::nullopt;
        Tables t = EmptyIntegrity();
        for (auto &r : *dup)
            t["duplicates"].rows.append(QJsonArray{Str(r[0]), qint64(Num(r[1])), Str(r[2])});
        for (auto &r : *voided)
            t["void"].rows.append(QJsonArray{Str(r[0]), qint64(Num(r[1])), Str(r[2]), Str(r[3]), Str(r[4])});
        return t;
    }

    std::optional<Tables> Serial(const std::string &serial, std::string *error) override
    {
        auto history = Query("SELECT r.recorded_at, r.station, r.host, r.kind, r.body->>'tool', r.passed, " +
                                 std::string(linesql::kFailedStep) + ", (" + ArrayOf("differing") + ")::text, (" +
                                 ArrayOf("devices") + ")::text, " + kReceived +
                                 " FROM records r WHERE r.serial = $1 ORDER BY r.recorded_at, r.station, r.host, r.seq LIMIT 1000",
                             {serial}, error);
        auto state = history ? Query("SELECT serial, confirmed, void_reason, station, host, issued_on::text "
                                     "FROM serials WHERE serial = $1",
                                     {serial}, error)
                             : std::nullopt;
        if (!state)
            return std::nullopt;
        Tables t = EmptySerial();
        for (auto &r : *history)
            t["serial_history"].rows.append(QJsonArray{Str(r[0]), qint64(Num(r[1])), Str(r[2]), Str(r[3]), Str(r[4]),
                                                       True(r[5]) ? "pass" : "fail", Str(r[6]),
                                                       QString::fromStdString(DifferingText(Cell(r[7]))),
                                                       QString::fromStdString(DevicesText(Cell(r[8]))), Str(r[9])});
        for (auto &r : *state) {
            const std::string st = True(r[1]) ? "programmed" : r[2] ? "void" : "leased, never confirmed (void)";
            t["serial_state"].rows.append(QJsonArray{Str(r[0]), QString::fromStdString(st), qint64(Num(r[3])),
                                                     Str(r[4]), Str(r[5]), Str(r[2])});
        }
        return t;
    }

private:
    std::optional<Rows> Query(const std::string &sql, const std::vector<PgConnection::Param> &params,
                              std::string *error)
    {
        auto rows = m_ledger.Read(sql, params, std::chrono::seconds(20));
        if (!rows) {
            if (error)
                *error = m_ledger.Error();
            m_ledger.Close(); // the next question starts on a fresh connection
            return std::nullopt;
        }
        return std::move(rows->rows);
    }

    LineLedger m_ledger;
};

} // namespace

std::unique_ptr<DashboardSource> LineSource(const std::string &conninfo)
{
    return std::make_unique<LineDashboardSource>(conninfo);
}

} // namespace line::dashboard
