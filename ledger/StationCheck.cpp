#include "StationCheck.h"

#include "SettingsStore.h"
#include "SharedFiles.h"
#include "Station.h"
#include "StationLedger.h"

namespace line {

std::vector<StationProblem> StationProblems()
{
    std::vector<StationProblem> problems;
    std::string why, what;
    const auto store = platform::MachineSettingsStore();
    if (const std::string file = store->Location(); !file.empty()) {
        if (!platform::CanWriteSharedDatabase(file, &why, &what))
            problems.push_back({StationProblem::What::SettingsStore, why, what});
    } else if (!store->OpenKey(kNumwellKey, platform::SettingsAccess::ReadWrite) && !store->CreateKey(kNumwellKey)) {
        // A store with no file (the registry): Numwell's key itself, opened as Numwell opens it.
        const std::string key = std::string("HKEY_LOCAL_MACHINE\\") + kNumwellKey;
        problems.push_back({StationProblem::What::SettingsStore, key + " cannot be written by this user", key});
    }
    if (!platform::CanWriteSharedDatabase(LedgerPath(), &why, &what))
        problems.push_back({StationProblem::What::Ledger, why, what});
    return problems;
}

const char *StationProblemsRemedy()
{
#ifdef _WIN32
    return "Ask the station's administrator to install the kit with its installer (MSI) or to repair the "
           "installation: it lets every user of this PC write the station's data folder and Numwell's "
           "registry key.";
#else
    return "Ask the station's administrator to add you to the group qt7730-mfg, then log in again.";
#endif
}

} // namespace line
