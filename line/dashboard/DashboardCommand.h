#pragma once
// `mfgkit dashboard [--listen ADDR:PORT] [--station]`: serves the line dashboard until SIGINT or SIGTERM.

#include <iosfwd>
#include <string>
#include <vector>

namespace line::dashboard {

// `ledgerPath`: the station's ledger; empty for $QT7730_LEDGER_DB or the machine's.
int RunDashboard(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                 const std::string &ledgerPath = {});

} // namespace line::dashboard
