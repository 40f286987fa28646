#include "LineLedger.h"

#include "LedgerRecord.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <map>
#include <set>

namespace line {
namespace {

std::string Text(const QJsonValue &v) {
    if (v.isString()) return v.toString().toStdString();
    if (v.isDouble()) return QString::number(v.toDouble(), 'g', 17).toStdString();
    return {};
}

// PostgreSQL's jsonb holds no U+0000, so a record carrying one (a serial text read from a cable can)
// would be refused for ever and block the outbox behind it. Such characters become U+FFFD.
// A lone surrogate (a "\ud800" escape written by another program) is no text for PostgreSQL either:
// it becomes U+FFFD too, so that one odd record never blocks the outbox behind it.
QString Storable(QString text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QChar(0)) {
            text[i] = QChar(0xFFFD);
        } else if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
        } else if (text[i].isSurrogate()) {
            text[i] = QChar(0xFFFD);
        }
    }
    return text;
}

QJsonValue WithoutNul(const QJsonValue &v) {
    if (v.isString()) return Storable(v.toString());
    if (v.isArray()) {
        QJsonArray a;
        for (const QJsonValue &e : v.toArray()) a.append(WithoutNul(e));
        return a;
    }
    if (v.isObject()) {
        QJsonObject o;
        const QJsonObject in = v.toObject();
        for (auto it = in.begin(); it != in.end(); ++it) o.insert(Storable(it.key()), WithoutNul(*it));
        return o;
    }
    return v;
}

std::optional<std::string> IsoDate(const std::string &time) {
    const QDate d = QDate::fromString(QString::fromStdString(time.substr(0, 10)), Qt::ISODate);
    if (!d.isValid()) return std::nullopt;
    return d.toString(Qt::ISODate).toStdString();
}

}  // namespace

std::optional<LineFields> FieldsOfRecord(const std::string &body) {
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(body), &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
    const QJsonObject o = doc.object();
    LineFields f;
    const QJsonValue st = o.value("station");
    f.station.number = st.isDouble() ? st.toInt(-1) : -1;
    f.station.host = Text(o.value("host"));
    f.kind = Text(o.value("kind"));
    f.serial = Text(o.value("serial"));
    f.time = Text(o.value("time_utc"));
    f.passed = Text(o.value("verdict")) == LedgerRecord::kPass;
    return f;
}

LineLedger::LineLedger(std::string conninfo, std::chrono::milliseconds timeout)
    : m_conninfo(std::move(conninfo)), m_timeout(timeout) {}

bool LineLedger::Fail(std::string message) {
    m_error = std::move(message);
    return false;
}

bool LineLedger::Open() {
    if (m_db.Connected()) return true;
    if (!m_db.Connect(m_conninfo, m_timeout)) return Fail("line server not reachable: " + m_db.Error());
    // Bound what one statement may cost the server and us; stations do not hold locks for long.
    if (!m_db.Exec("SET statement_timeout = '30s'", {}, m_timeout) ||
        !m_db.Exec("SET client_encoding = 'UTF8'", {}, m_timeout) ||
        (m_readOnly && !m_db.Exec("SET default_transaction_read_only = on", {}, m_timeout)) ||
        // Readers ask aggregates over a window of the line whose cost estimate passes the JIT
        // threshold: compiling them took longer (0.2 to 0.4 s, more on a busy server) than running them.
        (m_readOnly && !m_db.Exec("SET jit = off", {}, m_timeout)))
        return Fail("line server: " + m_db.Error());
    return true;
}

std::optional<PgRows> LineLedger::Read(const std::string &sql, const std::vector<PgConnection::Param> &params,
                                       std::chrono::milliseconds timeout) {
    if (!Open()) return std::nullopt;
    auto rows = m_db.Exec(sql, params, timeout);
    if (!rows) Fail("line server: " + m_db.Error());
    return rows;
}

LineStatus LineLedger::Status() {
    LineStatus s;
    if (!Open()) {
        s.error = m_error;
        return s;
    }
    s.reachable = true;
    const auto v = ReadVersion(s.error);
    if (!v) return s;
    s.schemaVersion = *v;
    if (*v > 0) {
        if (auto n = m_db.Exec("SELECT count(*) FROM records", {}, m_timeout); n && n->rows.at(0).at(0))
            s.records = CellNumber(n->rows.at(0).at(0));
    }
    return s;
}

