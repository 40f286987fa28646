#pragma once
// The line dashboard: one page (its HTML, script and style built into the program) and its JSON API,
// answered from a DashboardSource. Read-only. Answers of the live tables are shared by every client
// for half a second, so sixty-four pages polling once a second cost the database about two queries
// a second, not sixty-four.

#include "DashboardSource.h"
#include "HttpServer.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace line::dashboard {

class Dashboard {
public:
    explicit Dashboard(std::unique_ptr<DashboardSource> source);

    // Adds the page and the API to `server`:
    //   /                    the page; /dashboard.js, /dashboard.css its script and style
    //   /api/live[?at=T]     now, hourly_station, hourly_product, pareto_steps, pareto_fields, ports, stations
    //   /api/integrity       duplicates, void
    //   /api/serial?serial=S serial_history, serial_state
    //   /api/csv?table=NAME[&at=T][&serial=S]   one table as CSV (texts protected for spreadsheets)
    // T is an ISO 8601 time (default: now). Errors answer {"error": "..."}.
    void Install(http::Server &server);

    http::Response Answer(const http::Request &request);

private:
    struct Cached {
        std::chrono::steady_clock::time_point at;
        std::string key;
        Tables tables;
    };
    std::optional<Tables> LiveTables(const std::string &at, std::string *error, int *status);
    std::optional<Tables> IntegrityTables(std::string *error);
    http::Response Api(const http::Request &request);

    std::unique_ptr<DashboardSource> m_source;
    // One question of each kind (live, integrity, serial) at a time, each kind with its cache; the kinds
    // are answered side by side (a source answers each kind on a connection of its own).
    std::mutex m_liveMutex, m_integrityMutex, m_serialMutex;
    std::optional<Cached> m_live, m_integrity;
};

// A table as CSV: a header line, then the rows (RFC 4180 quoting, "\r\n" line ends); every text cell that
// a spreadsheet would take for a formula gets the leading apostrophe of `records --csv`.
std::string TableCsv(const Table &table);

} // namespace line::dashboard
