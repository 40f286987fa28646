#include "DashboardSource.h"

#include "DashboardSql.h"
#include "PgConnection.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace line::dashboard {

namespace {

std::string Text(const QDateTime &t)
{
    return t.toString(Qt::ISODateWithMs).toStdString();
}

QJsonValue Yield(long part, long whole)
{
    if (whole <= 0)
        return QJsonValue(QJsonValue::Null);
    return std::round(1000.0 * double(part) / double(whole)) / 10.0;
}

} // namespace

Window Window::At(const QDateTime &at)
{
    const QDateTime utc = at.toUTC();
    const QDateTime hour(utc.date(), QTime(utc.time().hour(), 0), Qt::UTC);
    const QDateTime today(utc.date(), QTime(0, 0), Qt::UTC);
    return {Text(utc), Text(hour), Text(today), Text(today.addDays(-1)), Text(hour.addSecs(-23 * 3600))};
}

const char *const kAggregates =
    "SELECT 'now', b.name, NULL, NULL, count(f.passed), count(*) FILTER (WHERE f.passed), "
    "count(*) FILTER (WHERE f.first), count(*) FILTER (WHERE f.first AND f.passed), count(*) FILTER (WHERE f.final) "
    "FROM b LEFT JOIN f ON f.recorded_at >= b.lo AND f.recorded_at < b.hi GROUP BY b.name "
    "UNION ALL "
    "SELECT 'station', substr(recorded_at, 1, 13), CAST(station AS TEXT), host, count(*), count(*) FILTER (WHERE passed), "
    "count(*) FILTER (WHERE first), count(*) FILTER (WHERE first AND passed), count(*) FILTER (WHERE final) "
    "FROM f WHERE recorded_at >= $5 GROUP BY 2, 3, 4 "
    "UNION ALL "
    "SELECT 'product', substr(recorded_at, 1, 13), COALESCE(product, ''), NULL, count(*), count(*) FILTER (WHERE passed), "
    "count(*) FILTER (WHERE first), count(*) FILTER (WHERE first AND passed), count(*) FILTER (WHERE final) "
    "FROM f WHERE recorded_at >= $5 GROUP BY 2, 3";

const char *const kPeriods = "b(name, lo, hi) AS (VALUES ('hour', CAST($3 AS TEXT), CAST($2 AS TEXT)), ('today', CAST($4 AS TEXT), CAST($2 AS TEXT)), ('yesterday', CAST($1 AS TEXT), CAST($4 AS TEXT)))";

// Three range scans of the records' time index, one per period.
const char *const kProgrammed =
    "SELECT 'hour', count(*) FILTER (WHERE r.passed), count(*) FILTER (WHERE NOT r.passed) FROM records r "
    "WHERE r.kind = 'program' AND r.recorded_at >= $3 AND r.recorded_at < $2 UNION ALL "
    "SELECT 'today', count(*) FILTER (WHERE r.passed), count(*) FILTER (WHERE NOT r.passed) FROM records r "
    "WHERE r.kind = 'program' AND r.recorded_at >= $4 AND r.recorded_at < $2 UNION ALL "
    "SELECT 'yesterday', count(*) FILTER (WHERE r.passed), count(*) FILTER (WHERE NOT r.passed) FROM records r "
    "WHERE r.kind = 'program' AND r.recorded_at >= $1 AND r.recorded_at < $4";

Tables EmptyLive()
{
    Tables t;
    t["now"].columns = {"period", "from", "to", "programmed", "program_failed", "tested", "passed", "failed",
                        "first_tests", "first_passed", "first_pass_yield", "final_passed", "final_yield"};
    t["hourly_station"].columns = {"hour", "station", "host", "tested", "passed", "first_tests", "first_passed"};
    t["hourly_product"].columns = {"hour", "product", "tested", "passed", "first_tests", "first_passed"};
    t["pareto_steps"].columns = {"kind", "step", "failures"};
    t["pareto_fields"].columns = {"field", "failures"};
    t["ports"].columns = {"station", "host", "port", "tested", "passed", "yield"};
    t["stations"].columns = {"station", "host", "last_record", "last_kind", "last_serial", "last_verdict",
                             "received", "backlog", "state", "minutes_since"};
    return t;
}

Tables EmptyIntegrity()
{
    Tables t;
    t["duplicates"].columns = {"serial", "station", "host"};
    t["void"].columns = {"serial", "station", "host", "issued_on", "reason"};
    return t;
}

