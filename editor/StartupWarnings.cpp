#include "StartupWarnings.h"

#ifndef KIT_NO_STATION_LEDGER
#include "StationCheck.h"
#endif

namespace editor {

std::string StartupWarnings(const std::string &hostProblem)
{
    std::string text = hostProblem;
    const auto add = [&text](const std::string &paragraph) { text += (text.empty() ? "" : "\n\n") + paragraph; };
#ifndef KIT_NO_STATION_LEDGER
    for (const line::StationProblem &problem : line::StationProblems()) {
        if (problem.what == line::StationProblem::What::SettingsStore)
            add("Serial numbers cannot be issued on this station: the settings store cannot be written (" +
                problem.detail + ").");
        else
            add("Programmed cables cannot be recorded in the station's ledger (" + problem.detail + ").");
    }
    if (text != hostProblem)
        add("Ask the station's administrator to add you to the group qt7730-mfg, then log in again.");
#endif
    return text;
}

} // namespace editor
