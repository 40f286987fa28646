#include "StationCheck.h"

#include "SettingsStore.h"
#include "SharedFiles.h"
#include "StationLedger.h"

namespace line {

std::vector<StationProblem> StationProblems()
{
    std::vector<StationProblem> problems;
    std::string why, what;
    if (!platform::CanWriteSharedDatabase(platform::MachineSettingsStore()->Location(), &why, &what))
        problems.push_back({StationProblem::What::SettingsStore, why, what});
    if (!platform::CanWriteSharedDatabase(LedgerPath(), &why, &what))
        problems.push_back({StationProblem::What::Ledger, why, what});
    return problems;
}

} // namespace line
