#pragma once
// The PC as the kit sees it through the bridge chip's driver on Windows: host controllers, hubs and
// the devices on their ports; the driver's device objects ("\\.\HOSTLNK-n") and their pipes; hub
// answers; the device manager's tree with instance IDs, driver keys and descriptions; the registry
// values the kit reads; binding by the driver's INF; pending installations and device-change
// notifications.
//
// It does not know what a device is made of. A device that does more than enumerate is a
// PluggedDevice: it answers control requests and carries transfers. The virtual bench plugs simulated
// cable sides in, the USB backend plugs the PC's live libusb devices in; the model names them, binds
// the bridge driver to them and hands their requests on.
//
// Two faces, like the bench that uses it: topology editing (AddController, AttachHub, Attach, Unplug,
// ...) throws std::invalid_argument on misuse; the PC face (Open, DeviceRequest, the device tree,
// the registry, ...) never throws and fails cleanly on any bad request. Thread-safe: one mutex guards
// the model, and a PluggedDevice is always called without it.

#include "Host.h" // the Windows-side codes and enums the model answers with (header only)

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pcmodel {

using platform::DevNode;

// Identifies a hub (root or external) or a device attached to a port. Unique for the model's
// lifetime; a device attached again later gets a new id.
using DeviceId = std::uint32_t;
// A handle of the PC face (an open control channel, pipe or hub). 0 is invalid; never reused.
using ObjectHandle = std::uint64_t;

struct PortRef {
    DeviceId hub = 0; // a root hub (from AddController) or an external hub
    int port = 0;     // 1 .. the hub's port count
};

enum class RegistryLayout {
    Nt,    // SYSTEM\CurrentControlSet\Enum\<id>\Device Parameters, "\??\" names, platform id 2
    Win9x, // Enum\<id>, "\DosDevices\" names, platform id 1
};

struct PcOptions {
    // The PC's Windows directory: a real directory; the driver's INF is "<dir>/INF/<driverInfName>".
    // Empty: no INF, so no device ever gets the bridge driver.
    std::filesystem::path systemDirectory;
    std::string driverInfName = "oem7.inf";
    RegistryLayout layout = RegistryLayout::Nt;
    // How long installations stay pending after each arrival.
    std::chrono::milliseconds installTime{0};
    // False models a PC whose pending-installation query is not available.
    bool pendingQueryAvailable = true;
};

// An ordinary device (mouse, flash drive, ...): it enumerates and nothing of the kit talks to it.
struct DeviceSpec {
    std::uint16_t vid = 0x046D;
    std::uint16_t pid = 0xC077;
    std::uint16_t revision = 0x0100;
    std::optional<std::string> description = "USB Input Device"; // none: no description property
    bool hasDriver = true;
    std::string driverClassGuid = "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}";
};

struct HubSpec {
    int ports = 4; // 1..255
    std::uint16_t vid = 0x05E3;
    std::uint16_t pid = 0x0610;
    std::string description = "Generic USB Hub";
};

// How a plugged device enumerated.
struct PluggedSpec {
    std::uint16_t vid = 0, pid = 0, revision = 0;
    std::uint8_t iSerial = 0;
    std::optional<std::string> description;
};

struct HubFaults {
    bool openFails = false;            // the hub cannot be opened by its name
    bool nodeInfoFails = false;        // node-information request fails
    int connectionInfoFailsPort = 0;   // connection-information request fails for this port; -1: all
    int connectionNameFailsPort = 0;   // connection-name request fails for this port; -1: all
};

// Faults of the driver's view of one device.
struct DeviceFaults {
    int driverKeyActualLength = -1; // >= 0: the hub's driver-key request answers this ActualLength
    bool pipesMissing = false;      // the control channel opens, the pipes "\2" and "\3" do not
};

// A device plugged into the model that answers control requests and carries transfers (a cable side
// of the bench, a live USB device). Always called without the model's lock.
class PluggedDevice {
public:
    virtual ~PluggedDevice() = default;
    // Success, the bytes that arrived (reads) and the count (reads: bytes arrived; writes: bytes sent).
    using Completion = std::function<void(bool ok, const std::vector<std::uint8_t>& data, std::uint32_t count)>;
    // One control transfer: `buffer` holds the 8-byte setup packet and then the data area; an IN
    // answer lands in the data area and `answered` is how many bytes the device really returned
    // (an OUT request: how many it took). True when the transfer succeeded.
    virtual bool ControlTransfer(std::uint8_t* buffer, std::uint32_t size, std::uint32_t* answered) = 0;
    // Starts a bulk read of up to `size` bytes, or a write of `data`, for the pipe object `tag`.
    // False when refused (no completion then); else `done` runs once, on any thread, possibly before
    // this returns. `done` must only record the result: it may run under the device's own lock.
    virtual bool StartTransfer(std::uint64_t tag, bool read, std::uint32_t size, std::vector<std::uint8_t> data,
                               Completion done) = 0;
    // Fails or cancels the transfers of `tag`; their completions have run when it returns.
    virtual void CancelTransfers(std::uint64_t tag) = 0;
    // A device object or pipe of the device is opened / closed (counted): the device is in use
    // from the first open to the last close. Acquire false makes the open fail.
    virtual bool Acquire() { return true; }
    virtual void Release() {}
    // The device left the model (unplugged, or behind a hub that was): whatever it still carries
    // fails now.
    virtual void Detached() {}
};

// A device's identity as it enumerates.
struct DeviceIdentity {
    std::uint16_t vid = 0, pid = 0, revision = 0;
    std::uint8_t iSerial = 0;
    std::optional<std::string> description;
    int hubPorts = 0; // 0: not a hub
};

// What sits on a port.
struct PortContent {
    enum Kind { Empty, Hub, Device } kind = Empty;
    DeviceId device = 0;
};

// A channel of a plugged device, opened directly on the wire (no driver needed).
enum class Channel { Control, ReadPipe, WritePipe };

class PcModel {
public:
    explicit PcModel(PcOptions options = {});
    ~PcModel();
    PcModel(const PcModel&) = delete;
    PcModel& operator=(const PcModel&) = delete;

    // ----- Topology ----------------------------------------------------------------------------

    // A host controller with its root hub; returns the root hub's id.
    DeviceId AddController(int rootHubPorts = 4);
    // Attaches a hub or an ordinary device to an empty port; returns its id. Hubs nest at most five
    // deep below the root hub (the USB tier limit).
    DeviceId AttachHub(PortRef at, const HubSpec& spec = {});
    DeviceId AttachDevice(PortRef at, const DeviceSpec& spec = {});
    // A device that talks (see PluggedDevice) on an empty port; returns its id. Bound to the bridge
    // driver when the INF lists its hardware ID. `attached` (may be empty) learns the id before the
    // arrival is announced, so whoever plugged the device knows it when the subscribers look.
    DeviceId Attach(PortRef at, const PluggedSpec& spec, std::shared_ptr<PluggedDevice> device,
                    const DeviceFaults& faults = {}, const std::function<void(DeviceId)>& attached = {});
    // Removes what is on the port (a hub with everything behind it), or the device `id` wherever it
    // is; nothing when the port is empty or the device gone. Removed devices are told (Detached).
    void Unplug(PortRef at);
    void Remove(DeviceId id);

    std::vector<DeviceId> RootHubs() const;
    int PortCount(DeviceId hub) const; // 0: not a hub
    PortContent Port(PortRef at) const;
    // Where an attached device or hub sits; nullopt for a root hub or a device not attached.
    std::optional<PortRef> WhereIs(DeviceId device) const;
    std::optional<DeviceIdentity> Identity(DeviceId device) const;
    // The instance ID of an attached device or hub; empty when not attached.
    std::string InstanceId(DeviceId device) const;
    // The device object number ("\\.\HOSTLNK-n") of a device, 0 when it has none.
    int DeviceObjectNumber(DeviceId device) const;
    // Devices the bridge driver took that got no device object (all 32 in use), said for the
    // operator with what to do; empty when there are none.
    std::string DeviceObjectNotice() const;

    void SetHubFaults(DeviceId hub, const HubFaults& faults);
    // False when the device is not attached.
    bool SetDeviceFaults(DeviceId device, const DeviceFaults& faults);
    // Ends every pending installation now.
    void FinishInstallations();

    // Writes the driver's INF into the system directory with one model line per hardware ID
    // ("USB\VID_xxxx&PID_xxxx"), in the layout the INF updater expects.
    void WriteDriverInf(const std::vector<std::string>& hardwareIds) const;
    std::filesystem::path DriverInfPath() const;
    const PcOptions& Options() const { return m_options; }

    // Opens a channel of a plugged device as the wire sees it, whether or not a driver is bound (an
    // emulated USB stack answers a PC's requests with it); pipes are overlapped. 0 when `device` is
    // not a plugged device. Used with DeviceRequest, StartRead/StartWrite, Cancel and Close.
    ObjectHandle OpenWire(DeviceId device, Channel channel);

    // ----- PC face: device objects -------------------------------------------------------------

    // Opens "\\.\NAME" (HOSTLNK-n, a device interface or hub name) with an optional "\2" / "\3" pipe
    // sub-path. `access` is a mask of platform::Access. 0 on any failure.
    ObjectHandle Open(std::string_view name, std::uint32_t access, bool overlapped);
    // Closes; outstanding transfers finish as failed before it returns. False for an unknown handle.
    bool Close(ObjectHandle handle);
    // A synchronous device request with one in/out buffer.
    bool DeviceRequest(ObjectHandle handle, std::uint32_t code, std::uint8_t* buffer, std::uint32_t size,
                       std::uint32_t* bytesReturned);

    using Completion = PluggedDevice::Completion;
    // Start a transfer on a pipe opened for overlapped I/O; false when refused (no completion then).
    // The completion may run before these return and must only record the result.
    bool StartRead(ObjectHandle handle, std::uint32_t size, Completion done);
    bool StartWrite(ObjectHandle handle, std::vector<std::uint8_t> data, Completion done);
    // Fails every outstanding transfer of the handle; their completions have run when it returns.
    bool Cancel(ObjectHandle handle);

    // ----- PC face: device manager, registry, system ----------------------------------------------

    std::vector<std::string> PresentInstanceIds(std::string_view enumerator) const;
    DevNode RootNode() const { return kRootNode; }
    DevNode Child(DevNode node) const;
    DevNode Sibling(DevNode node) const;
    DevNode Parent(DevNode node) const;
    std::optional<std::string> NodeProperty(DevNode node, std::uint32_t property) const;
    std::optional<std::string> NodeInstanceId(DevNode node) const;
    bool IsPresent(std::string_view instanceId) const;
    platform::InstallWait WaitNoPendingInstalls(std::uint32_t timeoutMs) const;

    std::optional<std::string> RegistryValue(std::string_view key, std::string_view value) const;
    void SetRegistryValue(std::string_view key, std::string_view value, std::string data);
    std::uint32_t PlatformId() const;

    // Called after every arrival and every removal of a device, outside the model's lock.
    using ChangeCallback = std::function<void(platform::DeviceChange)>;
    std::uint64_t Subscribe(ChangeCallback callback);
    // After it returns the callback is not running (unless called from inside it) and not called again.
    void Unsubscribe(std::uint64_t id);

private:
    struct Device;
    struct OpenObject;
    static constexpr DevNode kRootNode = 1;

    // Everything below runs with m_mutex held.
    Device* Find(DeviceId id) const;
    Device& HubAt(PortRef at) const;
    void CheckEmpty(PortRef at) const;
    Device& NewDevice(Device* parent, int port);
    Device& NewOnPort(PortRef at, std::uint16_t vid, std::uint16_t pid, std::uint16_t revision);
    void Register(Device& d);
    void RemoveLocked(Device& d, std::vector<std::shared_ptr<PluggedDevice>>& detached, int& removals);
    void Detach(std::vector<std::shared_ptr<PluggedDevice>> detached, int removals);
    // Removes what `find` names (under the lock; null: nothing), then tells the removed devices.
    void RemoveFound(const std::function<Device*()>& find);
    std::string AllocateDriverKey(const std::string& instanceId, const std::string& classGuid);
    bool InfListsHardwareId(const std::string& hardwareId, std::string* description) const;
    void PublishSymbolicName(Device& d);
    void RebuildTreeIndex() const;
    void BindBridgeDriver(Device& d);
    std::shared_ptr<PluggedDevice> DeviceOf(ObjectHandle handle, int kind) const;
    std::shared_ptr<PluggedDevice> PipeOf(ObjectHandle handle, int kind, const Completion& done) const;
    bool HubRequest(Device& hub, std::uint32_t code, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* returned);
    void NotifyAll(platform::DeviceChange change, int times = 1);
    std::string RegistryKeyFor(const std::string& instanceId) const;
    std::string SymbolicPrefix() const;

    const PcOptions m_options;
    mutable std::mutex m_mutex;

    std::map<DeviceId, std::unique_ptr<Device>> m_devices; // present devices, hubs and root hubs
    std::vector<DeviceId> m_controllers;                   // root hubs in controller order
    std::uint32_t m_nextId = 1;
    DevNode m_nextNode = kRootNode + 1;
    std::uint64_t m_nextSequence = 1;

    // Names of openable objects (upper case, without "\\.\") -> device.
    std::unordered_map<std::string, DeviceId> m_objectNames;
    std::array<DeviceId, 32> m_hostLinks{}; // HOSTLNK-(i+1) -> device, 0 = free
    std::map<std::string, std::string> m_driverKeys;         // instance ID -> driver key, kept like Windows does
    std::map<std::string, int> m_nextDriverNumber;           // class GUID -> next NNNN
    std::map<std::string, std::map<std::string, std::string>> m_registry; // upper key -> upper value -> data
    std::chrono::steady_clock::time_point m_pendingUntil{};

    // Device-tree index, rebuilt after changes so navigation is a lookup.
    struct NodeLinks {
        DevNode parent = 0, child = 0, sibling = 0;
        std::string instanceId, driverKey;
        std::optional<std::string> description;
    };
    mutable std::unordered_map<DevNode, NodeLinks> m_tree;
    mutable bool m_treeDirty = true;
    mutable std::unordered_map<std::string, DevNode> m_presentIds; // upper instance ID -> node

    std::map<ObjectHandle, std::unique_ptr<OpenObject>> m_objects;
    ObjectHandle m_nextHandle = 1;

    std::recursive_mutex m_notifyMutex; // held while callbacks run, so Unsubscribe can wait for them
    std::map<std::uint64_t, ChangeCallback> m_subscribers;
    std::uint64_t m_nextSubscriber = 1;
};

} // namespace pcmodel
