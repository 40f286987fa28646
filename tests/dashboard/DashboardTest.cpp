// The line dashboard against a real PostgreSQL server seeded with a known line (and a station's own
// ledger with the same records): every number of its API against the sums counted from the seed; the
// views and the reader role that `ledger init` makes for other dashboard tools; and the HTTP server's
// bounds (an oversized request, sixty-four clients at once, silent clients).

#include "Dashboard.h"
#include "DashboardCommand.h"
#include "DashboardSeed.h"
#include "HttpServer.h"
#include "LineCommands.h"
#include "LineLedger.h"
#include "PgServer.h"
#include "StationLedger.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using line::dashboard::Dashboard;

const QDateTime kAt = QDateTime::fromString("2030-01-10T12:30:00.000Z", Qt::ISODateWithMs);

// Sends the seed as the stations' outboxes send it, and leases and voids one number on beta.
void SeedLine(const std::string &conninfo, const std::vector<line::LedgerRecord> &records)
{
    line::LineLedger server(conninfo);
    ASSERT_TRUE(server.Init()) << server.Error();
    std::map<std::pair<int, std::string>, std::vector<line::OutboxRow>> byStation;
    for (const auto &r : records) {
        auto &rows = byStation[{r.station, r.host}];
        rows.push_back({std::int64_t(rows.size() + 1), r.ToJson()});
    }
    // The stations send at once, as a line's do: a serial two of them programmed is noted all the same.
    std::vector<std::thread> sending;
    std::atomic<int> sent{0};
    for (const auto &[station, rows] : byStation)
        sending.emplace_back([&conninfo, &rows = rows, &sent] {
            line::LineLedger own(conninfo);
            sent += own.Send(rows);
        });
    for (std::thread &t : sending)
        t.join();
    ASSERT_EQ(sent, int(byStation.size()));
    auto leased = server.ReserveBlock({"V1", "V2"}, {2, "beta"}, "ledger-beta", "2030-01-10");
    ASSERT_EQ(leased.size(), 2u);
    ASSERT_TRUE(server.Void("V1", {2, "beta"}, "Write EEPROM: the chip did not answer"));
}

QJsonObject Get(Dashboard &d, const std::string &path, std::map<std::string, std::string> query = {})
{
    http::Request r;
    r.path = path;
    r.query = std::move(query);
    const http::Response a = d.Answer(r);
    EXPECT_EQ(a.status, 200) << path << ": " << a.body;
    return QJsonDocument::fromJson(QByteArray::fromStdString(a.body)).object();
}

// A table's rows as objects by column name.
std::vector<QJsonObject> Rows(const QJsonObject &answer, const char *table)
{
    const QJsonObject t = answer["tables"].toObject()[table].toObject();
    const QJsonArray columns = t["columns"].toArray();
    std::vector<QJsonObject> out;
    for (const QJsonValue &row : t["rows"].toArray()) {
        QJsonObject o;
        for (qsizetype i = 0; i < columns.size(); ++i)
            o[columns[i].toString()] = row.toArray()[i];
        out.push_back(o);
    }
    return out;
}

std::string S(const QJsonValue &v) { return v.toString().toStdString(); }
long N(const QJsonValue &v) { return long(v.toDouble()); }

