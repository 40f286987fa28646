#pragma once
// Where the dashboard's numbers come from: the line's ledger on its PostgreSQL server, or a station's
// own SQLite ledger. Every number is counted by the database (indexed, parameterised queries); this
// side only names the tables and puts yields into per cent.

#include <QJsonArray>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QDateTime;

namespace line::dashboard {

// One table of the page: column names, and rows of cells (texts, numbers, booleans, null).
struct Table {
    std::vector<std::string> columns;
    QJsonArray rows;
};
using Tables = std::map<std::string, Table>;

// The times the page counts between, as the records write them ("2026-12-09T15:00:00.000Z"), so that
// the database compares texts and its time indexes serve.
struct Window {
    std::string end;        // now (or the time asked for): nothing after it counts
    std::string hour;       // the start of this hour
    std::string today;      // 00:00 UTC today
    std::string yesterday;  // 00:00 UTC the day before
    std::string dayAgo;     // the start of the hour 23 hours before this one: 24 hours of hourly rows
    static Window At(const QDateTime &utc);
};

// The tables each answer holds:
//   Live:      now, hourly_station, hourly_product, pareto_steps, pareto_fields, ports, stations
//   Integrity: duplicates, void
//   Serial:    serial_history, serial_state
class DashboardSource {
public:
    virtual ~DashboardSource() = default;
    // What the numbers come from, for the start-up line and the page's heading (no password).
    virtual std::string Describe() const = 0;
    virtual std::optional<Tables> Live(const Window &window, std::string *error) = 0;
    virtual std::optional<Tables> Integrity(std::string *error) = 0;
    virtual std::optional<Tables> Serial(const std::string &serial, std::string *error) = 0;
};

// The line's server (libpq connection string); its sessions are read-only.
std::unique_ptr<DashboardSource> LineSource(const std::string &conninfo);
// A station's ledger file, opened read-only. `outbox`: the station sends to a line server, so its
// records waiting to be sent are its backlog.
std::unique_ptr<DashboardSource> StationSource(const std::string &path, bool outbox);

// Shared by both sources: the "now" rows with their yields, and the state of a station whose last
// record is `minutes` old.
void AddNowRow(Table &now, const std::string &period, const std::string &from, const std::string &to,
               long programmed, long programFailed, long tested, long passed, long firstTests, long firstPassed,
               long finalPassed);
std::string StationState(double minutes);
// A field of either database's answer: as text ("" for NULL), as a number (0 for NULL or anything that
// is not wholly a number: a ledger file is outside bytes), as a JSON text (null for NULL), and a
// PostgreSQL boolean.
std::string Cell(const std::optional<std::string> &c);
long Num(const std::optional<std::string> &c);
QJsonValue Str(const std::optional<std::string> &c);
bool True(const std::optional<std::string> &c);
// The duplicate serials' table: serial, station, host.
void AddDuplicates(Table &duplicates, const std::vector<std::vector<std::optional<std::string>>> &rows);
// "field: expected -> found; ..." as `records --csv` writes the differing fields, from their JSON array.
std::string DifferingText(const std::string &json);
std::string DevicesText(const std::string &json);

} // namespace line::dashboard