bool LineLedger::Send(const std::vector<OutboxRow> &rows) {
    if (rows.empty()) return true;
    if (!CheckSchema()) return false;
    // The whole batch travels as one JSON array, so a batch costs a few round trips, not a few per record.
    QJsonArray batch;
    for (const OutboxRow &row : rows) {
        auto fields = FieldsOfRecord(row.body);
        QJsonObject body;
        if (fields) {
            body = QJsonDocument::fromJson(QByteArray::fromStdString(row.body)).object();
        } else {
            // Never lose a record the server cannot read as JSON: keep its text inside a JSON string.
            fields = LineFields{};
            body = QJsonObject{{"unreadable", QString::fromStdString(row.body)}};
        }
        QJsonObject x{{"station", fields->station.number},
                      {"host", QString::fromStdString(fields->station.host)},
                      {"seq", static_cast<qint64>(row.seq)},
                      {"kind", QString::fromStdString(fields->kind)},
                      {"passed", fields->passed},
                      {"recorded_at", QString::fromStdString(fields->time)},
                      {"body", body}};
        if (!fields->serial.empty()) x.insert("serial", QString::fromStdString(fields->serial));
        if (auto d = IsoDate(fields->time)) x.insert("issued_on", QString::fromStdString(*d));
        batch.append(x);
    }
    const std::string json =
        QJsonDocument(WithoutNul(batch).toArray()).toJson(QJsonDocument::Compact).toStdString();
    constexpr const char *kRows =
        "jsonb_to_recordset($1::jsonb) AS x(station integer, host text, seq bigint, kind text, serial text, "
        "passed boolean, recorded_at text, body jsonb, issued_on date)";

    auto abort = [&](std::string why) {
        m_db.Exec("ROLLBACK", {}, m_timeout);
        return Fail(std::move(why));
    };
    if (!m_db.Exec("BEGIN", {}, m_timeout)) return abort("line server: " + m_db.Error());
    // Rows the server holds already (sent before; the station did not learn it in time) are skipped.
    if (!m_db.Exec(std::string("INSERT INTO records (station, host, seq, kind, serial, passed, recorded_at, body) "
                               "SELECT station, host, seq, kind, serial, passed, recorded_at, body FROM ") +
                       kRows + " ORDER BY seq ON CONFLICT (station, host, seq) DO NOTHING",
                   {json}, m_timeout))
        return abort("line server: " + m_db.Error());
    // ... but only when it is the same record: another one under the same key means the station's ledger
    // was replaced, and dropping its records as duplicates would lose them.
    auto other = m_db.Exec(std::string("SELECT x.station, x.host, x.seq FROM ") + kRows +
                               " JOIN records r USING (station, host, seq) WHERE r.body <> x.body ORDER BY x.seq LIMIT 1",
                           {json}, m_timeout);
    if (!other) return abort("line server: " + m_db.Error());
    if (!other->rows.empty()) {
        const auto &r = other->rows[0];
        return abort("the line server holds a different record " + r[2].value_or("") + " of station " +
                     r[0].value_or("") + " (host " + r[1].value_or("") +
                     "): this station's ledger was replaced; its records stay in the outbox");
    }
    // A number programmed while the server was out of reach still goes on the books; one already held by
    // another station stays with its first holder, and the line report shows the duplicate.
    if (!m_db.Exec(std::string("INSERT INTO serials (serial, station, host, issued_on, confirmed) "
                               "SELECT DISTINCT ON (serial) serial, station, host, COALESCE(issued_on, current_date), true "
                               "FROM ") + kRows +
                       " WHERE kind = 'program' AND passed AND serial IS NOT NULL ORDER BY serial, seq "
                       "ON CONFLICT (serial) DO UPDATE SET confirmed = true "
                       "WHERE serials.station = EXCLUDED.station AND serials.host = EXCLUDED.host",
                   {json}, m_timeout))
        return abort("line server: " + m_db.Error());
    if (!m_db.Exec("COMMIT", {}, m_timeout)) return Fail("line server: " + m_db.Error());
    return true;
}

ReserveResult LineLedger::Reserve(const std::string &serial, const StationId &station, const std::string &localDate) {
    std::vector<ReserveResult> r = ReserveBlock({serial}, station, "", localDate);
    return r.empty() ? ReserveResult{} : r.front();
}