// Every number of the live tables against the seed. `records`: what the source holds.
void ExpectLiveMatches(Dashboard &d, const std::vector<line::LedgerRecord> &records)
{
    const QJsonObject live = Get(d, "/api/live", {{"at", kAt.toString(Qt::ISODateWithMs).toStdString()}});
    const auto w = line::dashboard::Window::At(kAt);
    const std::map<std::string, std::pair<std::string, std::string>> periods = {
        {"hour", {w.hour, w.end}}, {"today", {w.today, w.end}}, {"yesterday", {w.yesterday, w.today}}};
    const auto now = Rows(live, "now");
    ASSERT_EQ(now.size(), 3u);
    for (const QJsonObject &row : now) {
        const auto [from, to] = periods.at(S(row["period"]));
        const seed::Counts want = seed::Period(records, from, to);
        const seed::Counts got{N(row["programmed"]), N(row["program_failed"]), N(row["tested"]), N(row["passed"]),
                               N(row["first_tests"]), N(row["first_passed"]), N(row["final_passed"])};
        EXPECT_EQ(got, want) << S(row["period"]) << ": tested " << got.tested << "/" << want.tested << " first "
                             << got.first << "/" << want.first << " final " << got.finalPassed << "/" << want.finalPassed;
        if (want.first)
            EXPECT_DOUBLE_EQ(row["first_pass_yield"].toDouble(),
                             std::round(1000.0 * want.firstPassed / want.first) / 10.0);
        else
            EXPECT_TRUE(row["first_pass_yield"].isNull());
    }
    // Hourly rows add up to the last 24 hours, per station and per product.
    const seed::Counts day = seed::Period(records, w.dayAgo, w.end);
    for (const char *table : {"hourly_station", "hourly_product"}) {
        seed::Counts sum;
        for (const QJsonObject &r : Rows(live, table)) {
            sum.tested += N(r["tested"]);
            sum.passed += N(r["passed"]);
            sum.first += N(r["first_tests"]);
            sum.firstPassed += N(r["first_passed"]);
        }
        EXPECT_EQ(sum.tested, day.tested) << table;
        EXPECT_EQ(sum.passed, day.passed) << table;
        EXPECT_EQ(sum.first, day.first) << table;
        EXPECT_EQ(sum.firstPassed, day.firstPassed) << table;
    }
    for (const QJsonObject &r : Rows(live, "hourly_station"))
        EXPECT_GE(N(r["station"]), 0) << "station -1 counts with the host's station";

    std::map<std::pair<std::string, std::string>, long> steps;
    for (const QJsonObject &r : Rows(live, "pareto_steps"))
        steps[{S(r["kind"]), S(r["step"])}] = N(r["failures"]);
    auto wantSteps = seed::Steps(records, w.dayAgo, w.end);
    EXPECT_EQ(steps, wantSteps);
    std::map<std::string, long> fields;
    for (const QJsonObject &r : Rows(live, "pareto_fields"))
        fields[S(r["field"])] = N(r["failures"]);
    EXPECT_EQ(fields, seed::Fields(records, w.dayAgo, w.end));
    // Largest first.
    long previous = 1 << 30;
    for (const QJsonObject &r : Rows(live, "pareto_steps")) {
        EXPECT_LE(N(r["failures"]), previous);
        previous = N(r["failures"]);
    }

    std::map<std::tuple<long, std::string, std::string>, std::pair<long, long>> ports;
    for (const QJsonObject &r : Rows(live, "ports"))
        ports[{N(r["station"]), S(r["host"]), S(r["port"])}] = {N(r["tested"]), N(r["passed"])};
    EXPECT_EQ(ports, seed::Ports(records, w.dayAgo, w.end));

    // Each station's last record and its state.
    std::map<std::pair<long, std::string>, const line::LedgerRecord *> last;
    for (const auto &r : records) {
        auto &l = last[{seed::Counted(r, records), r.host}];
        if (!l || r.timeUtc > l->timeUtc)
            l = &r;
    }
    const auto stations = Rows(live, "stations");
    ASSERT_EQ(stations.size(), last.size());
    for (const QJsonObject &s : stations) {
        const line::LedgerRecord *l = last.at({N(s["station"]), S(s["host"])});
        EXPECT_EQ(S(s["last_record"]), l->timeUtc);
        EXPECT_EQ(S(s["last_serial"]), l->serial);
        const double minutes = double(QDateTime::fromString(QString::fromStdString(l->timeUtc), Qt::ISODateWithMs)
                                          .msecsTo(kAt)) / 60000.0;
        EXPECT_EQ(S(s["state"]), minutes <= 10 ? "working" : minutes <= 60 ? "idle" : "silent") << S(s["host"]);
    }
}

