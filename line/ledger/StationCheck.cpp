#include "StationCheck.h"

#include "SettingsStore.h"
#include "SharedFiles.h"
#include "StationLedger.h"

namespace line {

std::vector<StationProblem> StationProblems()
{
    std::vector<StationProblem> problems;
    std::string why;
    if (!platform::CanWriteSharedDatabase(platform::MachineSettingsStore()->Location(), &why))
        problems.push_back({StationProblem::What::SettingsStore, why});
    if (!platform::CanWriteSharedDatabase(LedgerPath(), &why))
        problems.push_back({StationProblem::What::Ledger, why});
    return problems;
}

} // namespace line
