#include "LineLedger.h"

// The line ledger's schema: its versions, the indexes and views made at every `ledger init`, the
// reader role, and the check a station makes before it sends.

namespace line {
namespace {

// Each step upgrades the schema by one version and sets the version in the same transaction. Steps
// are never edited once released; a change is a new step.
const char *const kMigrations[] = {
    // 1: the records of every station and the serial numbers issued on the line.
    R"sql(
CREATE TABLE line_schema (version integer NOT NULL);
INSERT INTO line_schema VALUES (0);
CREATE TABLE records (
    station     integer NOT NULL,
    host        text    NOT NULL,
    seq         bigint  NOT NULL,
    kind        text    NOT NULL,
    serial      text,
    passed      boolean NOT NULL,
    recorded_at text    NOT NULL,
    body        jsonb   NOT NULL,
    received_at timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (station, host, seq)
);
CREATE TABLE serials (
    serial      text PRIMARY KEY,
    station     integer NOT NULL,
    host        text    NOT NULL,
    issued_on   date    NOT NULL,
    confirmed   boolean NOT NULL DEFAULT false,
    reserved_at timestamptz NOT NULL DEFAULT now()
);
)sql",
    // 2: the line's queries look records up by serial and by time.
    R"sql(
CREATE INDEX records_serial ON records (serial) WHERE serial IS NOT NULL;
CREATE INDEX records_time ON records (recorded_at);
)sql",
    // 3: numbers leased in blocks by a station ledger (its random instance id), void numbers with their
    // reason, and which host holds each station number.
    R"sql(
ALTER TABLE serials ADD COLUMN ledger_id text;
ALTER TABLE serials ADD COLUMN void_reason text;
CREATE TABLE stations (
    number    integer PRIMARY KEY,
    host      text    NOT NULL,
    ledger_id text    NOT NULL,
    since     timestamptz NOT NULL DEFAULT now()
);
)sql",
};
constexpr int kVersion = static_cast<int>(sizeof kMigrations / sizeof *kMigrations);

