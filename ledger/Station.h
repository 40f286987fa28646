#pragma once
// Who this station is, for the records: Numwell's station number (read from the machine's settings
// store, where Numwell keeps it; -1 before its first use) and the host name.

#include <string>

namespace line {

// Where Numwell keeps its station number: the library's own key and value names.
inline constexpr const char *kNumwellKey = "Software\\Veltrona\\QT7730 MFG Kit";
inline constexpr const char *kStationValue = "StationID";

struct StationIdentity {
    int station = -1;
    std::string host;
};

StationIdentity CurrentStation();

} // namespace line