TEST(Dashboard, LineAndStationAnswerTheSeededNumbersSerialsDuplicatesVoidAndCsv)
{
    PgServer pg;
    const auto records = seed::Line(kAt);
    SeedLine(pg.Conninfo(), records);
    Dashboard line(line::dashboard::LineSource(pg.Conninfo()));
    ExpectLiveMatches(line, records);

    // The retested serial's whole history, oldest first, with its failed step and differing field.
    const QJsonObject s2 = Get(line, "/api/serial", {{"serial", "S2"}});
    const auto history = Rows(s2, "serial_history");
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(S(history[0]["kind"]), "program");
    EXPECT_EQ(S(history[1]["verdict"]), "fail");
    EXPECT_EQ(S(history[1]["failed_step"]), "Verify configuration");
    EXPECT_EQ(S(history[1]["differing"]), "product text: Bridge cable -> Bridge cab1e");
    EXPECT_EQ(S(history[2]["verdict"]), "pass");
    EXPECT_EQ(Rows(Get(line, "/api/serial", {{"serial", "nothing"}}), "serial_history").size(), 0u);
    const auto v1 = Rows(Get(line, "/api/serial", {{"serial", "V1"}}), "serial_state");
    ASSERT_EQ(v1.size(), 1u);
    EXPECT_EQ(S(v1[0]["state"]), "void");

    const QJsonObject integrity = Get(line, "/api/integrity");
    const auto dup = Rows(integrity, "duplicates");
    ASSERT_EQ(dup.size(), 2u);
    EXPECT_EQ(S(dup[0]["serial"]), "D1");
    EXPECT_EQ(S(dup[0]["host"]) + S(dup[1]["host"]), "alphabeta");
    const auto voided = Rows(integrity, "void");
    ASSERT_EQ(voided.size(), 2u) << "a number never confirmed is void on the line, as report --line counts it";
    std::set<std::string> reasons;
    for (const auto &v : voided)
        reasons.insert(S(v["reason"]));
    EXPECT_EQ(reasons, (std::set<std::string>{"Write EEPROM: the chip did not answer", "no verdict reached the line"}));

    // The duplicate is the one report --line lists (the same query).
    setenv("QT7730_LEDGER", pg.Conninfo().c_str(), 1);
    std::ostringstream out, err;
    EXPECT_EQ(line::RunLineReport("", out, err), 0) << err.str();
    unsetenv("QT7730_LEDGER");
    EXPECT_NE(out.str().find("Serial numbers programmed by more than one station: 1"), std::string::npos) << out.str();

    // CSV: the markup text and a formula-like text stay text; a cell beginning with '-' gets the apostrophe.
    http::Request csv;
    csv.path = "/api/csv";
    csv.query = {{"table", "pareto_fields"}, {"at", kAt.toString(Qt::ISODateWithMs).toStdString()}};
    http::Response fieldsCsv = line.Answer(csv);
    EXPECT_EQ(fieldsCsv.status, 200);
    EXPECT_EQ(fieldsCsv.contentType, "text/csv; charset=utf-8");
    EXPECT_EQ(fieldsCsv.body.substr(0, 17), "field,failures\r\np");
    csv.query = {{"table", "serial_history"}, {"serial", "S7"}};
    const std::string s7 = line.Answer(csv).body;
    EXPECT_NE(s7.find(std::string(",vendor ID: 0C5E -> 0000; product text: Bridge cable -> ") + seed::kMarkup + ","),
              std::string::npos) << s7;
    line::dashboard::Table formula;
    formula.columns = {"serial", "n"};
    formula.rows.append(QJsonArray{"=HYPERLINK(\"x\")", 3});
    formula.rows.append(QJsonArray{"-1", 2.5});
    EXPECT_EQ(line::dashboard::TableCsv(formula), "serial,n\r\n\"'=HYPERLINK(\"\"x\"\")\",3\r\n'-1,2.5\r\n");
    csv.query = {{"table", "records; DROP TABLE records"}};
    EXPECT_EQ(line.Answer(csv).status, 400);
    EXPECT_EQ(Get(line, "/api/integrity").isEmpty(), false) << "records are still there";

    // Bad questions get a clear error and the server stays as it was.
    http::Request bad;
    bad.path = "/api/live";
    bad.query = {{"at", "yesterday'); DROP TABLE records; --"}};
    EXPECT_EQ(line.Answer(bad).status, 400);
    bad.path = "/api/serial";
    bad.query = {{"serial", std::string(201, 'x')}};
    EXPECT_EQ(line.Answer(bad).status, 400);
    bad.query = {{"serial", "x' OR '1'='1"}};
    EXPECT_EQ(line.Answer(bad).status, 200);
    EXPECT_EQ(Rows(Get(line, "/api/serial", {{"serial", "x' OR '1'='1"}}), "serial_history").size(), 0u);

    // The station's own ledger with the records of one host: the same numbers from SQLite.
    TempDir dir;
    std::vector<line::LedgerRecord> alpha;
    {
        line::StationLedger ledger;
        ASSERT_TRUE(ledger.Open(dir.file("ledger.db")));
        for (const auto &r : records)
            if (r.host == "alpha") {
                ASSERT_TRUE(ledger.Append(r));
                alpha.push_back(r);
            }
    }
    Dashboard station(line::dashboard::StationSource(dir.file("ledger.db"), true));
    ExpectLiveMatches(station, alpha);
    const auto sh = Rows(Get(station, "/api/serial", {{"serial", "S7"}}), "serial_history");
    ASSERT_EQ(sh.size(), 1u);
    EXPECT_EQ(S(sh[0]["differing"]), std::string("vendor ID: 0C5E -> 0000; product text: Bridge cable -> ") + seed::kMarkup);
    const auto backlog = Rows(Get(station, "/api/live", {{"at", kAt.toString(Qt::ISODateWithMs).toStdString()}}), "stations");
    ASSERT_FALSE(backlog.empty());
    EXPECT_EQ(N(backlog[0]["backlog"]), long(alpha.size())) << "nothing of this station was sent yet";
}