// Indexes for the line's queries and views for other dashboard tools. They change nothing a station
// writes or reads, so they are no schema version of their own: stations of an older mfgkit go on
// sending to a server that has them. Made (or remade) at every `ledger init`; each statement may run
// again. Views run with their owner's rights, so a reader role needs rights on the views alone.
std::string ExtrasSql() {
    return std::string(R"sql(
CREATE INDEX IF NOT EXISTS records_serial_kind_time ON records (serial, kind, recorded_at) INCLUDE (passed) WHERE serial IS NOT NULL;
CREATE INDEX IF NOT EXISTS records_station_time ON records (station, host, recorded_at);
CREATE INDEX IF NOT EXISTS records_time_kind ON records (recorded_at, kind) INCLUDE (passed);
CREATE INDEX IF NOT EXISTS records_failed_time ON records (recorded_at) WHERE NOT passed;
CREATE INDEX IF NOT EXISTS records_programmed ON records (serial, station, host) WHERE kind = 'program' AND passed;
CREATE INDEX IF NOT EXISTS serials_unconfirmed ON serials (issued_on) WHERE NOT confirmed;
-- Serials programmed (passed) by more than one station, noted as their records arrive (whichever
-- mfgkit sends them), so that the dashboard lists them without reading every programmed serial of the
-- line. Judged once per statement (a station's whole batch) under one lock, so that two stations
-- sending the same number at once each see the other's record, and a batch of any size takes one lock.
-- Filled from the records at every init (the trigger is made first, in the same transaction, so nothing
-- arriving meanwhile is missed). It runs with its owner's rights: stations' roles need none on the table.
CREATE TABLE IF NOT EXISTS line_duplicate_serials (serial text PRIMARY KEY);
CREATE OR REPLACE FUNCTION line_note_duplicates() RETURNS trigger LANGUAGE plpgsql
    SECURITY DEFINER SET search_path FROM CURRENT AS $f$
BEGIN
    IF EXISTS (SELECT 1 FROM arrived WHERE kind = 'program' AND passed AND serial IS NOT NULL) THEN
        PERFORM pg_advisory_xact_lock(77300016);
        INSERT INTO line_duplicate_serials
        SELECT DISTINCT a.serial FROM arrived a WHERE a.kind = 'program' AND a.passed AND a.serial IS NOT NULL
        AND EXISTS (SELECT 1 FROM records r WHERE r.kind = 'program' AND r.passed AND r.serial = a.serial
                    AND (r.station <> a.station OR r.host <> a.host))
        ON CONFLICT DO NOTHING;
    END IF;
    RETURN NULL;
END
$f$;
CREATE OR REPLACE TRIGGER records_note_duplicates AFTER INSERT ON records REFERENCING NEW TABLE AS arrived
    FOR EACH STATEMENT EXECUTE FUNCTION line_note_duplicates();
INSERT INTO line_duplicate_serials
SELECT serial FROM records WHERE kind = 'program' AND passed AND serial IS NOT NULL
GROUP BY serial HAVING min(station) <> max(station) OR min(host) <> max(host) ON CONFLICT DO NOTHING;
-- A record's time as the station wrote it; a text that is no time gives NULL instead of failing the view.
CREATE OR REPLACE FUNCTION line_time(t text) RETURNS timestamptz LANGUAGE plpgsql STABLE AS $f$
BEGIN
    RETURN t::timestamptz;
EXCEPTION WHEN others THEN
    RETURN NULL;
END
$f$;
CREATE OR REPLACE FUNCTION line_array(j jsonb) RETURNS jsonb LANGUAGE sql IMMUTABLE AS
$f$ SELECT CASE WHEN jsonb_typeof(j) = 'array' THEN j ELSE '[]'::jsonb END $f$;
CREATE OR REPLACE VIEW line_attempts AS
)sql") + linesql::kStationsCte + R"sql(
SELECT line_time(r.recorded_at) AS time, r.received_at AS received, )sql" + linesql::kCountedStation +
           R"sql( AS station, r.host, r.kind, r.serial, r.passed,
       CASE WHEN r.serial IS NULL THEN 1
            ELSE row_number() OVER (PARTITION BY r.serial, r.kind ORDER BY r.recorded_at, r.station, r.host, r.seq) END AS attempt,
       )sql" + linesql::kFailedStep + R"sql( AS failed_step,
       r.body->>'image_sha256' AS product, r.body->>'tool' AS tool,
       line_array(r.body->'devices') AS devices, line_array(r.body->'differing') AS differing, r.seq,
       line_array(r.body->'ports') AS ports
FROM records r LEFT JOIN known k ON k.host = r.host;
CREATE OR REPLACE VIEW line_hourly_yield AS
SELECT date_trunc('hour', time) AS time, station, host, kind, product, count(*) AS attempts,
       count(*) FILTER (WHERE passed) AS passed, count(*) FILTER (WHERE attempt = 1) AS first_attempts,
       count(*) FILTER (WHERE attempt = 1 AND passed) AS first_passed
FROM line_attempts GROUP BY 1, 2, 3, 4, 5;
CREATE OR REPLACE VIEW line_field_failures AS
SELECT a.time, a.station, a.host, a.kind, a.serial, a.attempt, a.failed_step, f->>'field' AS field,
       f->>'expected' AS expected, f->>'found' AS found
FROM line_attempts a CROSS JOIN LATERAL jsonb_array_elements(a.differing) AS f WHERE NOT a.passed;
CREATE OR REPLACE VIEW line_station_freshness AS
SELECT station, host, max(time) AS time, max(received) AS received,
       count(*) FILTER (WHERE time > now() - interval '1 hour') AS records_last_hour,
       CASE WHEN max(time) > now() - interval '10 minutes' THEN 'working'
            WHEN max(time) > now() - interval '1 hour' THEN 'idle' ELSE 'silent' END AS state
FROM line_attempts GROUP BY station, host;
)sql";
}
const char *const kViews[] = {"line_attempts", "line_hourly_yield", "line_field_failures", "line_station_freshness"};