Tables EmptySerial()
{
    Tables t;
    t["serial_history"].columns = {"time", "station", "host", "kind", "tool", "verdict", "failed_step", "differing",
                                   "devices", "received"};
    t["serial_state"].columns = {"serial", "state", "station", "host", "issued_on", "reason"};
    return t;
}

void FillAggregates(Tables &t, const Window &w, const std::vector<AggregateRow> &rows,
                    const std::map<std::string, std::pair<long, long>> &programmed)
{
    std::map<std::string, const AggregateRow *> now;
    for (const AggregateRow &r : rows) {
        if (r.tag == "now") {
            now[r.key] = &r;
        } else if (r.tag == "station") {
            t["hourly_station"].rows.append(QJsonArray{QString::fromStdString(r.key), int(CellNumber(r.key2, -1)),
                                                       QString::fromStdString(r.key3), qint64(r.tested), qint64(r.passed),
                                                       qint64(r.first), qint64(r.firstPassed)});
        } else if (r.tag == "product") {
            t["hourly_product"].rows.append(QJsonArray{QString::fromStdString(r.key), QString::fromStdString(r.key2),
                                                       qint64(r.tested), qint64(r.passed), qint64(r.first),
                                                       qint64(r.firstPassed)});
        }
    }
    const struct {
        const char *name;
        const std::string &from, &to;
    } periods[] = {{"hour", w.hour, w.end}, {"today", w.today, w.end}, {"yesterday", w.yesterday, w.today}};
    for (const auto &p : periods) {
        const AggregateRow none{};
        const AggregateRow &r = now.count(p.name) ? *now[p.name] : none;
        const auto prog = programmed.count(p.name) ? programmed.at(p.name) : std::pair<long, long>{0, 0};
        AddNowRow(t["now"], p.name, p.from, p.to, prog.first, prog.second, r.tested, r.passed, r.first, r.firstPassed,
                  r.finalPassed);
    }
}

void AddNowRow(Table &now, const std::string &period, const std::string &from, const std::string &to, long programmed,
               long programFailed, long tested, long passed, long firstTests, long firstPassed, long finalPassed)
{
    now.rows.append(QJsonArray{QString::fromStdString(period), QString::fromStdString(from),
                               QString::fromStdString(to), qint64(programmed), qint64(programFailed), qint64(tested),
                               qint64(passed), qint64(tested - passed), qint64(firstTests), qint64(firstPassed),
                               Yield(firstPassed, firstTests), qint64(finalPassed), Yield(finalPassed, firstTests)});
}

QJsonValue PortYield(long passed, long tested)
{
    return Yield(passed, tested);
}

std::string StationState(double minutes)
{
    if (minutes <= 10)
        return "working";
    if (minutes <= 60)
        return "idle";
    return "silent";
}

double MinutesBetween(const std::string &from, const std::string &to)
{
    const QDateTime a = QDateTime::fromString(QString::fromStdString(from), Qt::ISODateWithMs);
    const QDateTime b = QDateTime::fromString(QString::fromStdString(to), Qt::ISODateWithMs);
    if (!a.isValid() || !b.isValid())
        return 1e9;
    return double(a.msecsTo(b)) / 60000.0;
}

std::string DifferingText(const std::string &json)
{
    std::string out;
    for (const QJsonValue &f : QJsonDocument::fromJson(QByteArray::fromStdString(json)).array()) {
        const QJsonObject o = f.toObject();
        out += out.empty() ? "" : "; ";
        out += o["field"].toString().toStdString() + ": " + o["expected"].toString().toStdString() + " -> " +
               o["found"].toString().toStdString();
    }
    return out;
}

std::string DevicesText(const std::string &json)
{
    std::string out;
    for (const QJsonValue &d : QJsonDocument::fromJson(QByteArray::fromStdString(json)).array()) {
        out += out.empty() ? "" : " ";
        out += d.toString().toStdString();
    }
    return out;
}

std::string Cell(const std::optional<std::string> &c) { return c.value_or(""); }

long Num(const std::optional<std::string> &c) { return static_cast<long>(CellNumber(c, 0)); }

QJsonValue Str(const std::optional<std::string> &c)
{
    return c ? QJsonValue(QString::fromStdString(*c)) : QJsonValue(QJsonValue::Null);
}

bool True(const std::optional<std::string> &c) { return c == std::optional<std::string>("t"); }

void AddDuplicates(Table &duplicates, const std::vector<std::vector<std::optional<std::string>>> &rows)
{
    for (const auto &r : rows)
        duplicates.rows.append(QJsonArray{Str(r[0]), qint64(Num(r[1])), Str(r[2])});
}

} // namespace line::dashboard
