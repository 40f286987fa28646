#pragma once
// The virtual bench: a model of one PC's USB world and of the bridge chip's kernel driver. It stands
// in for host controllers, hubs, ordinary devices, bridge cables (one chip and one 256-byte EEPROM
// behind sides A and B), the driver's device objects and pipes, the device manager's tree, the
// registry keys the kit reads, pending installations and device-change notifications.
//
// Two faces:
// - the world face (controllers, hubs, devices, cables, plugging, faults, timing), used by tests and
//   by the bench daemon's control tool; misuse there throws std::invalid_argument;
// - the PC face (open, device requests, transfers, device manager, registry), which a Host backend
//   serves to the kit; it never throws and fails cleanly on any bad request.
//
// The model does not know how it is reached: platform/sim serves it in-process, a daemon can serve the
// same object over a socket. Thread-safe: one mutex guards the model.
//
// Transfer completions are delivered through callbacks that run with the bench's lock held, so they
// must only record the result (never call back into the bench). Notification callbacks run without the
// lock and may call anything.

#include "Host.h" // the Windows-side codes and enums the model answers with (header only)

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace bench {

using platform::DevNode;

// Identifies a hub (root or external) or a device attached to a port, for the world face. Unique for
// the bench's lifetime; a device re-attached later gets a new id.
using DeviceId = std::uint32_t;
using CableId = std::uint32_t;
// A handle of the PC face (an open control channel, pipe or hub). 0 is invalid; never reused.
using ObjectHandle = std::uint64_t;

enum class Side { A = 0, B = 1 };

struct PortRef {
    DeviceId hub = 0; // a root hub (from AddController) or an external hub
    int port = 0;     // 1 .. the hub's port count
};

enum class RegistryLayout {
    Nt,    // SYSTEM\CurrentControlSet\Enum\<id>\Device Parameters, "\??\" names, platform id 2
    Win9x, // Enum\<id>, "\DosDevices\" names, platform id 1
};

// Timing model, zero (instant) unless set.
struct BenchTiming {
    std::chrono::microseconds controlLatency{0};   // every vendor request on the control channel
    std::chrono::microseconds eepromWriteCycle{0}; // extra, per 8-byte EEPROM write block
    std::uint64_t bulkBytesPerSecond = 0;          // pipe throughput; 0 = instant
};

struct BenchOptions {
    // The PC's Windows directory: a real directory; the driver's INF is "<dir>/INF/<driverInfName>".
    // Empty: no INF, so no side ever gets the bridge driver.
    std::filesystem::path systemDirectory;
    std::string driverInfName = "oem7.inf";
    RegistryLayout layout = RegistryLayout::Nt;
    // How long installations stay pending after each plug-in.
    std::chrono::milliseconds installTime{0};
    // False models a PC whose pending-installation query is not available.
    bool pendingQueryAvailable = true;
    BenchTiming timing;
};

// An ordinary device (mouse, flash drive, ...).
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

// The chip of a bridge cable.
struct ChipSpec {
    std::uint16_t model = 0x7730;   // the default product ID while the EEPROM is not configured
    std::uint16_t version = 0x0100; // answer of the version query (any word, known or not)
    bool statusOnly = false;        // the chip refuses the version query, answers only the status query
    std::array<std::uint8_t, 2> status{0x08, 0x00}; // answer of the status query
};

using EepromBytes = std::array<std::uint8_t, 256>;

struct CableSpec {
    ChipSpec chip;
    EepromBytes eeprom = BlankEeprom();
    static EepromBytes BlankEeprom()
    {
        EepromBytes e;
        e.fill(0xFF);
        return e;
    }
};

// A change of one byte in the stream a side sends, at `offset` within each write transfer.
struct ByteFault {
    enum Kind { None, Drop, Repeat, Change } kind = None;
    std::uint32_t offset = 0;
};

// Faults of one cable side; they stay with the side across plug-ins.
struct SideFaults {
    bool allRequestsFail = false;       // every vendor request on this side's control channel fails
    int failRequest = -1;               // this bRequest code fails (-1: none)
    int failEepromBlock = -1;           // EEPROM read or write of block k (bytes 8k .. 8k+7) fails
    bool sendDead = false;              // what this side writes is lost (the write completes)
    ByteFault sendFault;                // corruption of what this side writes
    bool readStalls = false;            // reads on this side never complete
    bool writeStalls = false;           // writes on this side never complete
    int driverKeyActualLength = -1;     // >= 0: the hub's driver-key request answers this ActualLength
    bool pipesMissing = false;          // the control channel opens, the pipes "\2" and "\3" do not
    bool transfersRefused = false;      // reads and writes fail when they are issued
    bool chipSilent = false;            // the chip never answers a vendor request: each one fails when
                                        // the driver gives up on it (kSilentChipWait)
};

// How long the driver waits for a vendor request the chip never answers (the USB backend's control
// time-out is the same).
inline constexpr std::chrono::milliseconds kSilentChipWait{1000};

struct CableFaults {
    int flippedEepromBit = -1; // 0..2047: this EEPROM bit reads back flipped (byte = bit / 8)
};

struct HubFaults {
    bool openFails = false;            // the hub cannot be opened by its name
    bool nodeInfoFails = false;        // node-information request fails
    int connectionInfoFailsPort = 0;   // connection-information request fails for this port; -1: all
    int connectionNameFailsPort = 0;   // connection-name request fails for this port; -1: all
};

// A device of another world (the PC's live USB devices) that the PC face presents like one of its own:
// the PC face names it, binds the bridge driver to it by the INF and numbers its device object, while
// its vendor requests and pipe transfers go to the device itself. Called without the bench's lock.
class LiveDevice {
public:
    virtual ~LiveDevice() = default;
    using Completion = std::function<void(bool ok, const std::vector<std::uint8_t>& data, std::uint32_t count)>;
    // One control transfer: `buffer` holds the 8-byte setup packet and then the data area; an IN
    // answer lands in the data area and `answered` is how many bytes the device really returned
    // (an OUT request: how many it took). True when the transfer succeeded.
    virtual bool ControlTransfer(std::uint8_t* buffer, std::uint32_t size, std::uint32_t* answered) = 0;
    // Starts a bulk read of up to `size` bytes, or a write of `data`, for the pipe object `tag`.
    // False when refused (no completion then); else `done` runs once, on any thread.
    virtual bool StartTransfer(std::uint64_t tag, bool read, std::uint32_t size, std::vector<std::uint8_t> data,
                               Completion done) = 0;
    // Cancels the transfers of `tag`; their completions have run when it returns.
    virtual void CancelTransfers(std::uint64_t tag) = 0;
    // A device object or pipe of the device is opened / closed (counted): the device is in use
    // from the first open to the last close. Acquire false makes the open fail.
    virtual bool Acquire() { return true; }
    virtual void Release() {}
};

// How a live device enumerated.
struct LiveDeviceSpec {
    std::uint16_t vid = 0, pid = 0, revision = 0;
    std::uint8_t iSerial = 0;
    std::optional<std::string> description;
};

// A device's identity as it enumerates, for a world face that presents the bench elsewhere.
struct DeviceIdentity {
    std::uint16_t vid = 0, pid = 0, revision = 0;
    std::uint8_t iSerial = 0;
    std::optional<std::string> description;
    int hubPorts = 0; // 0: not a hub
    bool cableSide = false;
};

// A channel of a plugged cable side, opened directly on the wire (no driver needed).
enum class SideChannel { Control, ReadPipe, WritePipe };

// What the world face reports about a port.
struct PortState {
    enum Kind { Empty, Hub, Device, CableSide } kind = Empty;
    DeviceId device = 0;
    CableId cable = 0;
    Side side = Side::A;
};

class Bench {
public:
    explicit Bench(BenchOptions options = {});
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // ----- World face ------------------------------------------------------------------------

    // A host controller with its root hub; returns the root hub's id.
    DeviceId AddController(int rootHubPorts = 4);
    // Attaches a hub or an ordinary device to an empty port; returns its id. Hubs nest at most five
    // deep below the root hub (the USB tier limit).
    DeviceId AttachHub(PortRef at, const HubSpec& spec = {});
    DeviceId AttachDevice(PortRef at, const DeviceSpec& spec = {});

    CableId AddCable(const CableSpec& spec = {});
    // Plugs one side of a cable into an empty port. The side's identity comes from the EEPROM as it
    // is now; later EEPROM writes show at the next plug-in. Returns the side's device id.
    DeviceId PlugSide(CableId cable, Side side, PortRef at);
    // Removes what is on the port (a hub with everything behind it). Cables stay in the bench.
    void Unplug(PortRef at);
    // Unplugs a cable side wherever it is; nothing when it is not plugged in.
    void UnplugSide(CableId cable, Side side);

    // The topology as it stands: root hubs in controller order, a hub's port count (0: not a hub),
    // and what sits on a port.
    std::vector<DeviceId> RootHubs() const;
    int PortCount(DeviceId hub) const;
    PortState Port(PortRef at) const;
    std::optional<PortRef> WhereIs(CableId cable, Side side) const;
    std::vector<CableId> Cables() const;

    EepromBytes Eeprom(CableId cable) const;
    void SetEeprom(CableId cable, const EepromBytes& bytes);
    ChipSpec Chip(CableId cable) const;
    void SetChip(CableId cable, const ChipSpec& chip);

    void SetSideFaults(CableId cable, Side side, const SideFaults& faults);
    // The device is a cable side whose chip never answers (an emulated stack then leaves its requests
    // unanswered until they are given up).
    bool ChipSilent(DeviceId device) const;
    void SetCableFaults(CableId cable, const CableFaults& faults);
    void SetHubFaults(DeviceId hub, const HubFaults& faults);
    // For an ordinary device: the driver-key request answers this ActualLength (-1: normal).
    void SetDriverKeyFault(DeviceId device, int actualLength);

    void SetTiming(const BenchTiming& timing);
    // Ends every pending installation now.
    void FinishInstallations();

    // A device of another world on an empty port (see LiveDevice); returns its id. Bound to the
    // bridge driver when the INF lists its hardware ID, like a cable side.
    DeviceId AttachLive(PortRef at, const LiveDeviceSpec& spec, std::shared_ptr<LiveDevice> device);
    // The identity of an attached device or hub; nullopt when not attached.
    std::optional<DeviceIdentity> Identity(DeviceId device) const;
    // Opens a channel of a plugged cable side as the wire sees it, whether or not a driver is bound
    // (an emulated USB stack answers a PC's requests with it); pipes are overlapped. 0 when `device`
    // is not a plugged cable side. Used with DeviceRequest, StartRead/StartWrite, Cancel and Close.
    ObjectHandle OpenSide(DeviceId device, SideChannel channel);

    // Sides the bridge driver took that got no device object (all 32 in use), said for the operator
    // with what to do; empty when there are none.
    std::string DeviceObjectNotice() const;
    // The device object number ("\\.\HOSTLNK-n") of a side, 0 when it has none.
    int DeviceObjectNumber(CableId cable, Side side) const;
    // The instance ID of an attached device or hub; empty when not attached.
    std::string InstanceId(DeviceId device) const;

    // Writes the driver's INF into the system directory with one model line per hardware ID
    // ("USB\VID_xxxx&PID_xxxx"), in the layout the INF updater expects.
    void WriteDriverInf(const std::vector<std::string>& hardwareIds) const;
    std::filesystem::path DriverInfPath() const;

    const BenchOptions& Options() const { return m_options; }

    // ----- PC face: device objects -------------------------------------------------------------

    // Opens "\\.\NAME" (HOSTLNK-n, a device interface or hub name) with an optional "\2" / "\3" pipe
    // sub-path. `access` is a mask of platform::Access. 0 on any failure.
    ObjectHandle Open(std::string_view name, std::uint32_t access, bool overlapped);
    // Closes; outstanding transfers finish as failed before it returns. False for an unknown handle.
    bool Close(ObjectHandle handle);
    // A synchronous device request with one in/out buffer.
    bool DeviceRequest(ObjectHandle handle, std::uint32_t code, std::uint8_t* buffer, std::uint32_t size,
                       std::uint32_t* bytesReturned);

    // Called once when a transfer finishes, with the bench's lock held: success, and for reads the
    // bytes that arrived (for writes the count sent).
    using Completion = LiveDevice::Completion;
    // Start a transfer on a pipe opened for overlapped I/O; false when refused (no completion then).
    // The completion may run before these return.
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

    // Called after every arrival and every removal of a device, outside the bench's lock.
    using ChangeCallback = std::function<void(platform::DeviceChange)>;
    std::uint64_t Subscribe(ChangeCallback callback);
    // After it returns the callback is not running (unless called from inside it) and not called again.
    void Unsubscribe(std::uint64_t id);

private:
    struct Device;
    struct Cable;
    struct Transfer;
    struct OpenObject;
    static constexpr DevNode kRootNode = 1;

    // Everything below runs with m_mutex held.
    Device* Find(DeviceId id) const;
    Cable& CableOf(CableId id) const;
    Device& HubAt(PortRef at) const;
    void CheckEmpty(PortRef at) const;
    Device& NewDevice(Device* parent, int port);
    void Register(Device& d);
    void Remove(Device& d, std::vector<platform::DeviceChange>& changes);
    std::string AllocateDriverKey(const std::string& instanceId, const std::string& classGuid);
    bool InfListsHardwareId(const std::string& hardwareId, std::string* description) const;
    void PublishSymbolicName(Device& d);
    void RebuildTreeIndex() const;
    void BindBridgeDriver(Device& d);
    std::shared_ptr<LiveDevice> LiveOf(ObjectHandle handle) const;
    bool HubRequest(Device& hub, std::uint32_t code, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* returned);
    bool VendorRequest(Device& side, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* returned);
    void Pump(Cable& cable);
    void Finish(std::unique_ptr<Transfer> t, bool ok);
    void FailTransfersOf(ObjectHandle handle);
    void SchedulerLoop();
    void NotifyAll(const std::vector<platform::DeviceChange>& changes);
    std::string RegistryKeyFor(const std::string& instanceId) const;
    std::string SymbolicPrefix() const;

    BenchOptions m_options;
    mutable std::mutex m_mutex;

    std::map<DeviceId, std::unique_ptr<Device>> m_devices; // present devices, hubs and root hubs
    std::vector<DeviceId> m_controllers;                   // root hubs in controller order
    std::map<CableId, std::unique_ptr<Cable>> m_cables;
    std::uint32_t m_nextId = 1;
    DevNode m_nextNode = kRootNode + 1;
    std::uint64_t m_nextSequence = 1;

    // Names of openable objects (upper case, without "\\.\") -> device.
    std::unordered_map<std::string, DeviceId> m_objectNames;
    std::array<DeviceId, 32> m_hostLinks{}; // HOSTLNK-(i+1) -> side device, 0 = free
    std::map<std::string, std::string> m_driverKeys;         // instance ID -> driver key, kept like Windows does
    std::map<std::string, int> m_nextDriverNumber;           // class GUID -> next NNNN
    std::map<std::string, std::map<std::string, std::string>> m_registry; // upper key -> upper value -> data
    std::chrono::steady_clock::time_point m_pendingUntil{};

    // Device-tree index, rebuilt after changes so navigation is a lookup.
    struct NodeLinks {
        DevNode parent = 0, child = 0, sibling = 0;
        const Device* device = nullptr; // null for the root and controller nodes
        std::string instanceId, driverKey;
        std::optional<std::string> description;
    };
    mutable std::unordered_map<DevNode, NodeLinks> m_tree;
    mutable bool m_treeDirty = true;
    mutable std::unordered_map<std::string, DevNode> m_presentIds; // upper instance ID -> node

    std::map<ObjectHandle, std::unique_ptr<OpenObject>> m_objects;
    ObjectHandle m_nextHandle = 1;

    // Completions delayed by the throughput model; the scheduler thread runs them when due.
    std::multimap<std::chrono::steady_clock::time_point, std::unique_ptr<Transfer>> m_delayed;
    std::condition_variable m_schedulerWake;
    bool m_stopping = false;
    std::thread m_scheduler; // started with the first delayed completion, joined by the destructor

    std::recursive_mutex m_notifyMutex; // held while callbacks run, so Unsubscribe can wait for them
    std::map<std::uint64_t, ChangeCallback> m_subscribers;
    std::uint64_t m_nextSubscriber = 1;
};

} // namespace bench