std::string NewerThanThisProgram(int version) {
    return "the line server's ledger schema is version " + std::to_string(version) + ", newer than this program knows (" +
           std::to_string(kVersion) + "): update mfgkit on this station";
}

// Serialises schema changes of concurrent `ledger init`s on one server.
constexpr const char *kSchemaLock = "SELECT pg_advisory_xact_lock(77300015)";

}  // namespace

namespace linesql {
const char *const kStationsCte =
    "WITH RECURSIVE pairs AS ("
    "(SELECT station, host FROM records ORDER BY station, host LIMIT 1) UNION ALL "
    "SELECT n.station, n.host FROM pairs p CROSS JOIN LATERAL (SELECT station, host FROM records x "
    "WHERE (x.station, x.host) > (p.station, p.host) ORDER BY x.station, x.host LIMIT 1) n), "
    "known AS (SELECT host, min(station) AS number FROM pairs WHERE station >= 0 GROUP BY host HAVING count(*) = 1)";
const char *const kCountedStation = "(CASE WHEN r.station < 0 THEN COALESCE(k.number, r.station) ELSE r.station END)";
// Through the index records_programmed: more than one (station, host) for a serial shows as min <> max.
// (The dashboard reads the same serials from line_duplicate_serials, kept up to date as records arrive.)
const char *const kDuplicates =
    "SELECT DISTINCT serial, station, host FROM records WHERE kind = 'program' AND passed AND serial IN "
    "(SELECT serial FROM records WHERE kind = 'program' AND passed AND serial IS NOT NULL "
    " AND ($1 = '' OR recorded_at >= $1) GROUP BY serial HAVING min(station) <> max(station) OR min(host) <> max(host)) "
    "ORDER BY 1, 2, 3";
const char *const kNotedDuplicates =
    "SELECT DISTINCT r.serial, r.station, r.host FROM line_duplicate_serials d JOIN records r "
    "ON r.serial = d.serial AND r.kind = 'program' AND r.passed ORDER BY 1, 2, 3";
const char *const kFailedStep =
    "(SELECT s->>'name' FROM jsonb_array_elements(CASE WHEN jsonb_typeof(r.body->'steps') = 'array' "
    "THEN r.body->'steps' ELSE '[]'::jsonb END) WITH ORDINALITY AS e(s, i) "
    "WHERE COALESCE(s->>'result', '') NOT IN ('OK', 'Skip') ORDER BY i LIMIT 1)";
}  // namespace linesql

int LineSchemaVersion() { return kVersion; }

std::optional<int> LineLedger::ReadVersion(std::string &error) {
    auto has = m_db.Exec("SELECT to_regclass('line_schema') IS NOT NULL", {}, m_timeout);
    if (!has) return error = "line server: " + m_db.Error(), std::nullopt;
    if (has->rows.at(0).at(0) != std::optional<std::string>("t")) return 0;
    auto v = m_db.Exec("SELECT max(version)::text FROM line_schema", {}, m_timeout);
    if (!v) return error = "line server: " + m_db.Error(), std::nullopt;
    const long long version = CellNumber(v->rows.at(0).at(0), -1);
    // A table of that name the kit did not make: neither created over nor upgraded.
    if (version < 0 || version > 1000000)
        return error = "the line server's database has a line_schema table that is not the kit's ledger: "
                       "use a database of its own for the line ledger", std::nullopt;
    return static_cast<int>(version);
}