TEST(Dashboard, LedgerInitMakesViewsAndAReaderThatReadsThemAndNothingElse)
{
    PgServer pg;
    const auto records = seed::Line(kAt);
    SeedLine(pg.Conninfo(), records);
    setenv("QT7730_LEDGER", pg.Conninfo().c_str(), 1);
    std::ostringstream out, err;
    EXPECT_EQ(line::RunLedgerCommand({"init", "--reader", "line_view"}, out, err), 0) << err.str();
    EXPECT_EQ(line::RunLedgerCommand({"init", "--reader", "line_view"}, out, err), 0) << "again: " << err.str();
    EXPECT_EQ(line::RunLedgerCommand({"init", "--reader", "x; DROP ROLE kit"}, out, err), 1);
    unsetenv("QT7730_LEDGER");

    line::PgConnection admin;
    ASSERT_TRUE(admin.Connect(pg.Conninfo(), 10s));
    // Serials programmed by two stations are noted as their records arrive, and `ledger init` notes them
    // from the records on a server made before it did (an upgrade).
    const std::optional<std::string> d1("D1");
    auto noted = admin.Exec("SELECT string_agg(serial, ',') FROM line_duplicate_serials");
    ASSERT_TRUE(noted) << admin.Error();
    EXPECT_EQ(noted->rows[0][0], d1);
    ASSERT_TRUE(admin.Exec("DROP TRIGGER records_note_duplicates ON records"));
    ASSERT_TRUE(admin.Exec("DROP TABLE line_duplicate_serials"));
    setenv("QT7730_LEDGER", pg.Conninfo().c_str(), 1);
    EXPECT_EQ(line::RunLedgerCommand({"init"}, out, err), 0) << err.str();
    unsetenv("QT7730_LEDGER");
    noted = admin.Exec("SELECT string_agg(serial, ',') FROM line_duplicate_serials");
    ASSERT_TRUE(noted) << admin.Error();
    EXPECT_EQ(noted->rows[0][0], d1);
    ASSERT_TRUE(admin.Exec("ALTER ROLE line_view PASSWORD 'viewer'"));
    std::string conninfo = pg.Conninfo();
    conninfo.replace(conninfo.find("user=kit"), 8, "user=line_view").replace(conninfo.find("password=line-secret"), 20, "password=viewer");
    line::PgConnection reader;
    ASSERT_TRUE(reader.Connect(conninfo, 10s)) << reader.Error();

    // Attempts numbered per serial and kind; the hourly view adds up to the records.
    auto s2 = reader.Exec("SELECT attempt, passed, failed_step FROM line_attempts WHERE serial = 'S2' AND kind = 'test' ORDER BY time");
    ASSERT_TRUE(s2) << reader.Error();
    ASSERT_EQ(s2->rows.size(), 2u);
    EXPECT_EQ(s2->rows[0][0], std::optional<std::string>("1"));
    EXPECT_EQ(s2->rows[0][2], std::optional<std::string>("Verify configuration"));
    EXPECT_EQ(s2->rows[1][0], std::optional<std::string>("2"));
    auto hourly = reader.Exec("SELECT sum(attempts), sum(first_attempts) FROM line_hourly_yield WHERE kind = 'test'");
    ASSERT_TRUE(hourly) << reader.Error();
    long tests = 0, firsts = 0;
    std::set<std::string> seen;
    for (const auto &r : records)
        if (r.kind == "test") {
            ++tests;
            firsts += r.serial.empty() || seen.insert(r.serial).second;
        }
    EXPECT_EQ(hourly->rows[0][0], std::optional<std::string>(std::to_string(tests)));
    EXPECT_EQ(hourly->rows[0][1], std::optional<std::string>(std::to_string(firsts)));
    // The sides' hub ports, [] for the record made before they were recorded.
    auto ports = reader.Exec("SELECT count(*) FILTER (WHERE ports = '[]'), count(*) FILTER (WHERE ports->>0 = '0-2.1') "
                             "FROM line_attempts");
    ASSERT_TRUE(ports) << reader.Error();
    long unknown = 0, first = 0;
    for (const auto &r : records) {
        unknown += r.ports.empty();
        first += !r.ports.empty() && r.ports[0] == "0-2.1";
    }
    EXPECT_EQ(ports->rows[0][0], std::optional<std::string>(std::to_string(unknown)));
    EXPECT_EQ(ports->rows[0][1], std::optional<std::string>(std::to_string(first)));
    auto minus = reader.Exec("SELECT count(*) FROM line_hourly_yield WHERE station < 0");
    ASSERT_TRUE(minus);
    EXPECT_EQ(minus->rows[0][0], std::optional<std::string>("0"));
    auto fields = reader.Exec("SELECT found FROM line_field_failures WHERE field = 'product text' ORDER BY time");
    ASSERT_TRUE(fields);
    ASSERT_EQ(fields->rows.size(), 2u);
    EXPECT_EQ(fields->rows[1][0], std::optional<std::string>(seed::kMarkup));
    auto fresh = reader.Exec("SELECT station, host, state FROM line_station_freshness ORDER BY 1, 2");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->rows.size(), 2u);

    // Nothing but the views, and nothing written.
    EXPECT_FALSE(reader.Exec("SELECT count(*) FROM records"));
    EXPECT_FALSE(reader.Exec("SELECT count(*) FROM serials"));
    EXPECT_FALSE(reader.Exec("DELETE FROM records"));
    EXPECT_FALSE(reader.Exec("CREATE TABLE mine (x int)"));
}

