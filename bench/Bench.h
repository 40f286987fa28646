#pragma once
// The virtual bench: the world of cables on a PC. Bridge cables (one chip and one 256-byte EEPROM
// behind sides A and B), their faults and timing, and the topology they are plugged into (host
// controllers, hubs, ordinary devices). The PC that sees them, with the chip's driver, its device
// objects, the device manager and the registry, is the PC model (pcmodel/): the bench plugs each
// cable side into it as a device that answers the chip's vendor requests and carries the pipes'
// data to the other side.
//
// Two faces:
// - the world face here (controllers, hubs, devices, cables, plugging, faults, timing), used by tests
//   and by the bench daemon's control tool; misuse throws std::invalid_argument;
// - the PC face, Pc(), which a Host backend serves to the kit; it never throws.
//
// The bench does not know how it is reached: platform/sim serves its PC model in-process, a daemon
// can serve the same object over a socket. Thread-safe.
//
// Transfer completions of cable sides run with the bench's lock held, so they must only record the
// result (never call back into the bench). Notification callbacks run without that lock, while the
// plug-in or unplug that caused them holds the bench's plug lock: they may call anything, but must not
// wait for another thread that plugs.

#include "PcModel.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// The PC's side of the world, as the PC model names it.
using pcmodel::DeviceId;
using pcmodel::DeviceSpec;
using pcmodel::HubFaults;
using pcmodel::HubSpec;
using pcmodel::ObjectHandle;
using pcmodel::PortRef;
using pcmodel::RegistryLayout;

using CableId = std::uint32_t;

enum class Side { A = 0, B = 1 };

// Timing model, zero (instant) unless set.
struct BenchTiming {
    std::chrono::microseconds controlLatency{0};   // every vendor request on the control channel
    std::chrono::microseconds eepromWriteCycle{0}; // extra, per 8-byte EEPROM write block
    std::uint64_t bulkBytesPerSecond = 0;          // pipe throughput; 0 = instant
};

// The PC (system directory, INF name, registry layout, installations) and the wire's timing.
struct BenchOptions : pcmodel::PcOptions {
    BenchTiming timing;
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

// A device's identity as it enumerates, for a world face that presents the bench elsewhere.
struct DeviceIdentity : pcmodel::DeviceIdentity {
    bool cableSide = false;
};

// A channel of a plugged cable side, opened directly on the wire (no driver needed).
using SideChannel = pcmodel::Channel;

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

    // The PC that sees this world: what a Host backend serves to the kit.
    pcmodel::PcModel& Pc() { return m_pc; }
    const pcmodel::PcModel& Pc() const { return m_pc; }

    // ----- World face ------------------------------------------------------------------------

    // A host controller with its root hub; returns the root hub's id.
    DeviceId AddController(int rootHubPorts = 4) { return m_pc.AddController(rootHubPorts); }
    // Attaches a hub or an ordinary device to an empty port; returns its id. Hubs nest at most five
    // deep below the root hub (the USB tier limit).
    DeviceId AttachHub(PortRef at, const HubSpec& spec = {}) { return m_pc.AttachHub(at, spec); }
    DeviceId AttachDevice(PortRef at, const DeviceSpec& spec = {}) { return m_pc.AttachDevice(at, spec); }

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
    std::vector<DeviceId> RootHubs() const { return m_pc.RootHubs(); }
    int PortCount(DeviceId hub) const { return m_pc.PortCount(hub); }
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
    void SetHubFaults(DeviceId hub, const HubFaults& faults) { m_pc.SetHubFaults(hub, faults); }
    // For an ordinary device: the driver-key request answers this ActualLength (-1: normal).
    void SetDriverKeyFault(DeviceId device, int actualLength);

    void SetTiming(const BenchTiming& timing);
    // Ends every pending installation now.
    void FinishInstallations() { m_pc.FinishInstallations(); }

    // The identity of an attached device or hub; nullopt when not attached.
    std::optional<DeviceIdentity> Identity(DeviceId device) const;
    // Opens a channel of a plugged cable side as the wire sees it, whether or not a driver is bound
    // (an emulated USB stack answers a PC's requests with it); pipes are overlapped. 0 when `device`
    // is not a plugged cable side. Used with the PC face's DeviceRequest, StartRead/StartWrite,
    // Cancel and Close.
    ObjectHandle OpenSide(DeviceId device, SideChannel channel);

    // Sides the bridge driver took that got no device object (all 32 in use), said for the operator
    // with what to do; empty when there are none.
    std::string DeviceObjectNotice() const { return m_pc.DeviceObjectNotice(); }
    // The device object number ("\\.\HOSTLNK-n") of a side, 0 when it has none.
    int DeviceObjectNumber(CableId cable, Side side) const;
    // The instance ID of an attached device or hub; empty when not attached.
    std::string InstanceId(DeviceId device) const { return m_pc.InstanceId(device); }

    // Writes the driver's INF into the system directory with one model line per hardware ID
    // ("USB\VID_xxxx&PID_xxxx"), in the layout the INF updater expects.
    void WriteDriverInf(const std::vector<std::string>& hardwareIds) const { m_pc.WriteDriverInf(hardwareIds); }
    std::filesystem::path DriverInfPath() const { return m_pc.DriverInfPath(); }

    BenchOptions Options() const;

private:
    class SideDevice;
    struct Transfer;
    struct Cable;
    using Completion = pcmodel::PluggedDevice::Completion;

    static pcmodel::DeviceFaults DriverFaults(const SideFaults& faults);
    std::shared_ptr<pcmodel::PluggedDevice> NewSideDevice(CableId cable, Side side);
    void SchedulerLoop();

    // Everything below runs with m_mutex held.
    Cable& CableOf(CableId id) const;
    // The cable side plugged in as `device`, if any.
    std::optional<std::pair<CableId, Side>> SideOf(DeviceId device) const;
    bool VendorRequest(Cable& cable, Side side, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* answered);
    bool StartTransfer(CableId cable, Side side, ObjectHandle handle, bool read, std::uint32_t size,
                       std::vector<std::uint8_t> data, Completion done);
    void SideDetached(CableId cable, Side side);
    void Pump(Cable& cable);
    void Finish(std::unique_ptr<Transfer> t, bool ok);
    void FailTransfersOf(ObjectHandle handle);

    pcmodel::PcModel m_pc;
    BenchTiming m_timing; // guarded by m_mutex
    mutable std::mutex m_mutex;
    // Held through a plug-in, an unplug or a fault change of a side, which touch the cable and the PC
    // model both (taken before m_mutex, never while holding it).
    std::recursive_mutex m_plugMutex;

    std::map<CableId, std::unique_ptr<Cable>> m_cables;
    CableId m_nextCable = 1;

    // Completions delayed by the throughput model; the scheduler thread runs them when due.
    std::multimap<std::chrono::steady_clock::time_point, std::unique_ptr<Transfer>> m_delayed;
    std::condition_variable m_schedulerWake;
    bool m_stopping = false;
    std::thread m_scheduler; // started with the first delayed completion, joined by the destructor
};

} // namespace bench
