#include "Dashboard.h"

#include "LedgerRecord.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace line::dashboard {
namespace {

using namespace std::chrono_literals;
constexpr auto kLiveShared = 500ms;
constexpr auto kIntegrityShared = 5s;
constexpr std::size_t kMaxSerial = 200;

const std::map<std::string, std::string> kTableOf = {
    {"now", "live"}, {"hourly_station", "live"}, {"hourly_product", "live"}, {"pareto_steps", "live"},
    {"pareto_fields", "live"}, {"ports", "live"}, {"stations", "live"}, {"duplicates", "integrity"},
    {"void", "integrity"}, {"serial_history", "serial"}, {"serial_state", "serial"}};

http::Response Json(int status, const QJsonObject &o)
{
    http::Response r;
    r.status = status;
    r.body = QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
    return r;
}

http::Response Error(int status, const std::string &message)
{
    return Json(status, QJsonObject{{"error", QString::fromStdString(message)}});
}

QJsonObject TablesJson(const Tables &tables)
{
    QJsonObject o;
    for (const auto &[name, t] : tables) {
        QJsonArray columns;
        for (const std::string &c : t.columns)
            columns.append(QString::fromStdString(c));
        o[QString::fromStdString(name)] = QJsonObject{{"columns", columns}, {"rows", t.rows}};
    }
    return o;
}

http::Response PageFile(const char *resource, const char *type)
{
    QFile file(resource);
    http::Response r;
    if (!file.open(QIODevice::ReadOnly))
        return Error(500, "the page is missing from this program");
    r.contentType = type;
    r.body = file.readAll().toStdString();
    // The page runs its own script only: no inline script, nothing from elsewhere, never framed.
    r.headers.push_back({"Content-Security-Policy",
                         "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                         "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"});
    return r;
}

std::string CsvCell(const QJsonValue &v)
{
    if (v.isString())
        return CsvField(SpreadsheetText(v.toString().toStdString()));
    if (v.isDouble()) {
        const double d = v.toDouble();
        return d == std::floor(d) && std::fabs(d) < 1e15 ? std::to_string(static_cast<long long>(d))
                                                          : QString::number(d, 'f', 1).toStdString();
    }
    if (v.isBool())
        return v.toBool() ? "true" : "false";
    return {};
}

} // namespace

std::string TableCsv(const Table &table)
{
    std::string csv;
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        if (i)
            csv += ',';
        csv += CsvField(table.columns[i]);
    }
    csv += "\r\n";
    for (const QJsonValue &row : table.rows) {
        const QJsonArray cells = row.toArray();
        for (qsizetype i = 0; i < cells.size(); ++i) {
            if (i)
                csv += ',';
            csv += CsvCell(cells[i]);
        }
        csv += "\r\n";
    }
    return csv;
}

Dashboard::Dashboard(std::unique_ptr<DashboardSource> source) : m_source(std::move(source)) {}

void Dashboard::Install(http::Server &server)
{
    for (const char *path : {"/", "/index.html", "/dashboard.js", "/dashboard.css", "/api/live", "/api/integrity",
                             "/api/serial", "/api/csv"})
        server.Get(path, [this](const http::Request &r) { return Answer(r); });
}

http::Response Dashboard::Answer(const http::Request &request)
{
    if (request.path == "/" || request.path == "/index.html")
        return PageFile(":/dashboard/index.html", "text/html; charset=utf-8");
    if (request.path == "/dashboard.js")
        return PageFile(":/dashboard/dashboard.js", "text/javascript; charset=utf-8");
    if (request.path == "/dashboard.css")
        return PageFile(":/dashboard/dashboard.css", "text/css; charset=utf-8");
    return Api(request);
}

std::optional<Tables> Dashboard::LiveTables(const std::string &at, std::string *error, int *status)
{
    QDateTime when = QDateTime::currentDateTimeUtc();
    if (!at.empty()) {
        when = QDateTime::fromString(QString::fromStdString(at), Qt::ISODateWithMs);
        if (!when.isValid() || at.size() > 40) {
            *status = 400;
            *error = "at: an ISO 8601 time such as 2026-12-09T15:00:00Z";
            return std::nullopt;
        }
    }
    *status = 503;
    std::lock_guard lock(m_liveMutex);
    const auto now = std::chrono::steady_clock::now();
    if (m_live && m_live->key == at && now - m_live->at < kLiveShared)
        return m_live->tables;
    auto tables = m_source->Live(Window::At(when), error);
    if (tables)
        m_live = Cached{std::chrono::steady_clock::now(), at, *tables};
    return tables;
}

std::optional<Tables> Dashboard::IntegrityTables(std::string *error)
{
    std::lock_guard lock(m_integrityMutex);
    const auto now = std::chrono::steady_clock::now();
    if (m_integrity && now - m_integrity->at < kIntegrityShared)
        return m_integrity->tables;
    auto tables = m_source->Integrity(error);
    if (tables)
        m_integrity = Cached{std::chrono::steady_clock::now(), {}, *tables};
    return tables;
}

http::Response Dashboard::Api(const http::Request &request)
{
    std::string what = request.path == "/api/live" ? "live" : request.path == "/api/integrity" ? "integrity"
                       : request.path == "/api/serial"                                         ? "serial"
                                                                                               : "";
    std::string table;
    if (request.path == "/api/csv") {
        table = request.Param("table");
        auto it = kTableOf.find(table);
        if (it == kTableOf.end())
            return Error(400, "table: one of the page's tables, such as now or stations");
        what = it->second;
    }
    if (what.empty())
        return Error(404, "no such page");
    std::string error;
    int status = 503;
    std::optional<Tables> tables;
    if (what == "live") {
        tables = LiveTables(request.Param("at"), &error, &status);
    } else if (what == "integrity") {
        tables = IntegrityTables(&error);
    } else {
        const std::string serial = request.Param("serial");
        if (serial.empty() || serial.size() > kMaxSerial)
            return Error(400, "serial: the serial text to look for (at most 200 bytes)");
        std::lock_guard lock(m_serialMutex);
        tables = m_source->Serial(serial, &error);
    }
    if (!tables)
        return Error(status, error.empty() ? "the ledger cannot be read" : error);
    if (!table.empty()) {
        http::Response r;
        r.contentType = "text/csv; charset=utf-8";
        r.body = TableCsv((*tables)[table]);
        r.headers.push_back({"Content-Disposition", "attachment; filename=\"" + table + ".csv\""});
        return r;
    }
    QJsonObject o{{"source", QString::fromStdString(m_source->Describe())}, {"tables", TablesJson(*tables)}};
    return Json(200, o);
}

} // namespace line::dashboard