// A raw HTTP client: connects, sends `request`, reads until the server closes (or `wait` passes).
struct Answer {
    bool connected = false;
    std::string text;
    bool closed = false;
};
int Connect(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(std::uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}
Answer Exchange(int port, const std::string &request, std::chrono::seconds wait = 20s)
{
    Answer out;
    const int fd = Connect(port);
    if (fd < 0)
        return out;
    out.connected = true;
    timeval tv{long(wait.count()), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += std::size_t(n);
    }
    char buffer[8192];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n == 0)
            out.closed = true;
        if (n <= 0)
            break;
        out.text.append(buffer, std::size_t(n));
    }
    close(fd);
    return out;
}
std::string GetRequest(const std::string &target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
}

TEST(Dashboard, ServerBoundsEveryClientAndOutlivesBadOnes)
{
    PgServer pg;
    SeedLine(pg.Conninfo(), seed::Line(kAt));
    Dashboard dashboard(line::dashboard::LineSource(pg.Conninfo()));
    http::Limits limits;
    limits.readTimeout = 1s;
    limits.writeTimeout = 1s;
    auto server = http::MakeServer(limits);
    dashboard.Install(*server);
    std::string error;
    ASSERT_TRUE(server->Listen("127.0.0.1", 0, &error)) << error;
    const int port = server->Port();

    // The page and its parts, with the headers that keep its script its own.
    const Answer page = Exchange(port, GetRequest("/"));
    EXPECT_EQ(page.text.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(page.text.find("Content-Security-Policy: default-src 'none'; script-src 'self'"), std::string::npos);
    EXPECT_NE(page.text.find("<script src=\"/dashboard.js\""), std::string::npos);
    EXPECT_NE(Exchange(port, GetRequest("/dashboard.js")).text.find("textContent"), std::string::npos);
    EXPECT_EQ(Exchange(port, GetRequest("/nothing")).text.substr(0, 12), "HTTP/1.1 404");
    EXPECT_EQ(Exchange(port, "POST /api/live HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}")
                  .text.substr(0, 9), "HTTP/1.1 ");
    EXPECT_EQ(Exchange(port, "POST /api/live HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}")
                  .text.substr(9, 1), "4");

    // Oversized requests: a 100 KiB target, 100 KiB of headers, a 1 MiB body. Refused, and the server goes on.
    for (const std::string &big :
         {GetRequest("/api/serial?serial=" + std::string(100000, 'x')),
          "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(100000, 'y') + "\r\nConnection: close\r\n\r\n",
          "POST /api/live HTTP/1.1\r\nHost: x\r\nContent-Length: 1048576\r\nConnection: close\r\n\r\n" +
              std::string(1048576, 'z')}) {
        const Answer a = Exchange(port, big);
        EXPECT_TRUE(a.text.empty() || a.text.substr(9, 1) == "4") << a.text.substr(0, 40);
        EXPECT_EQ(Exchange(port, GetRequest("/api/integrity")).text.substr(0, 15), "HTTP/1.1 200 OK");
    }

    // Silent clients: one that sends half a request is dropped after the read time-out.
    const Answer half = Exchange(port, "GET /api/li", 20s);
    EXPECT_TRUE(half.closed);

    // Sixty-four silent clients fill the server; a sixty-fifth is answered once they are dropped, and
    // the server is answering as before.
    std::vector<int> silent;
    for (int i = 0; i < limits.maxClients; ++i)
        silent.push_back(Connect(port));
    const Answer after = Exchange(port, GetRequest("/api/integrity"));
    EXPECT_EQ(after.text.substr(0, 15), "HTTP/1.1 200 OK");
    for (int fd : silent) {
        char c;
        timeval tv{20, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        EXPECT_EQ(recv(fd, &c, 1, 0), 0) << "a silent client is dropped";
        close(fd);
    }

    // Sixty-four clients at once, each asking ten times: every answer whole and the same numbers. Each
    // waits as long as it takes: on a loaded machine the last of 640 answers may come late, and what
    // is checked here is that none is lost or garbled.
    std::atomic<int> good{0}, same{0};
    const std::string at = "/api/live?at=" + kAt.toString(Qt::ISODateWithMs).toStdString();
    const std::string reference = Exchange(port, GetRequest(at)).text;
    const std::string referenceBody = reference.substr(reference.find("\r\n\r\n"));
    std::vector<std::thread> clients;
    for (int i = 0; i < 64; ++i)
        clients.emplace_back([&] {
            for (int k = 0; k < 10; ++k) {
                const Answer a = Exchange(port, GetRequest(at), 120s);
                good += a.text.substr(0, 15) == "HTTP/1.1 200 OK";
                same += a.text.size() > 4 && a.text.substr(a.text.find("\r\n\r\n")) == referenceBody;
            }
        });
    for (auto &t : clients)
        t.join();
    EXPECT_EQ(good.load(), 640);
    EXPECT_EQ(same.load(), 640);

    // A ledger server that goes away: a clear error, and the page's numbers come back with it.
    ASSERT_TRUE(pg.Stop());
    std::this_thread::sleep_for(600ms); // past the shared answer's half second
    const Answer away = Exchange(port, GetRequest("/api/live"));
    EXPECT_EQ(away.text.substr(0, 12), "HTTP/1.1 503");
    EXPECT_NE(away.text.find("line server"), std::string::npos) << away.text;
    ASSERT_TRUE(pg.Start());
    EXPECT_EQ(Exchange(port, GetRequest(at)).text.substr(0, 15), "HTTP/1.1 200 OK");
    server->Stop();
    EXPECT_FALSE(Exchange(port, GetRequest("/")).connected);

    // The command's address: this machine's own, or said to be reachable by others; bad ones refused.
    EXPECT_TRUE(http::IsLoopback("127.0.0.1") && http::IsLoopback("127.8.0.2") && http::IsLoopback("::1") &&
                http::IsLoopback("localhost"));
    EXPECT_FALSE(http::IsLoopback("0.0.0.0") || http::IsLoopback("192.168.10.4") || http::IsLoopback("::"));
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--listen", "8730"}, {"--listen", "127.0.0.1:http"}, {"--listen", "1.2.3.4:99999"},
          {"--listen"}, {"--nothing"}}) {
        std::ostringstream out, err;
        EXPECT_EQ(line::dashboard::RunDashboard(args, out, err), 2) << args.back();
        EXPECT_NE(err.str().find("mfgkit dashboard: "), std::string::npos);
    }
    std::ostringstream out, err;
    setenv("QT7730_LEDGER", "not a connection string", 1);
    EXPECT_EQ(line::dashboard::RunDashboard({}, out, err), 2);
    unsetenv("QT7730_LEDGER");
}

} // namespace
