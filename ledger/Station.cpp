#include "Station.h"

#include "HostName.h"
#include "SettingsStore.h"

#include <cstdint>

namespace line {

StationIdentity CurrentStation()
{
    StationIdentity id;
    id.host = platform::HostName();
    if (auto store = platform::MachineSettingsStore()) {
        if (auto key = store->OpenKey(kNumwellKey, platform::SettingsAccess::Read)) {
            std::uint32_t value = 0, length = sizeof value;
            if (key->Read(kStationValue, &value, length) && length == sizeof value && value <= 15)
                id.station = int(value);
            key->Close();
        }
    }
    return id;
}

} // namespace line
