#pragma once
// mfgkit's commands as a function of the command line and its surroundings, so tests run it on an
// in-process bench and the program's main() is a few lines.

#include "Host.h"
#include "LedgerRecord.h"
#include "SerialSource.h"

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace line {

enum ExitStatus : int {
    kExitOk = 0,        // every cable good
    kExitCableFailed = 1,
    kExitUsage = 2,     // bad arguments, an image that cannot be used, no display for Numwell
    kExitNoDevice = 3,  // no bench, no cable
    kExitLedger = 4,    // a record could not be stored (or the ledger read)
    kExitBusy = 5,      // another numbering run holds the station
};

struct MfgkitEnv {
    platform::Host *host = nullptr; // null: the process's Host
    std::ostream *out = nullptr;    // null: std::cout / std::cerr
    std::ostream *err = nullptr;
    bool terminal = false;          // stdout is a terminal: show a progress line while cables run
    std::string ledgerPath;         // empty: $QT7730_LEDGER_DB or the machine's ledger
    // Makes the serial source of --serial numwell; null: Numwell loaded from beside the program.
    std::function<std::unique_ptr<SerialSource>()> numwell;
    // Checks for a display before Numwell is started (tests that answer its dialogs offscreen say no).
    bool needDisplay = true;
    // Replaces the ledger's append (tests: a ledger that fails); null: the ledger's own.
    std::function<std::optional<std::int64_t>(const LedgerRecord &, std::string *error)> store;
};

// args: the arguments after the program name.
int RunMfgkit(const std::vector<std::string> &args, MfgkitEnv &env);

} // namespace line
