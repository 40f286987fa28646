// The line dashboard over a line ledger of 1,000,000 records on a PostgreSQL server that the benchmark
// starts itself: the page's first answer (the page, its script and style, the live tables and the
// duplicates and void numbers) and a live update after a new record, both as server time (the
// dashboard's work and the database's, without the network or the browser).
//
// The line: eight stations over the last 30 days (about 33,000 records a day), 480,000 cables each
// programmed and tested, 40,000 retests (a cable's second test, 5 minutes after its first), a failing test in ten with a differing product text, two
// products, sixteen device objects, records from before Numwell's first use on one host, 2,000 void
// numbers.

#include "Dashboard.h"
#include "LedgerRecord.h"
#include "LineLedger.h"
#include "PgServer.h"

#include <benchmark/benchmark.h>

#include <QDateTime>

#include <thread>

namespace {

PgServer &Server()
{
    static PgServer server;
    static const bool ready = [] {
        line::LineLedger l(server.Conninfo());
        if (!l.Init())
            return false;
        line::PgConnection db;
        if (!db.Connect(server.Conninfo(), std::chrono::seconds(5)))
            return false;
        const auto big = std::chrono::minutes(20);
        const char *const seed = R"sql(
INSERT INTO records (station, host, seq, kind, serial, passed, recorded_at, body, received_at)
SELECT station, host, n, kind, serial, passed, to_char(t AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'),
       jsonb_build_object('kind', kind, 'tool', 'mfgkit', 'station', station, 'host', host, 'serial', serial,
           'time_utc', to_char(t AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'),
           'verdict', CASE WHEN passed THEN 'pass' ELSE 'fail' END,
           'image_sha256', CASE WHEN cable % 3 = 0 THEN repeat('b', 64) ELSE repeat('a', 64) END,
           'devices', jsonb_build_array('\\.\HOSTLNK-' || (cable % 16 + 1), '\\.\HOSTLNK-' || (cable % 16 + 2)),
           'steps', CASE WHEN passed THEN jsonb_build_array(jsonb_build_object('name', 'Verify configuration', 'result', 'OK'))
                         ELSE jsonb_build_array(jsonb_build_object('name', 'Verify configuration', 'result', 'FAIL')) END,
           'differing', CASE WHEN passed THEN '[]'::jsonb
                             ELSE jsonb_build_array(jsonb_build_object('field', 'product text', 'expected', 'Bridge', 'found', 'Br1dge')) END),
       t
FROM (SELECT n, cable,
             CASE WHEN cable < 1000 THEN -1 ELSE cable % 8 + 1 END AS station, 'st' || (cable % 8 + 1) AS host,
             CASE WHEN n <= 960000 AND n % 2 = 0 THEN 'program' ELSE 'test' END AS kind,
             'B' || lpad(cable::text, 7, '0') AS serial,
             CASE WHEN n <= 960000 AND n % 2 = 0 THEN n % 50 <> 0 ELSE n % 10 <> 1 END AS passed,
             now() - interval '30 days' + (pos::float8 / 960000) * interval '30 days'
                 + CASE WHEN n > 960000 THEN interval '5 minutes' ELSE interval '0' END AS t
      -- the retests (the last 40,000 rows) spread over the days, each a while after its cable's test
      FROM (SELECT n, pos, pos / 2 AS cable
            FROM (SELECT n, CASE WHEN n <= 960000 THEN n ELSE (n - 960000) * 24 END AS pos
                  FROM generate_series(1, 1000000) AS n) p) g) x;
INSERT INTO serials (serial, station, host, issued_on, confirmed)
SELECT 'B' || lpad(c::text, 7, '0'), c % 8 + 1, 'st' || (c % 8 + 1), current_date, true FROM generate_series(0, 480000) c;
INSERT INTO serials (serial, station, host, issued_on, void_reason)
SELECT 'V' || lpad(c::text, 7, '0'), c % 8 + 1, 'st' || (c % 8 + 1), current_date, 'Write EEPROM: no answer'
FROM generate_series(1, 2000) c;
)sql";
        const bool made = db.ExecScript(seed, big) && db.Exec("VACUUM ANALYZE records", {}, big) &&
                          db.Exec("VACUUM ANALYZE serials", {}, big);
        if (!made)
            std::fprintf(stderr, "the line of a million records: %s\n", db.Error().c_str());
        return made;
    }();
    if (!ready)
        throw std::runtime_error("could not make the line of a million records");
    return server;
}

http::Request Get(const std::string &path, std::map<std::string, std::string> query = {})
{
    http::Request r;
    r.path = path;
    r.query = std::move(query);
    return r;
}

// A page opening the dashboard: every answer it asks for, from a dashboard just started (nothing shared
// yet, its connections to the server made by the first questions). `concurrent`: the page's two API
// questions asked at once, as the page asks them (each kind has its own connection); else one after
// the other (the sum of their server times).
void BM_DashboardFirstAnswer(benchmark::State &state)
{
    const std::string conninfo = Server().Conninfo();
    const bool concurrent = state.range(0) != 0;
    for (auto _ : state) {
        line::dashboard::Dashboard d(line::dashboard::LineSource(conninfo));
        std::size_t bytes = 0;
        std::string failed;
        for (const char *path : {"/", "/dashboard.css", "/dashboard.js"})
            bytes += d.Answer(Get(path)).body.size();
        http::Response integrity;
        std::thread other;
        if (concurrent)
            other = std::thread([&] { integrity = d.Answer(Get("/api/integrity")); });
        const http::Response live = d.Answer(Get("/api/live"));
        if (concurrent)
            other.join();
        else
            integrity = d.Answer(Get("/api/integrity"));
        for (const http::Response *r : std::initializer_list<const http::Response *>{&live, &integrity})
            if (r->status != 200)
                return state.SkipWithError(r->body.c_str());
        bytes += live.body.size() + integrity.body.size();
        state.counters["bytes"] = double(bytes);
    }
}
BENCHMARK(BM_DashboardFirstAnswer)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// A record reaches the ledger, and the next poll of a page finds the shared answer too old: the live
// tables counted again.
void BM_DashboardLiveUpdate(benchmark::State &state)
{
    const std::string conninfo = Server().Conninfo();
    line::dashboard::Dashboard d(line::dashboard::LineSource(conninfo));
    line::LineLedger station(conninfo);
    static std::int64_t seq = 10'000'000; // one station's sequence across the benchmark's runs
    d.Answer(Get("/api/live"));
    for (auto _ : state) {
        state.PauseTiming();
        line::LedgerRecord r;
        r.kind = "test";
        r.tool = "benchmark";
        r.timeUtc = line::NowUtc();
        r.station = 3;
        r.host = "st3";
        char serial[24];
        std::snprintf(serial, sizeof serial, "L%lld", static_cast<long long>(seq));
        r.serial = serial;
        r.verdict = "pass";
        if (!station.Send({{++seq, r.ToJson()}}))
            return state.SkipWithError(station.Error().c_str());
        // A time of its own: the answer shared among pages is not used.
        const std::string at = QDateTime::currentDateTimeUtc().addMSecs(seq % 1000).toString(Qt::ISODateWithMs).toStdString();
        state.ResumeTiming();
        const http::Response live = d.Answer(Get("/api/live", {{"at", at}}));
        if (live.status != 200)
            return state.SkipWithError(live.body.c_str());
    }
}
BENCHMARK(BM_DashboardLiveUpdate)->UseRealTime()->Unit(benchmark::kMillisecond);

// One serial's whole history.
void BM_DashboardSerial(benchmark::State &state)
{
    line::dashboard::Dashboard d(line::dashboard::LineSource(Server().Conninfo()));
    int n = 0;
    for (auto _ : state) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "B%07d", int((n++ * 7919LL) % 480000));
        const http::Response r = d.Answer(Get("/api/serial", {{"serial", serial}}));
        if (r.status != 200)
            return state.SkipWithError(r.body.c_str());
    }
}
BENCHMARK(BM_DashboardSerial)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
