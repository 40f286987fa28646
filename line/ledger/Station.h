#pragma once
// Who this station is, for the records: Numwell's station number (read from the machine's settings
// store, where Numwell keeps it; -1 before its first use) and the host name.

#include <string>

namespace line {

struct StationIdentity {
    int station = -1;
    std::string host;
};

StationIdentity CurrentStation();

} // namespace line
