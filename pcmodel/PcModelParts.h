#pragma once
// What the PC model's source files share: its device and open-object records and the Windows-style
// names and numbers they are built from. Private to pcmodel/.

#include "IniText.h"
#include "PcModel.h"

#include <cstdio>

namespace pcmodel {

// Invented in the Windows style; the USB ones are the well-known Windows values.
inline constexpr const char* kUsbClassGuid = "{36fc9e60-c465-11cf-8056-444553540000}";
inline constexpr const char* kHubInterfaceGuid = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
inline constexpr const char* kUsbDeviceInterfaceGuid = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
inline constexpr const char* kBridgeClassGuid = "{8f3e1a60-7730-4c2d-9b5e-0c5e77300001}";
inline constexpr const char* kBridgeInterfaceGuid = "{8f3e1a61-7730-4c2d-9b5e-0c5e77300002}";

std::string Format(const char* format, auto... args)
{
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

struct PcModel::Device {
    enum Kind { RootHub, Hub, Plain, Plugged } kind = Plain;
    DeviceId id = 0;
    Device* parent = nullptr;
    int port = 0;
    int depth = 0; // 0 for a root hub, 1 for what sits on a root hub port, ...
    std::uint64_t sequence = 0;
    DevNode node = 0;

    // Hubs.
    std::vector<DeviceId> ports;
    std::string hubDescription;
    HubFaults hubFaults;
    DevNode controllerNode = 0;
    std::string controllerId, controllerDriverKey;

    // Identity as enumerated.
    std::uint16_t vid = 0, pid = 0, revision = 0;
    std::uint8_t iSerial = 0;
    std::string instanceId;
    std::optional<std::string> description;
    std::string driverKey;    // empty: no driver
    std::string symbolicName; // without prefix; empty: none published
    int hostLink = 0;         // 1..32 for a bound device with a device object
    DeviceFaults faults;

    // Plugged devices: where their requests and transfers go.
    std::shared_ptr<PluggedDevice> plugged;

    bool IsHub() const { return kind == RootHub || kind == Hub; }
};

struct PcModel::OpenObject {
    enum Kind { Hub, Control, ReadPipe, WritePipe } kind = Control;
    DeviceId device = 0;
    bool overlapped = false;
    std::shared_ptr<PluggedDevice> plugged; // kept past an unplug, so closing still cancels its transfers
    bool acquired = false; // counted as an open of the device (wire channels are not)
};

} // namespace pcmodel
