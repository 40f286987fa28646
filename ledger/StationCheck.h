#pragma once
// What keeps this user from keeping the station's records: Numwell's settings store (the station
// number and the serial counter) or the ledger cannot be written. Asked when a program starts, so
// that the operator learns it from the window before a cable is touched, not from a lost record.

#include <string>
#include <vector>

namespace line {

struct StationProblem {
    enum class What { SettingsStore, Ledger };
    What what;
    std::string detail; // the file or folder, and why: "/var/lib/.../ledger.db cannot be written by this user"
    std::string path;   // that file or folder alone
};

std::vector<StationProblem> StationProblems();

// What the operator asks for when there are such problems, as one sentence: on Linux to be put in the
// kit's group; on Windows for the kit's installation (or its repair), which lets every user of the PC
// write the data folder and Numwell's registry key.
const char *StationProblemsRemedy();

} // namespace line
