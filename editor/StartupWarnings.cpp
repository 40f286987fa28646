#include "StartupWarnings.h"

#include "StationCheck.h"

namespace editor {

std::string StartupWarnings(const std::string &hostProblem)
{
    std::string text = hostProblem;
    const auto add = [&text](const std::string &paragraph) { text += (text.empty() ? "" : "\n\n") + paragraph; };
    for (const line::StationProblem &problem : line::StationProblems()) {
        if (problem.what == line::StationProblem::What::SettingsStore)
            add("Serial numbers cannot be issued on this station: the settings store cannot be written (" +
                problem.detail + ").");
        else
            add("Programmed cables cannot be recorded in the station's ledger (" + problem.detail + ").");
    }
    if (text != hostProblem)
        add(line::StationProblemsRemedy());
    return text;
}

} // namespace editor
