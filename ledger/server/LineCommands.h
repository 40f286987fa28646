#pragma once
// mfgkit's line commands: `ledger init|status|push`, `records --line`, `report --line`. Each writes its
// output to `out`, its errors to `err`, and returns the program's exit status.

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace line {

// Where the line's records go: QT7730_LEDGER holds the server's libpq connection string (key=value
// words or a postgresql:// URI). Unset or empty: no line server. Anything else is an error.
struct LineTarget {
    std::optional<std::string> conninfo;
    std::string error;
};
LineTarget LineTargetFromEnvironment();
std::string StationLedgerPath();  // QT7730_LEDGER_DB, or the machine's ledger

// `ledgerPath`: the station's ledger; empty for StationLedgerPath().
int RunLedgerCommand(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                     const std::string &ledgerPath = {});

enum class RecordsFormat { Text, Csv, Json };
int RunLineRecords(const std::string &since, const std::string &serial, RecordsFormat format, std::ostream &out,
                   std::ostream &err);
int RunLineReport(const std::string &since, std::ostream &out, std::ostream &err);

}  // namespace line