std::vector<ReserveResult> LineLedger::ReserveBlock(const std::vector<std::string> &serials, const StationId &station,
                                                    const std::string &ledgerId, const std::string &localDate) {
    std::vector<ReserveResult> results(serials.size());
    auto unreachable = [&](const std::string &message) {
        m_db.Exec("ROLLBACK", {}, m_timeout);
        for (ReserveResult &r : results) {
            r.outcome = Reservation::Unreachable;
            r.message = message;
        }
        return results;
    };
    if (serials.empty()) return results;
    if (!CheckSchema()) return unreachable(m_error);
    const std::string number = std::to_string(station.number);
    if (!m_db.Exec("BEGIN", {}, m_timeout)) return unreachable("line server: " + m_db.Error());
    if (!ledgerId.empty()) {
        // A station number belongs to the first station ledger that leased with it; a second PC (or a
        // copied ledger) with the same number would form the same serials.
        auto held = m_db.Exec("INSERT INTO stations (number, host, ledger_id) VALUES ($1, $2, $3) "
                              "ON CONFLICT (number) DO NOTHING", {number, station.host, ledgerId}, m_timeout);
        auto who = held ? m_db.Exec("SELECT host, ledger_id, to_char(since, 'YYYY-MM-DD') FROM stations WHERE number = $1",
                                    {number}, m_timeout)
                        : std::nullopt;
        if (!who || who->rows.empty()) return unreachable("line server: " + m_db.Error());
        if (who->rows[0][1].value_or("") != ledgerId) {
            const std::string message = "station number " + number + " is in use by host " +
                                        who->rows[0][0].value_or("?") + " since " + who->rows[0][2].value_or("?") +
                                        "; set another station number";
            m_db.Exec("ROLLBACK", {}, m_timeout);
            for (ReserveResult &r : results) {
                r.outcome = Reservation::StationInUse;
                r.message = message;
            }
            return results;
        }
    }
    QJsonArray list;
    for (const std::string &s : serials) list.append(QString::fromStdString(s));
    const std::string json = QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString();
    // A number is granted once, ever: one reserved and never confirmed is void, not granted again.
    auto granted = m_db.Exec(
        "INSERT INTO serials (serial, station, host, issued_on, ledger_id) "
        "SELECT s, $2, $3, $4::date, NULLIF($5, '') FROM jsonb_array_elements_text($1::jsonb) AS s "
        "ON CONFLICT (serial) DO NOTHING RETURNING serial",
        {json, number, station.host, localDate, ledgerId}, m_timeout);
    if (!granted) return unreachable("line server: " + m_db.Error());
    std::set<std::string> ok;
    for (auto &row : granted->rows) ok.insert(row[0].value_or(""));
    auto holders = m_db.Exec("SELECT serial, station, host, issued_on::text FROM serials "
                             "WHERE serial IN (SELECT jsonb_array_elements_text($1::jsonb))",
                             {json}, m_timeout);
    if (!holders || !m_db.Exec("COMMIT", {}, m_timeout)) return unreachable("line server: " + m_db.Error());
    std::map<std::string, SerialHolder> by;
    for (auto &row : holders->rows)
        by[row[0].value_or("")] = {{static_cast<int>(CellNumber(row[1], -1)), row[2].value_or("")}, row[3].value_or("")};
    for (std::size_t i = 0; i < serials.size(); ++i) {
        if (ok.count(serials[i])) {
            results[i].outcome = Reservation::Granted;
            continue;
        }
        ReserveResult &r = results[i];
        r.outcome = Reservation::Taken;
        r.holder = by[serials[i]];
        r.message = "serial " + serials[i] + " already issued by station " + std::to_string(r.holder.station.number) +
                    " (host " + r.holder.station.host + ") on " + r.holder.issuedOn;
    }
    return results;
}

bool LineLedger::Void(const std::string &serial, const StationId &station, const std::string &reason) {
    if (!Open()) return false;
    auto r = m_db.Exec("UPDATE serials SET void_reason = $4 WHERE serial = $1 AND station = $2 AND host = $3 "
                       "AND NOT confirmed",
                       {serial, std::to_string(station.number), station.host, reason}, m_timeout);
    if (!r) return Fail("line server: " + m_db.Error());
    return true;
}

std::optional<LineLedger::SerialState> LineLedger::SerialOnLine(const std::string &serial) {
    if (!CheckSchema()) return std::nullopt;
    auto r = m_db.Exec("SELECT confirmed, void_reason, station, host FROM serials WHERE serial = $1", {serial}, m_timeout);
    if (!r) {
        Fail("line server: " + m_db.Error());
        return std::nullopt;
    }
    SerialState st;
    if (r->rows.empty()) return st;
    st.known = true;
    st.confirmed = r->rows[0][0] == std::optional<std::string>("t");
    st.voidReason = r->rows[0][1].value_or("");
    st.holder = {static_cast<int>(CellNumber(r->rows[0][2], -1)), r->rows[0][3].value_or("")};
    return st;
}

bool LineLedger::Confirm(const std::string &serial, const StationId &station) {
    if (!Open()) return false;
    auto r = m_db.Exec("UPDATE serials SET confirmed = true WHERE serial = $1 AND station = $2 AND host = $3",
                       {serial, std::to_string(station.number), station.host}, m_timeout);
    if (!r) return Fail("line server: " + m_db.Error());
    return true;
}

std::optional<std::vector<std::string>> LineLedger::Records(const RecordFilter &filter) {
    std::vector<std::string> out;
    if (!ForEachRecord(filter, [&out](const std::string &body) {
            out.push_back(body);
            return true;
        }))
        return std::nullopt;
    return out;
}

