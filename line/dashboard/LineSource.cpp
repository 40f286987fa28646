// The dashboard's numbers from the line's PostgreSQL server. Each query reads a window of the records
// through an index (their time, a serial, a station): never every record of the line.

#include "DashboardSource.h"
#include "DashboardSql.h"
#include "LineLedger.h"

#include <QJsonArray>

#include <algorithm>
#include <chrono>
#include <tuple>

namespace line::dashboard {
namespace {

using Rows = std::vector<std::vector<std::optional<std::string>>>;


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
    explicit LineDashboardSource(const std::string &conninfo)
        : m_live(conninfo), m_integrity(conninfo), m_serial(conninfo)
    {
        for (LineLedger *db : {&m_live, &m_integrity, &m_serial})
            db->ReadOnly();
    }

    std::string Describe() const override { return "the line's ledger server"; }

    std::optional<Tables> Live(const Window &w, std::string *error) override
    {
        // The hours gone by are counted again once a minute (only records that reach the server late,
        // and retests of their cables, change them); this hour at every question. So a live update
        // costs this hour's records, not the day's.
        const auto now = std::chrono::steady_clock::now();
        if (!m_closed || m_closed->hour != w.hour || m_closed->end > w.end || now - m_closed->made > kRecountClosed) {
            Window closed = w;
            closed.end = w.hour;
            auto part = Part(closed, {w.yesterday, w.hour, w.hour, w.today, w.dayAgo, w.end}, error);
            if (!part)
                return std::nullopt;
            m_closed = Closed{w.hour, w.end, now, std::move(*part)};
        }
        auto current = Part(w, {w.hour, w.end, w.hour, w.hour, w.hour, w.end}, error);
        // Each station's last record: one index probe per (station, host), found by skipping through the key.
        auto stations = current ? Query(m_live, std::string(linesql::kStationsCte) +
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

        // The two parts added up: the "now" periods and every count by its key.
        const Counted &a = m_closed->counted, &b = *current;
        std::vector<AggregateRow> rows = a.aggregates;
        for (const AggregateRow &r : b.aggregates) {
            auto same = std::find_if(rows.begin(), rows.end(), [&](const AggregateRow &x) {
                return x.tag == r.tag && x.key == r.key && x.key2 == r.key2 && x.key3 == r.key3;
            });
            if (same == rows.end()) {
                rows.push_back(r);
                continue;
            }
            same->tested += r.tested, same->passed += r.passed, same->first += r.first;
            same->firstPassed += r.firstPassed, same->finalPassed += r.finalPassed;
        }
        auto programmed = a.programmed;
        for (const auto &[period, n] : b.programmed)
            programmed[period].first += n.first, programmed[period].second += n.second;
        auto add = [](auto x, const auto &y) {
            for (const auto &[key, n] : y)
                x[key] += n;
            return x;
        };
        auto steps = add(a.steps, b.steps);
        auto fields = add(a.fields, b.fields);
        auto ports = a.ports;
        for (const auto &[key, n] : b.ports)
            ports[key].first += n.first, ports[key].second += n.second;

        Tables t = EmptyLive();
        FillAggregates(t, w, rows, programmed);
        // Largest first, as a Pareto chart is read.
        std::vector<std::pair<std::pair<std::string, std::string>, long>> bySteps(steps.begin(), steps.end());
        std::stable_sort(bySteps.begin(), bySteps.end(), [](auto &x, auto &y) { return x.second > y.second; });
        for (const auto &[key, n] : bySteps)
            t["pareto_steps"].rows.append(QJsonArray{QString::fromStdString(key.first), QString::fromStdString(key.second), qint64(n)});
        std::vector<std::pair<std::string, long>> byFields(fields.begin(), fields.end());
        std::stable_sort(byFields.begin(), byFields.end(), [](auto &x, auto &y) { return x.second > y.second; });
        for (const auto &[field, n] : byFields)
            t["pareto_fields"].rows.append(QJsonArray{QString::fromStdString(field), qint64(n)});
        for (const auto &[key, n] : ports)
            t["ports"].rows.append(QJsonArray{qint64(std::get<0>(key)), QString::fromStdString(std::get<1>(key)),
                                              QString::fromStdString(std::get<2>(key)), qint64(n.first),
                                              qint64(n.second), PortYield(n.second, n.first)});
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
        // A server whose `ledger init` came before the noted duplicates is still answered, the slow way.
        if (!m_notedDuplicates) {
            auto noted = Query(m_integrity, "SELECT to_regclass('line_duplicate_serials') IS NOT NULL", {}, error);
            if (!noted || noted->empty())
                return std::nullopt;
            m_notedDuplicates = True(noted->front().front());
        }
        auto dup = *m_notedDuplicates ? Query(m_integrity, linesql::kNotedDuplicates, {}, error)
                                      : Query(m_integrity, linesql::kDuplicates, {std::string()}, error);
        auto voided = dup ? Query(m_integrity, "SELECT serial, station, host, issued_on::text, "
                                  "COALESCE(void_reason, 'no verdict reached the line') FROM serials "
                                  "WHERE NOT confirmed ORDER BY issued_on DESC, serial LIMIT 10000",
                                  {}, error)
                          : std::nullopt;
        if (!voided)
            return std::nullopt;
        Tables t = EmptyIntegrity();
        AddDuplicates(t["duplicates"], *dup);
        for (auto &r : *voided)
            t["void"].rows.append(QJsonArray{Str(r[0]), qint64(Num(r[1])), Str(r[2]), Str(r[3]), Str(r[4])});
        return t;
    }

    std::optional<Tables> Serial(const std::string &serial, std::string *error) override
    {
        auto history = Query(m_serial, "SELECT r.recorded_at, r.station, r.host, r.kind, r.body->>'tool', r.passed, " +
                                 std::string(linesql::kFailedStep) + ", (" + ArrayOf("differing") + ")::text, (" +
                                 ArrayOf("devices") + ")::text, " + kReceived +
                                 " FROM records r WHERE r.serial = $1 ORDER BY r.recorded_at, r.station, r.host, r.seq LIMIT 1000",
                             {serial}, error);
        auto state = history ? Query(m_serial, "SELECT serial, confirmed, void_reason, station, host, issued_on::text "
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
    // What one part of the window counts: its records from `lo` to `hi` (the window's first two
    // parameters), with first tests and final verdicts judged as of `asOf`.
    struct Counted {
        std::vector<AggregateRow> aggregates;
        std::map<std::string, std::pair<long, long>> programmed;
        std::map<std::pair<std::string, std::string>, long> steps;
        std::map<std::string, long> fields;
        std::map<std::tuple<long, std::string, std::string>, std::pair<long, long>> ports;
    };
    struct Closed {
        std::string hour, end;
        std::chrono::steady_clock::time_point made;
        Counted counted;
    };
    static constexpr auto kRecountClosed = std::chrono::seconds(60);

    // p: $1 lo, $2 hi, $3 this hour's start, $4 today's start, $5 the hourly rows' start, $6 as of.
    std::optional<Counted> Part(const Window &, const std::vector<PgConnection::Param> &p, std::string *error)
    {
        // Every test of the part, with whether it was its serial's first test on the line (none earlier
        // by start time) and, for a first test, whether the serial's last test passed. Both are answered
        // from the index (serial, kind, time) with its verdict, without reading a record.
        const std::string tests =
            std::string(linesql::kStationsCte) + ", " + kPeriods +
            ", t AS MATERIALIZED (SELECT r.recorded_at, " + linesql::kCountedStation +
            " AS station, r.host, r.serial, r.passed, r.body->>'image_sha256' AS product, "
            "(r.serial IS NULL OR NOT EXISTS (SELECT 1 FROM records e WHERE e.serial = r.serial AND e.kind = 'test' "
            "AND e.recorded_at < r.recorded_at)) AS first "
            "FROM records r LEFT JOIN known k ON k.host = r.host "
            "WHERE r.kind = 'test' AND r.recorded_at >= $1 AND r.recorded_at < $2), "
            "f AS MATERIALIZED (SELECT t.*, CASE WHEN NOT t.first THEN NULL WHEN t.serial IS NULL THEN t.passed "
            "ELSE (SELECT l.passed FROM records l WHERE l.serial = t.serial AND l.kind = 'test' AND l.recorded_at < $6 "
            "ORDER BY l.recorded_at DESC LIMIT 1) END AS final FROM t) " +
            kAggregates;
        auto agg = Query(m_live, tests, p, error);
        auto prog = agg ? Query(m_live, kProgrammed, {p.begin(), p.begin() + 4}, error)
                        : std::nullopt;
        const std::vector<PgConnection::Param> part = {p[4], p[1]};
        auto steps = prog ? Query(m_live, "SELECT r.kind, COALESCE(" + std::string(linesql::kFailedStep) +
                                      ", '(no step)') AS step, count(*) FROM records r WHERE NOT r.passed "
                                      "AND r.recorded_at >= $1 AND r.recorded_at < $2 GROUP BY 1, 2",
                                  part, error)
                          : std::nullopt;
        auto fields = steps ? Query(m_live, "SELECT COALESCE(f->>'field', '?'), count(*) FROM records r CROSS JOIN LATERAL "
                                    "jsonb_array_elements(" + ArrayOf("differing") + ") AS f WHERE NOT r.passed "
                                    "AND r.recorded_at >= $1 AND r.recorded_at < $2 GROUP BY 1",
                                    part, error)
                            : std::nullopt;
        // Each test once per hub port its cable's sides were plugged into; records from before the
        // kit knew the ports (or a side it did not find) count at "unknown".
        auto ports = fields ? Query(m_live, std::string(linesql::kStationsCte) + " SELECT " + linesql::kCountedStation +
                                        ", r.host, d.port, count(*), count(*) FILTER (WHERE r.passed) FROM records r "
                                        "LEFT JOIN known k ON k.host = r.host CROSS JOIN LATERAL "
                                        "(SELECT DISTINCT COALESCE(NULLIF(p, ''), 'unknown') AS port FROM "
                                        "jsonb_array_elements_text(CASE WHEN jsonb_typeof(r.body->'ports') = 'array' AND "
                                        "r.body->'ports' <> '[]'::jsonb THEN r.body->'ports' ELSE '[\"\"]'::jsonb END) AS p) AS d "
                                        "WHERE r.kind = 'test' AND r.recorded_at >= $1 AND r.recorded_at < $2 "
                                        "GROUP BY 1, 2, 3",
                                    part, error)
                            : std::nullopt;
        if (!ports)
            return std::nullopt;
        Counted c;
        for (auto &r : *agg)
            c.aggregates.push_back({Cell(r[0]), Cell(r[1]), Cell(r[2]), Cell(r[3]), Num(r[4]), Num(r[5]), Num(r[6]),
                                    Num(r[7]), Num(r[8])});
        for (auto &r : *prog)
            c.programmed[Cell(r[0])] = {Num(r[1]), Num(r[2])};
        for (auto &r : *steps)
            c.steps[{Cell(r[0]), Cell(r[1])}] += Num(r[2]);
        for (auto &r : *fields)
            c.fields[Cell(r[0])] += Num(r[1]);
        for (auto &r : *ports) {
            auto &n = c.ports[{Num(r[0]), Cell(r[1]), Cell(r[2])}];
            n.first += Num(r[3]);
            n.second += Num(r[4]);
        }
        return c;
    }

    std::optional<Rows> Query(LineLedger &db, const std::string &sql, const std::vector<PgConnection::Param> &params,
                              std::string *error)
    {
        auto rows = db.Read(sql, params, std::chrono::seconds(20));
        if (!rows) {
            if (error)
                *error = db.Error();
            db.Close(); // the next question starts on a fresh connection
            return std::nullopt;
        }
        return std::move(rows->rows);
    }

    // A connection for each kind of question, so that a page's first questions are answered side by
    // side and a serial search never waits behind the live tables. Each is used by one question at a time
    // (Dashboard holds a lock per kind).
    LineLedger m_live, m_integrity, m_serial;
    std::optional<Closed> m_closed;
    std::optional<bool> m_notedDuplicates; // the server has line_duplicate_serials
};

} // namespace

std::unique_ptr<DashboardSource> LineSource(const std::string &conninfo)
{
    return std::make_unique<LineDashboardSource>(conninfo);
}

} // namespace line::dashboard