bool LineLedger::Init(int *from, int *to) {
    if (!Open()) return false;
    if (!m_db.Exec("BEGIN", {}, m_timeout) || !m_db.Exec(kSchemaLock, {}, m_timeout)) {
        m_db.Exec("ROLLBACK");
        return Fail("line server: " + m_db.Error());
    }
    std::string error;
    const auto version = ReadVersion(error);
    if (!version) {
        m_db.Exec("ROLLBACK");
        return Fail(error);
    }
    if (from) *from = *version;
    if (to) *to = *version;
    if (*version > kVersion) {
        m_db.Exec("ROLLBACK");
        return Fail(NewerThanThisProgram(*version));
    }
    for (int v = *version; v < kVersion; ++v) {
        if (!m_db.ExecScript(kMigrations[v]) ||
            !m_db.Exec("UPDATE line_schema SET version = $1", {std::to_string(v + 1)}, m_timeout)) {
            std::string e = m_db.Error();
            m_db.Exec("ROLLBACK");
            return Fail("line server: upgrading the schema to version " + std::to_string(v + 1) +
                        " failed: " + e);
        }
    }
    // "already exists, skipping" is what a second init is expected to hear: not worth a line on stderr.
    if (!m_db.Exec("SET LOCAL client_min_messages = warning", {}, m_timeout) || !m_db.ExecScript(ExtrasSql())) {
        std::string e = m_db.Error();
        m_db.Exec("ROLLBACK");
        return Fail("line server: making the line's indexes and views failed: " + e);
    }
    if (!m_db.Exec("COMMIT", {}, m_timeout)) return Fail("line server: " + m_db.Error());
    if (to) *to = kVersion;
    return true;
}

bool LineLedger::CreateReader(const std::string &name) {
    // A plain name, so that it reads the same in every statement and in pg_hba.conf.
    bool plain = !name.empty() && name.size() <= 63 && !(name[0] >= '0' && name[0] <= '9');
    for (char c : name) plain = plain && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
    if (!plain) return Fail("a reader's name is lower-case letters, digits and '_' (at most 63), not a digit first");
    if (!CheckSchema()) return false;
    auto fail = [&] {
        const std::string e = m_db.Error();
        m_db.Exec("ROLLBACK");
        return Fail("line server: creating the reader " + name + " failed: " + e);
    };
    // One transaction under the schema lock: two inits making readers at once would otherwise both
    // create the role, or update its grants side by side ("tuple concurrently updated"), and one killed
    // half-way would leave a role without its grants.
    if (!m_db.Exec("BEGIN", {}, m_timeout) || !m_db.Exec(kSchemaLock, {}, m_timeout)) return fail();
    auto exists = m_db.Exec("SELECT 1 FROM pg_roles WHERE rolname = $1", {name}, m_timeout);
    if (!exists) return fail();
    std::vector<std::string> statements;
    if (exists->rows.empty()) statements.push_back("SELECT format('CREATE ROLE %I LOGIN', $1::text)");
    statements.push_back("SELECT format('GRANT USAGE ON SCHEMA public TO %I', $1::text)");
    std::string views;
    for (const char *v : kViews) views += (views.empty() ? "" : ", ") + std::string(v);
    statements.push_back("SELECT format('GRANT SELECT ON " + views + " TO %I', $1::text)");
    statements.push_back("SELECT format('ALTER ROLE %I SET default_transaction_read_only = on', $1::text)");
    for (const std::string &make : statements) {
        // The name is quoted by the server (format's %I), never pasted in by us.
        auto text = m_db.Exec(make, {name}, m_timeout);
        if (!text || text->rows.empty() || !text->rows[0][0] || !m_db.Exec(*text->rows[0][0], {}, m_timeout))
            return fail();
    }
    if (!m_db.Exec("COMMIT", {}, m_timeout)) return fail();
    return true;
}

bool LineLedger::CheckSchema() {
    if (!Open()) return false;
    std::string error;
    const auto v = ReadVersion(error);
    if (!v) return Fail(error);
    if (*v == 0) return Fail("the line server has no ledger schema yet: run 'mfgkit ledger init'");
    if (*v > kVersion) return Fail(NewerThanThisProgram(*v));
    if (*v < kVersion)
        return Fail("the line server's ledger schema is version " + std::to_string(*v) +
                    ", older than this program's (" + std::to_string(kVersion) + "): run 'mfgkit ledger init'");
    return true;
}

}  // namespace line