bool LineLedger::ForEachRecord(const RecordFilter &filter, const std::function<bool(const std::string &)> &each) {
    if (!CheckSchema()) return false;
    constexpr int kBatch = 2000;
    auto abort = [&](const std::string &why) {
        m_db.Exec("ROLLBACK", {}, m_timeout);
        return Fail(why);
    };
    if (!m_db.Exec("BEGIN READ ONLY", {}, m_timeout)) return abort("line server: " + m_db.Error());
    if (!m_db.Exec("DECLARE line_records NO SCROLL CURSOR FOR SELECT body::text FROM records "
                   "WHERE ($1 = '' OR recorded_at >= $1) AND ($2 = '' OR serial = $2) "
                   "ORDER BY recorded_at, station, host, seq",
                   {filter.since, filter.serial}, m_timeout))
        return abort("line server: " + m_db.Error());
    for (;;) {
        auto batch = m_db.Exec("FETCH " + std::to_string(kBatch) + " FROM line_records", {}, std::chrono::seconds(60));
        if (!batch) return abort("line server: " + m_db.Error());
        for (auto &row : batch->rows)
            if (!each(row[0].value_or("{}"))) return m_db.Exec("ROLLBACK", {}, m_timeout).has_value();
        if (batch->rows.size() < std::size_t(kBatch)) break;
    }
    m_db.Exec("COMMIT", {}, m_timeout);
    return true;
}

std::optional<LineLedger::Report> LineLedger::LineReport(const std::string &since) {
    if (!CheckSchema()) return std::nullopt;
    const auto big = std::chrono::seconds(60);
    Report rep;
    auto st = m_db.Exec(
        // A host's records from before Numwell's first use carry station -1: they count with the one
        // station number that host has used since, not as a station of their own.
        std::string(linesql::kStationsCte) +
            ", c AS (SELECT " + linesql::kCountedStation + " AS station, r.host, kind, passed, recorded_at "
            "FROM records r LEFT JOIN known k ON k.host = r.host) "
            "SELECT station, host, "
            "count(*) FILTER (WHERE kind = 'program' AND passed), count(*) FILTER (WHERE kind = 'program' AND NOT passed), "
            "count(*) FILTER (WHERE kind = 'test'), count(*) FILTER (WHERE kind = 'test' AND passed) "
            "FROM c WHERE ($1 = '' OR recorded_at >= $1) GROUP BY station, host ORDER BY station, host",
        {since}, big);
    auto cross = st ? m_db.Exec(
        "SELECT DISTINCT p.serial, p.station, p.host, t.station, t.host FROM records p "
        "JOIN records t ON t.serial = p.serial AND t.kind = 'test' AND NOT t.passed "
        "AND (t.station, t.host) <> (p.station, p.host) "
        "WHERE p.kind = 'program' AND p.passed AND ($1 = '' OR t.recorded_at >= $1) ORDER BY 1, 2, 3, 4, 5",
        {since}, big) : std::nullopt;
    auto dup = cross ? m_db.Exec(linesql::kDuplicates, {since}, big) : std::nullopt;
    // The reason up to its first colon: the failing step, without the cable's own detail.
    auto voided = dup ? m_db.Exec(
        "SELECT issued_on::text, COALESCE(split_part(void_reason, ':', 1), 'no verdict reached the line'), count(*) "
        "FROM serials WHERE NOT confirmed AND ($1 = '' OR issued_on >= left($1, 10)::date) GROUP BY 1, 2 ORDER BY 1, 2",
        {since}, big) : std::nullopt;
    if (!voided) {
        Fail("line server: " + m_db.Error());
        return std::nullopt;
    }
    for (auto &r : voided->rows)
        rep.voided.push_back({r[0].value_or(""), r[1].value_or(""), static_cast<long>(CellNumber(r[2]))});
    auto num = [](const std::optional<std::string> &c) { return static_cast<long>(CellNumber(c)); };
    for (auto &r : st->rows)
        rep.stations.push_back({{static_cast<int>(num(r[0])), r[1].value_or("")}, num(r[2]), num(r[3]), num(r[4]), num(r[5])});
    for (auto &r : cross->rows)
        rep.crossFailures.push_back({r[0].value_or(""), {static_cast<int>(num(r[1])), r[2].value_or("")},
                                     {static_cast<int>(num(r[3])), r[4].value_or("")}});
    for (auto &r : dup->rows) {
        const std::string serial = r[0].value_or("");
        if (rep.duplicates.empty() || rep.duplicates.back().serial != serial) rep.duplicates.push_back({serial, {}});
        rep.duplicates.back().stations.push_back({static_cast<int>(num(r[1])), r[2].value_or("")});
    }
    return rep;
}

}  // namespace line
