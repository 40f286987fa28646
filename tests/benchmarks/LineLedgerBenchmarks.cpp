// The line ledger on a real PostgreSQL server with durable commits (fsync and synchronous_commit on):
// records per second into the server, and the time from a record's commit in the station's ledger to
// its commit on the server.

#include "LineCommands.h"
#include "LineLedger.h"
#include "OutboxSender.h"
#include "PgServer.h"
#include "StationLedger.h"
#include "TempDir.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>

#include <sys/resource.h>

namespace {

PgServer &Server() {
    static PgServer server(/*durable=*/true);
    static const bool ready = [] {
        line::LineLedger l(server.Conninfo());
        return l.Init();
    }();
    if (!ready) throw std::runtime_error("line ledger init failed");
    return server;
}

// Each run of a benchmark is a new station ledger, so it is a new station (host) to the server too.
std::string NewHost() {
    static int runs = 0;
    return "bench-" + std::to_string(++runs);
}

line::LedgerRecord Record(int station, const std::string &host, std::int64_t n) {
    line::LedgerRecord r;
    r.kind = line::LedgerRecord::kProgram;
    r.tool = "benchmark";
    r.timeUtc = line::NowUtc();
    r.station = station;
    r.host = host;
    char serial[32];
    std::snprintf(serial, sizeof serial, "%X061205%05lld", station, static_cast<long long>(n));
    r.serial = serial;
    r.imageSha256 = std::string(64, 'a');
    r.chipModel = 0x7730;
    r.chipVersion = 0x8005;
    r.devices = {"\\\\.\\HOSTLNK-1", "\\\\.\\HOSTLNK-2"};
    r.steps = {{"Write EEPROM", "OK"}, {"Read back", "OK"}};
    r.verdict = line::LedgerRecord::kPass;
    r.durationMs = 1200;
    return r;
}

// Batches as the outbox sender sends them: one server transaction (one durable commit) per batch.
void BM_LineSend(benchmark::State &state) {
    const std::string host = NewHost();
    line::LineLedger server(Server().Conninfo());
    const auto batch = static_cast<std::size_t>(state.range(0));
    std::int64_t seq = 0;
    for (auto _ : state) {
        std::vector<line::OutboxRow> rows;
        for (std::size_t i = 0; i < batch; ++i) {
            ++seq;
            rows.push_back({seq, Record(1, host, seq).ToJson()});
        }
        if (!server.Send(rows)) state.SkipWithError(server.Error().c_str());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(batch));
}
BENCHMARK(BM_LineSend)->Arg(1)->Arg(20)->Arg(200)->UseRealTime()->Unit(benchmark::kMillisecond);

// One cable's record: appended durably to the station's ledger, then sent by the running sender. The
// time runs from Append's return (the station's commit) until the sender reports the outbox empty,
// i.e. after the server's commit and the local mark: an upper bound of the station-to-server latency.
void BM_StationToServerLatency(benchmark::State &state) {
    TempDir dir;
    const std::string host = NewHost();
    const std::string db = dir.file("station.db");
    line::StationLedger ledger;
    if (!ledger.Open(db)) return state.SkipWithError("station ledger");
    line::OutboxSender sender(std::make_unique<line::SqliteOutbox>(db), Server().Conninfo());
    sender.Drain(std::chrono::seconds(10));
    std::int64_t n = 0;
    for (auto _ : state) {
        if (!ledger.Append(Record(15, host, ++n))) return state.SkipWithError("append");
        const auto start = std::chrono::steady_clock::now();
        sender.Wake();
        if (!sender.Drain(std::chrono::seconds(10))) return state.SkipWithError("not sent");
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}
BENCHMARK(BM_StationToServerLatency)->UseManualTime()->Unit(benchmark::kMillisecond);

// A station appending cable after cable while its sender runs beside it: records per second through
// both durable commits, as seen at the server.
void BM_StationThroughput(benchmark::State &state) {
    TempDir dir;
    const std::string host = NewHost();
    const std::string db = dir.file("station.db");
    line::StationLedger ledger;
    if (!ledger.Open(db)) return state.SkipWithError("station ledger");
    line::OutboxSender sender(std::make_unique<line::SqliteOutbox>(db), Server().Conninfo());
    std::int64_t n = 0;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            if (!ledger.Append(Record(14, host, ++n))) return state.SkipWithError("append");
            sender.Wake();
        }
        if (!sender.Drain(std::chrono::seconds(30))) return state.SkipWithError("not sent");
    }
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_StationThroughput)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// `mfgkit records --line --csv` over a line of 1,000,000 records (made on the server at the first run):
// the time, and how much the process's peak memory grew (it stays flat: the records stream through a
// cursor, a batch at a time).
void BM_LineRecordsMillion(benchmark::State &state) {
    static const bool seeded = [] {
        line::PgConnection db;
        if (!db.Connect(Server().Conninfo(), std::chrono::seconds(5))) return false;
        return db.Exec(
                   "INSERT INTO records (station, host, seq, kind, serial, passed, recorded_at, body) "
                   "SELECT 5, 'million', n, 'test', '5261209' || lpad(n::text, 7, '0'), n % 10 <> 0, "
                   "'2026-12-09T' || to_char(n % 86400 * interval '1 second', 'HH24:MI:SS') || '.000Z', "
                   "jsonb_build_object('kind', 'test', 'station', 5, 'host', 'million', 'serial', "
                   "'5261209' || lpad(n::text, 7, '0'), 'verdict', CASE WHEN n % 10 <> 0 THEN 'pass' ELSE 'fail' END, "
                   "'steps', jsonb_build_array(jsonb_build_object('name', 'Check chip version', 'result', 'OK'))) "
                   "FROM generate_series(1, 1000000) AS n ON CONFLICT DO NOTHING",
                   {}, std::chrono::minutes(10))
            .has_value();
    }();
    if (!seeded) {
        state.SkipWithError("could not make the million records");
        return;
    }
    setenv("QT7730_LEDGER", Server().Conninfo().c_str(), 1);
    long grew = 0;
    for (auto _ : state) {
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        std::ofstream sink("/dev/null");
        std::ostringstream err;
        if (line::RunLineRecords("", "", line::RecordsFormat::Csv, sink, err) != 0) state.SkipWithError(err.str().c_str());
        getrusage(RUSAGE_SELF, &after);
        grew = after.ru_maxrss - before.ru_maxrss;
    }
    unsetenv("QT7730_LEDGER");
    state.counters["peak_rss_growth_MiB"] = double(grew) / 1024.0;
    state.SetItemsProcessed(state.iterations() * 1000000);
}
BENCHMARK(BM_LineRecordsMillion)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
