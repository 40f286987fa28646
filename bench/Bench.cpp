#include "Bench.h"

#include "EepromImage.h"
#include "IniText.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bench {

namespace {

// The modelled time of one request, kept to within microseconds: a plain sleep oversleeps by a
// scheduler tick or so, which over the 65 requests of a configuration adds up to several percent.
void WaitWireTime(std::chrono::microseconds delay)
{
    const auto deadline = std::chrono::steady_clock::now() + delay;
    constexpr auto kSpin = std::chrono::microseconds(300);
    if (delay > kSpin)
        std::this_thread::sleep_until(deadline - kSpin);
    while (std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
}

// Invented in the Windows style; the USB ones are the well-known Windows values.
constexpr const char* kUsbClassGuid = "{36fc9e60-c465-11cf-8056-444553540000}";
constexpr const char* kHubInterfaceGuid = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
constexpr const char* kUsbDeviceInterfaceGuid = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr const char* kBridgeClassGuid = "{8f3e1a60-7730-4c2d-9b5e-0c5e77300001}";
constexpr const char* kBridgeInterfaceGuid = "{8f3e1a61-7730-4c2d-9b5e-0c5e77300002}";

constexpr int kMaxHubPorts = 255;
constexpr int kMaxHubDepth = 5; // external hubs below the root hub: USB's tier limit
constexpr std::size_t kMaxName = platform::MAX_NAME;

// Fixed sizes of the hub request structures (packed, as Windows declares them).
constexpr std::uint32_t kNodeInformationSize = 76;
constexpr std::uint32_t kConnectionInformationSize = 35; // without the pipe list
constexpr std::uint32_t kNameHeaderSize = 8;             // ConnectionIndex + ActualLength

std::string Format(const char* format, auto... args)
{
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

std::uint32_t Fnv1a(std::string_view text)
{
    std::uint32_t h = 2166136261u;
    for (unsigned char c : text)
        h = (h ^ c) * 16777619u;
    return h;
}

// The instance ID of a device on a hub's port, as Windows forms it from the location: the same port
// gives the same ID across plug-ins, whatever the device's serial number.
std::string PortInstanceId(unsigned vid, unsigned pid, int depth, const std::string& parentInstanceId, int port)
{
    return Format("USB\\VID_%04X&PID_%04X\\%d&%08x&0&%d", vid, pid, 4 + depth, Fnv1a(parentInstanceId), port);
}

std::uint32_t GetLe32(const std::uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }
void PutLe16(std::uint8_t* p, std::uint32_t v) { p[0] = std::uint8_t(v), p[1] = std::uint8_t(v >> 8); }
void PutLe32(std::uint8_t* p, std::uint32_t v) { PutLe16(p, v), PutLe16(p + 2, v >> 16); }

std::string SymbolicNameOf(const std::string& instanceId, const char* interfaceGuid)
{
    std::string name = instanceId;
    std::replace(name.begin(), name.end(), '\\', '#');
    return name + "#" + interfaceGuid;
}

// Answers a hub name request: ActualLength is the size of the whole structure, as on Windows; the
// name is copied only when the caller's buffer holds all of it.
std::uint32_t PutNameAnswer(std::uint8_t* buffer, std::uint32_t size, std::uint32_t port, const std::string& name)
{
    const std::uint32_t actual = kNameHeaderSize + 2 * std::uint32_t(name.size() + 1);
    PutLe32(buffer, port);
    PutLe32(buffer + 4, actual);
    if (size < actual)
        return kNameHeaderSize;
    for (std::size_t i = 0; i < name.size(); ++i)
        PutLe16(buffer + kNameHeaderSize + 2 * i, static_cast<unsigned char>(name[i]));
    PutLe16(buffer + kNameHeaderSize + 2 * name.size(), 0);
    return actual;
}

} // namespace

// ---------------------------------------------------------------------------------------------

struct Bench::Device {
    enum Kind { RootHub, Hub, Plain, CableSide, Live } kind = Plain;
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
    int hostLink = 0;         // 1..32 for a bound side with a device object
    int driverKeyFault = -1;

    // Cable sides.
    CableId cable = 0;
    Side side = Side::A;

    // Live devices: where their requests and transfers go.
    std::shared_ptr<LiveDevice> live;

    bool IsHub() const { return kind == RootHub || kind == Hub; }
};

struct Bench::Transfer {
    ObjectHandle handle = 0;
    bool isRead = false;
    std::uint32_t capacity = 0;     // reads
    std::uint32_t requested = 0;    // writes: the caller's byte count
    std::vector<std::uint8_t> data; // reads: what arrived; writes: what is still to be delivered
    std::size_t pos = 0;            // writes: bytes delivered
    std::uint32_t count = 0;        // the count reported at completion
    Completion done;
};

struct Bench::Cable {
    CableId id = 0;
    ChipSpec chip;
    EepromBytes eeprom{};
    CableFaults faults;
    struct SideState {
        DeviceId plugged = 0;
        SideFaults faults;
        std::deque<std::unique_ptr<Transfer>> reads;  // pending on this side's read pipe
        std::deque<std::unique_ptr<Transfer>> writes; // pending on this side's write pipe
    };
    std::array<SideState, 2> sides;
};

struct Bench::OpenObject {
    enum Kind { Hub, Control, ReadPipe, WritePipe } kind = Control;
    DeviceId device = 0;
    bool overlapped = false;
    std::shared_ptr<LiveDevice> live; // kept past an unplug, so closing still cancels its transfers
};

// ---------------------------------------------------------------------------------------------
// Construction

Bench::Bench(BenchOptions options) : m_options(std::move(options)) {}

Bench::~Bench()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_schedulerWake.notify_all();
    if (m_scheduler.joinable())
        m_scheduler.join();
    // Whoever still has transfers in flight learns that they failed.
    std::lock_guard lock(m_mutex);
    for (auto& [due, t] : m_delayed)
        t->done(false, t->data, 0);
    m_delayed.clear();
    for (auto& [id, cable] : m_cables)
        for (auto& side : cable->sides) {
            for (auto& t : side.reads)
                t->done(false, t->data, 0);
            for (auto& t : side.writes)
                t->done(false, {}, 0);
        }
}

// ---------------------------------------------------------------------------------------------
// World face

Bench::Device* Bench::Find(DeviceId id) const
{
    auto it = m_devices.find(id);
    return it == m_devices.end() ? nullptr : it->second.get();
}

Bench::Device& Bench::HubAt(PortRef at) const
{
    Device* hub = Find(at.hub);
    if (!hub || !hub->IsHub())
        throw std::invalid_argument("bench: no hub with id " + std::to_string(at.hub));
    if (at.port < 1 || at.port > int(hub->ports.size()))
        throw std::invalid_argument("bench: hub " + std::to_string(at.hub) + " has no port " + std::to_string(at.port));
    return *hub;
}

void Bench::CheckEmpty(PortRef at) const
{
    if (HubAt(at).ports[at.port - 1] != 0)
        throw std::invalid_argument("bench: port " + std::to_string(at.port) + " of hub " + std::to_string(at.hub) +
                                    " is not empty");
}

Bench::Device& Bench::NewDevice(Device* parent, int port)
{
    auto d = std::make_unique<Device>();
    d->id = m_nextId++;
    d->parent = parent;
    d->port = port;
    d->depth = parent ? parent->depth + 1 : 0;
    d->sequence = m_nextSequence++;
    d->node = m_nextNode++;
    Device& ref = *d;
    m_devices.emplace(ref.id, std::move(d));
    if (parent)
        parent->ports[port - 1] = ref.id;
    m_treeDirty = true;
    return ref;
}

std::string Bench::SymbolicPrefix() const
{
    return m_options.layout == RegistryLayout::Nt ? "\\??\\" : "\\DosDevices\\";
}

std::string Bench::RegistryKeyFor(const std::string& instanceId) const
{
    return m_options.layout == RegistryLayout::Nt
               ? "SYSTEM\\CurrentControlSet\\Enum\\" + instanceId + "\\Device Parameters"
               : "Enum\\" + instanceId;
}

void Bench::PublishSymbolicName(Device& d)
{
    if (d.symbolicName.empty())
        return;
    m_registry[ToUpper(RegistryKeyFor(d.instanceId))]["SYMBOLICNAME"] = SymbolicPrefix() + d.symbolicName;
}

std::string Bench::AllocateDriverKey(const std::string& instanceId, const std::string& classGuid)
{
    const std::string upperId = ToUpper(instanceId);
    auto known = m_driverKeys.find(upperId);
    if (known != m_driverKeys.end() && known->second.compare(0, classGuid.size(), classGuid) == 0)
        return known->second;
    const std::string key = classGuid + Format("\\%04d", m_nextDriverNumber[classGuid]++);
    m_driverKeys[upperId] = key;
    return key;
}

void Bench::Register(Device& d)
{
    if (!d.symbolicName.empty() && (d.IsHub() || d.hostLink))
        m_objectNames[ToUpper(d.symbolicName)] = d.id;
    if (d.hostLink)
        m_objectNames[Format("HOSTLNK-%d", d.hostLink)] = d.id;
    PublishSymbolicName(d);
    const auto now = std::chrono::steady_clock::now();
    m_pendingUntil = std::max(m_pendingUntil, now + m_options.installTime);
    m_treeDirty = true;
}

DeviceId Bench::AddController(int rootHubPorts)
{
    if (rootHubPorts < 1 || rootHubPorts > kMaxHubPorts)
        throw std::invalid_argument("bench: a root hub has 1 to 255 ports");
    DeviceId id;
    {
        std::lock_guard lock(m_mutex);
        const int index = int(m_controllers.size());
        Device& hub = NewDevice(nullptr, 0);
        hub.kind = Device::RootHub;
        hub.ports.assign(rootHubPorts, 0);
        hub.hubDescription = "USB Root Hub (USB 3.0)";
        hub.description = hub.hubDescription;
        hub.controllerNode = m_nextNode++;
        hub.controllerId = Format("PCI\\VEN_8086&DEV_A36D&SUBSYS_72708086&REV_10\\3&11583659&0&%02X", 0xA0 + 8 * index);
        hub.controllerDriverKey = AllocateDriverKey(hub.controllerId, kUsbClassGuid);
        hub.instanceId = Format("USB\\ROOT_HUB30\\4&%08x&0&0", Fnv1a(hub.controllerId));
        hub.driverKey = AllocateDriverKey(hub.instanceId, kUsbClassGuid);
        hub.symbolicName = SymbolicNameOf(hub.instanceId, kHubInterfaceGuid);
        m_controllers.push_back(hub.id);
        Register(hub);
        id = hub.id;
    }
    NotifyAll({platform::DeviceChange::Arrival});
    return id;
}

DeviceId Bench::AttachHub(PortRef at, const HubSpec& spec)
{
    if (spec.ports < 1 || spec.ports > kMaxHubPorts)
        throw std::invalid_argument("bench: a hub has 1 to 255 ports");
    DeviceId id;
    {
        std::lock_guard lock(m_mutex);
        CheckEmpty(at);
        Device& parent = HubAt(at);
        if (parent.depth + 1 > kMaxHubDepth)
            throw std::invalid_argument("bench: hubs nest at most five deep below the root hub");
        Device& hub = NewDevice(&parent, at.port);
        hub.kind = Device::Hub;
        hub.ports.assign(spec.ports, 0);
        hub.vid = spec.vid, hub.pid = spec.pid, hub.revision = 0x0100;
        hub.hubDescription = spec.description;
        hub.description = spec.description;
        hub.instanceId = PortInstanceId(spec.vid, spec.pid, hub.depth, parent.instanceId, at.port);
        hub.driverKey = AllocateDriverKey(hub.instanceId, kUsbClassGuid);
        hub.symbolicName = SymbolicNameOf(hub.instanceId, kHubInterfaceGuid);
        Register(hub);
        id = hub.id;
    }
    NotifyAll({platform::DeviceChange::Arrival});
    return id;
}

DeviceId Bench::AttachDevice(PortRef at, const DeviceSpec& spec)
{
    DeviceId id;
    {
        std::lock_guard lock(m_mutex);
        CheckEmpty(at);
        Device& parent = HubAt(at);
        Device& d = NewDevice(&parent, at.port);
        d.kind = Device::Plain;
        d.vid = spec.vid, d.pid = spec.pid, d.revision = spec.revision;
        d.description = spec.description;
        d.instanceId = PortInstanceId(spec.vid, spec.pid, d.depth, parent.instanceId, at.port);
        if (spec.hasDriver) {
            d.driverKey = AllocateDriverKey(d.instanceId, spec.driverClassGuid);
            // An interface path that exists but that nothing of the bench opens.
            d.symbolicName = SymbolicNameOf(d.instanceId, kUsbDeviceInterfaceGuid);
        }
        Register(d);
        id = d.id;
    }
    NotifyAll({platform::DeviceChange::Arrival});
    return id;
}

CableId Bench::AddCable(const CableSpec& spec)
{
    std::lock_guard lock(m_mutex);
    auto cable = std::make_unique<Cable>();
    cable->id = m_nextId++;
    cable->chip = spec.chip;
    cable->eeprom = spec.eeprom;
    const CableId id = cable->id;
    m_cables.emplace(id, std::move(cable));
    return id;
}

bool Bench::InfListsHardwareId(const std::string& hardwareId, std::string* description) const
{
    if (m_options.systemDirectory.empty())
        return false;
    std::ifstream in(DriverInfPath(), std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    return InfListsModel(text.str(), hardwareId, description);
}

DeviceId Bench::PlugSide(CableId cableId, Side side, PortRef at)
{
    DeviceId id;
    {
        std::lock_guard lock(m_mutex);
        Cable& cable = CableOf(cableId);
        Cable::SideState& state = cable.sides[int(side)];
        if (state.plugged)
            throw std::invalid_argument("bench: that cable side is already plugged in");
        CheckEmpty(at);
        Device& parent = HubAt(at);

        // The chip enumerates with the EEPROM's identity when it holds the signature, else the default.
        EepromImage image;
        std::memcpy(image.Bytes(), cable.eeprom.data(), cable.eeprom.size());
        const EepromRecord& rec = image.m_rec;
        std::uint16_t vid = 0x0C5E, pid = cable.chip.model, revision = 0x0100;
        std::optional<std::string> product, serial;
        const int select = rec.bPidSelect;
        if (rec.wSignature.get() == EepromImage::kSignature && select >= 1 && select <= 3) {
            vid = std::uint16_t(rec.wVendorId.get());
            pid = std::uint16_t(select == 1 ? rec.wProductId1.get()
                                : select == 2 ? rec.wProductId2.get()
                                              : rec.wProductId3.get());
            revision = std::uint16_t(rec.wRevision.get());
            char text[256];
            if (image.GetString(2, text, sizeof text) && text[0])
                product = text;
            if (rec.bSerialIndex == EepromImage::kSerialInUse && image.GetString(3, text, sizeof text))
                serial = text;
        }

        Device& d = NewDevice(&parent, at.port);
        d.kind = Device::CableSide;
        d.cable = cableId;
        d.side = side;
        d.vid = vid, d.pid = pid, d.revision = revision;
        d.iSerial = serial ? EepromImage::kSerialInUse : 0;
        d.instanceId = PortInstanceId(vid, pid, d.depth, parent.instanceId, at.port);
        d.description = product;
        BindBridgeDriver(d);
        state.plugged = d.id;
        Register(d);
        Pump(cable);
        id = d.id;
    }
    NotifyAll({platform::DeviceChange::Arrival});
    return id;
}

// The bridge driver takes a device whose hardware ID the INF lists: a driver key, the INF's
// description, "InfPath", and the lowest free device object number.
void Bench::BindBridgeDriver(Device& d)
{
    std::string infDescription;
    if (!InfListsHardwareId(Format("USB\\VID_%04X&PID_%04X", d.vid, d.pid), &infDescription))
        return;
    d.driverKey = AllocateDriverKey(d.instanceId, kBridgeClassGuid);
    d.description = infDescription;
    m_registry[ToUpper("SYSTEM\\CurrentControlSet\\Control\\Class\\" + d.driverKey)]["INFPATH"] =
        m_options.driverInfName;
    // The driver starts only when a device object number is free; else the side stays without one.
    for (int n = 1; n <= 32; ++n)
        if (!m_hostLinks[n - 1]) {
            m_hostLinks[n - 1] = d.id;
            d.hostLink = n;
            d.symbolicName = SymbolicNameOf(d.instanceId, kBridgeInterfaceGuid);
            break;
        }
}

DeviceId Bench::AttachLive(PortRef at, const LiveDeviceSpec& spec, std::shared_ptr<LiveDevice> device)
{
    if (!device)
        throw std::invalid_argument("bench: a live device needs its device");
    DeviceId id;
    {
        std::lock_guard lock(m_mutex);
        CheckEmpty(at);
        Device& parent = HubAt(at);
        Device& d = NewDevice(&parent, at.port);
        d.kind = Device::Live;
        d.live = std::move(device);
        d.vid = spec.vid, d.pid = spec.pid, d.revision = spec.revision;
        d.iSerial = spec.iSerial;
        d.description = spec.description;
        d.instanceId = PortInstanceId(d.vid, d.pid, d.depth, parent.instanceId, at.port);
        BindBridgeDriver(d);
        Register(d);
        id = d.id;
    }
    NotifyAll({platform::DeviceChange::Arrival});
    return id;
}

std::optional<DeviceIdentity> Bench::Identity(DeviceId device) const
{
    std::lock_guard lock(m_mutex);
    const Device* d = Find(device);
    if (!d)
        return std::nullopt;
    DeviceIdentity identity;
    identity.vid = d->vid, identity.pid = d->pid, identity.revision = d->revision;
    identity.iSerial = d->iSerial;
    identity.description = d->IsHub() ? std::optional<std::string>(d->hubDescription) : d->description;
    identity.hubPorts = d->IsHub() ? int(d->ports.size()) : 0;
    identity.cableSide = d->kind == Device::CableSide;
    return identity;
}

ObjectHandle Bench::OpenSide(DeviceId device, SideChannel channel)
{
    std::lock_guard lock(m_mutex);
    const Device* d = Find(device);
    if (!d || d->kind != Device::CableSide)
        return 0;
    auto object = std::make_unique<OpenObject>();
    object->kind = channel == SideChannel::Control    ? OpenObject::Control
                   : channel == SideChannel::ReadPipe ? OpenObject::ReadPipe
                                                      : OpenObject::WritePipe;
    object->device = d->id;
    object->overlapped = channel != SideChannel::Control;
    const ObjectHandle handle = m_nextHandle++;
    m_objects.emplace(handle, std::move(object));
    return handle;
}

std::shared_ptr<LiveDevice> Bench::LiveOf(ObjectHandle handle) const
{
    auto it = m_objects.find(handle);
    return it == m_objects.end() ? nullptr : it->second->live;
}

void Bench::Remove(Device& d, std::vector<platform::DeviceChange>& changes)
{
    for (DeviceId child : d.ports)
        if (Device* c = Find(child))
            Remove(*c, changes);
    if (d.kind == Device::CableSide) {
        Cable& cable = *m_cables.at(d.cable);
        Cable::SideState& state = cable.sides[int(d.side)];
        state.plugged = 0;
        while (!state.reads.empty()) {
            auto t = std::move(state.reads.front());
            state.reads.pop_front();
            Finish(std::move(t), false);
        }
        while (!state.writes.empty()) {
            auto t = std::move(state.writes.front());
            state.writes.pop_front();
            Finish(std::move(t), false);
        }
    }
    if (d.hostLink)
        m_hostLinks[d.hostLink - 1] = 0;
    for (auto it = m_objectNames.begin(); it != m_objectNames.end();)
        it = it->second == d.id ? m_objectNames.erase(it) : std::next(it);
    m_registry.erase(ToUpper(RegistryKeyFor(d.instanceId)));
    if (d.parent)
        d.parent->ports[d.port - 1] = 0;
    m_treeDirty = true;
    changes.push_back(platform::DeviceChange::Removal);
    const DeviceId id = d.id; // a copy: erasing destroys d
    m_devices.erase(id);
}

void Bench::Unplug(PortRef at)
{
    std::vector<platform::DeviceChange> changes;
    {
        std::lock_guard lock(m_mutex);
        Device& hub = HubAt(at);
        if (Device* d = Find(hub.ports[at.port - 1]))
            Remove(*d, changes);
    }
    NotifyAll(changes);
}

void Bench::UnplugSide(CableId cable, Side side)
{
    std::vector<platform::DeviceChange> changes;
    {
        std::lock_guard lock(m_mutex);
        if (Device* d = Find(CableOf(cable).sides[int(side)].plugged))
            Remove(*d, changes);
    }
    NotifyAll(changes);
}

std::vector<DeviceId> Bench::RootHubs() const
{
    std::lock_guard lock(m_mutex);
    return m_controllers;
}

int Bench::PortCount(DeviceId hub) const
{
    std::lock_guard lock(m_mutex);
    const Device* d = Find(hub);
    return d && d->IsHub() ? int(d->ports.size()) : 0;
}

PortState Bench::Port(PortRef at) const
{
    std::lock_guard lock(m_mutex);
    const Device* d = Find(HubAt(at).ports[at.port - 1]);
    PortState state;
    if (!d)
        return state;
    state.device = d->id;
    state.kind = d->IsHub() ? PortState::Hub : d->kind == Device::CableSide ? PortState::CableSide : PortState::Device;
    state.cable = d->cable;
    state.side = d->side;
    return state;
}

std::optional<PortRef> Bench::WhereIs(CableId cable, Side side) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_cables.find(cable);
    if (it == m_cables.end())
        return std::nullopt;
    const Device* d = Find(it->second->sides[int(side)].plugged);
    if (!d)
        return std::nullopt;
    return PortRef{d->parent->id, d->port};
}

std::vector<CableId> Bench::Cables() const
{
    std::lock_guard lock(m_mutex);
    std::vector<CableId> ids;
    for (const auto& [id, cable] : m_cables)
        ids.push_back(id);
    return ids;
}

Bench::Cable& Bench::CableOf(CableId id) const
{
    auto found = m_cables.find(id);
    if (found == m_cables.end())
        throw std::invalid_argument("bench: no cable " + std::to_string(id));
    return *found->second;
}

EepromBytes Bench::Eeprom(CableId id) const
{
    std::lock_guard lock(m_mutex);
    Cable& cable = CableOf(id);
    return cable.eeprom;
}

void Bench::SetEeprom(CableId id, const EepromBytes& bytes)
{
    std::lock_guard lock(m_mutex);
    Cable& cable = CableOf(id);
    cable.eeprom = bytes;
}

ChipSpec Bench::Chip(CableId id) const
{
    std::lock_guard lock(m_mutex);
    Cable& cable = CableOf(id);
    return cable.chip;
}

void Bench::SetChip(CableId id, const ChipSpec& chip)
{
    std::lock_guard lock(m_mutex);
    Cable& cable = CableOf(id);
    cable.chip = chip;
}

void Bench::SetSideFaults(CableId id, Side side, const SideFaults& faults)
{
    std::lock_guard lock(m_mutex);
    Cable& cable = CableOf(id);
    cable.sides[int(side)].faults = faults;
    Pump(cable); // a fault that was holding data back may be gone
}

bool Bench::ChipSilent(DeviceId device) const
{
    std::lock_guard lock(m_mutex);
    const Device* d = Find(device);
    return d && d->kind == Device::CableSide && m_cables.at(d->cable)->sides[int(d->side)].faults.chipSilent;
}

void Bench::SetCableFaults(CableId id, const CableFaults& faults)
{
    std::lock_guard lock(m_mutex);
    Cable& cable = CableOf(id);
    cable.faults = faults;
}

void Bench::SetHubFaults(DeviceId hub, const HubFaults& faults)
{
    std::lock_guard lock(m_mutex);
    Device* d = Find(hub);
    if (!d || !d->IsHub())
        throw std::invalid_argument("bench: no hub with id " + std::to_string(hub));
    d->hubFaults = faults;
}

void Bench::SetDriverKeyFault(DeviceId device, int actualLength)
{
    std::lock_guard lock(m_mutex);
    Device* d = Find(device);
    if (!d)
        throw std::invalid_argument("bench: no device with id " + std::to_string(device));
    d->driverKeyFault = actualLength;
}

void Bench::SetTiming(const BenchTiming& timing)
{
    std::lock_guard lock(m_mutex);
    m_options.timing = timing;
}

void Bench::FinishInstallations()
{
    std::lock_guard lock(m_mutex);
    m_pendingUntil = {};
}

std::string Bench::DeviceObjectNotice() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> left;
    for (const auto& [id, d] : m_devices)
        if (d && !d->driverKey.empty() && d->hostLink == 0 && (d->kind == Device::CableSide || d->kind == Device::Live))
            left.push_back(d->instanceId);
    if (left.empty())
        return {};
    std::string names;
    for (const std::string& name : left)
        names += (names.empty() ? "" : ", ") + name;
    return std::to_string(left.size()) + (left.size() == 1 ? " cable side has" : " cable sides have") +
           " no device object, because all 32 (\\\\.\\HOSTLNK-1 to 32) are in use: " + names +
           "; unplug cables that are not being worked on, then plug " + (left.size() == 1 ? "it" : "them") +
           " in again";
}

int Bench::DeviceObjectNumber(CableId id, Side side) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_cables.find(id);
    if (it == m_cables.end())
        return 0;
    const Device* d = Find(it->second->sides[int(side)].plugged);
    return d ? d->hostLink : 0;
}

std::string Bench::InstanceId(DeviceId device) const
{
    std::lock_guard lock(m_mutex);
    const Device* d = Find(device);
    return d ? d->instanceId : std::string();
}

std::filesystem::path Bench::DriverInfPath() const
{
    return m_options.systemDirectory / "INF" / m_options.driverInfName;
}

void Bench::WriteDriverInf(const std::vector<std::string>& hardwareIds) const
{
    if (m_options.systemDirectory.empty())
        throw std::invalid_argument("bench: no system directory");
    std::filesystem::create_directories(m_options.systemDirectory / "INF");
    std::string text = "; Veltrona USB bridge cable driver\r\n"
                       "[Version]\r\n"
                       "Signature=\"$Windows NT$\"\r\n"
                       "Class=HostLink\r\n"
                       "ClassGuid=" + std::string(kBridgeClassGuid) + "\r\n"
                       "Provider=%MfgName%\r\n"
                       "DriverVer=06/21/2006,1.3.0.0\r\n"
                       "\r\n"
                       "[Manufacturer]\r\n"
                       "%MfgName%=Veltrona\r\n"
                       "\r\n"
                       "[Veltrona]\r\n";
    for (const std::string& id : hardwareIds)
        text += "%Vel.DeviceDesc%=USBBC2.Dev, " + id + "\r\n";
    text += "\r\n"
            "[USBBC2.Dev]\r\n"
            "AddReg=USBBC2.AddReg\r\n"
            "\r\n"
            "[Strings]\r\n"
            "MfgName=\"Veltrona\"\r\n"
            "Vel.DeviceDesc=\"Veltrona USB Bridge Cable\"\r\n";
    std::ofstream out(DriverInfPath(), std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("bench: cannot write " + DriverInfPath().string());
}

// ---------------------------------------------------------------------------------------------
// PC face: device objects

ObjectHandle Bench::Open(std::string_view name, std::uint32_t access, bool overlapped)
{
    if (name.size() > kMaxName || name.size() <= 4 || name.substr(0, 4) != "\\\\.\\")
        return 0;
    std::string_view rest = name.substr(4);
    OpenObject::Kind kind = OpenObject::Control;
    if (rest.size() > 2 && rest[rest.size() - 2] == '\\' && (rest.back() == '2' || rest.back() == '3')) {
        kind = rest.back() == '2' ? OpenObject::WritePipe : OpenObject::ReadPipe;
        rest.remove_suffix(2);
    }
    std::unique_lock lock(m_mutex);
    auto it = m_objectNames.find(ToUpper(rest));
    if (it == m_objectNames.end())
        return 0;
    const Device* d = Find(it->second);
    if (!d)
        return 0;
    if (d->IsHub()) {
        if (kind != OpenObject::Control || d->hubFaults.openFails)
            return 0;
        kind = OpenObject::Hub;
    }
    const bool pipe = kind == OpenObject::ReadPipe || kind == OpenObject::WritePipe;
    if (pipe && d->kind == Device::CableSide && m_cables.at(d->cable)->sides[int(d->side)].faults.pipesMissing)
        return 0;
    if ((kind == OpenObject::ReadPipe && (access & platform::ACCESS_WRITE)) ||
        (kind == OpenObject::WritePipe && (access & platform::ACCESS_READ)))
        return 0;
    auto object = std::make_unique<OpenObject>();
    object->kind = kind;
    object->device = d->id;
    object->overlapped = overlapped;
    object->live = d->live;
    const std::shared_ptr<LiveDevice> live = d->live;
    const ObjectHandle handle = m_nextHandle++;
    m_objects.emplace(handle, std::move(object));
    if (live) {
        lock.unlock(); // opening a live device takes as long as its system does
        if (!live->Acquire()) {
            std::lock_guard relock(m_mutex);
            m_objects.erase(handle);
            return 0;
        }
    }
    return handle;
}

bool Bench::Close(ObjectHandle handle)
{
    std::shared_ptr<LiveDevice> live;
    {
        std::lock_guard lock(m_mutex);
        if (!m_objects.count(handle))
            return false;
        live = LiveOf(handle);
        FailTransfersOf(handle);
        m_objects.erase(handle);
    }
    if (live) {
        live->CancelTransfers(handle); // its transfers have finished when Close returns, as for a cable
        live->Release();
    }
    return true;
}

bool Bench::DeviceRequest(ObjectHandle handle, std::uint32_t code, std::uint8_t* buffer, std::uint32_t size,
                          std::uint32_t* bytesReturned)
{
    if (bytesReturned)
        *bytesReturned = 0;
    if (!buffer && size)
        return false;
    std::chrono::microseconds delay{0};
    bool silent = false;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_objects.find(handle);
        if (it == m_objects.end())
            return false;
        if (it->second->kind == OpenObject::Control && code == platform::IOCTL_VENDOR_REQUEST && size >= 2) {
            delay = m_options.timing.controlLatency;
            if (buffer[1] == 0xFF)
                delay += m_options.timing.eepromWriteCycle;
            const Device* d = Find(it->second->device);
            silent = d && d->kind == Device::CableSide && m_cables.at(d->cable)->sides[int(d->side)].faults.chipSilent;
        }
    }
    if (silent) {
        std::this_thread::sleep_for(kSilentChipWait); // without holding up the rest of the bench
        return false;
    }
    if (delay.count() > 0)
        WaitWireTime(delay); // without holding up the rest of the bench

    std::unique_lock lock(m_mutex);
    auto it = m_objects.find(handle);
    if (it == m_objects.end())
        return false;
    Device* d = Find(it->second->device);
    if (!d)
        return false; // unplugged since it was opened
    if (d->kind == Device::Live) {
        if (it->second->kind != OpenObject::Control || code != platform::IOCTL_VENDOR_REQUEST || size < 8)
            return false;
        const std::shared_ptr<LiveDevice> live = d->live;
        lock.unlock(); // a live request takes as long as the device does
        std::uint32_t answered = 0;
        if (!live->ControlTransfer(buffer, size, &answered))
            return false;
        // What the device really returned: a short answer is the caller's to judge, never padded.
        if (bytesReturned)
            *bytesReturned = 8 + answered;
        return true;
    }
    switch (it->second->kind) {
    case OpenObject::Hub:
        return HubRequest(*d, code, buffer, size, bytesReturned);
    case OpenObject::Control:
        return code == platform::IOCTL_VENDOR_REQUEST && VendorRequest(*d, buffer, size, bytesReturned);
    default:
        return false;
    }
}

bool Bench::HubRequest(Device& hub, std::uint32_t code, std::uint8_t* buffer, std::uint32_t size,
                       std::uint32_t* returned)
{
    const HubFaults& faults = hub.hubFaults;
    if (code == platform::IOCTL_USB_GET_NODE_INFORMATION) {
        if (size < kNodeInformationSize || faults.nodeInfoFails)
            return false;
        std::memset(buffer, 0, kNodeInformationSize);
        // NodeType 0 (hub), then the hub descriptor.
        buffer[4] = std::uint8_t(7 + (hub.ports.size() + 8) / 8 * 2);
        buffer[5] = 0x29;
        buffer[6] = std::uint8_t(hub.ports.size());
        buffer[9] = 50;  // power-on to power-good, 2 ms units
        buffer[10] = 100;
        buffer[75] = hub.kind == Device::Hub; // HubIsBusPowered
        if (returned)
            *returned = kNodeInformationSize;
        return true;
    }
    const bool named = code == platform::IOCTL_USB_GET_NODE_CONNECTION_NAME ||
                       code == platform::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME;
    if (code != platform::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION && !named)
        return false;
    if (size < (named ? kNameHeaderSize : kConnectionInformationSize))
        return false;
    const std::uint32_t port = GetLe32(buffer);
    if (port < 1 || port > hub.ports.size())
        return false;
    Device* d = Find(hub.ports[port - 1]);

    if (code == platform::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION) {
        if (faults.connectionInfoFailsPort == -1 || faults.connectionInfoFailsPort == int(port))
            return false;
        std::memset(buffer + 4, 0, kConnectionInformationSize - 4);
        if (d) {
            std::uint8_t* desc = buffer + 4; // the device descriptor
            desc[0] = 18, desc[1] = 1;
            PutLe16(desc + 2, 0x0200);
            desc[4] = d->IsHub() ? 9 : 0;
            desc[7] = 64;
            PutLe16(desc + 8, d->vid);
            PutLe16(desc + 10, d->pid);
            PutLe16(desc + 12, d->revision);
            desc[14] = 1, desc[15] = 2, desc[16] = d->iSerial, desc[17] = 1;
            buffer[22] = 1;                  // CurrentConfigurationValue
            buffer[24] = d->IsHub();         // DeviceIsHub
            PutLe16(buffer + 25, d->id & 0x7F);
            buffer[31] = 1;                  // ConnectionStatus: DeviceConnected
        }
        if (returned)
            *returned = kConnectionInformationSize;
        return true;
    }
    if (code == platform::IOCTL_USB_GET_NODE_CONNECTION_NAME) {
        if (!d || !d->IsHub() || faults.connectionNameFailsPort == -1 || faults.connectionNameFailsPort == int(port))
            return false;
        const std::uint32_t n = PutNameAnswer(buffer, size, port, d->symbolicName);
        if (returned)
            *returned = n;
        return true;
    }
    // Driver key name.
    if (!d || d->driverKey.empty())
        return false;
    int fault = d->driverKeyFault;
    if (d->kind == Device::CableSide)
        fault = m_cables.at(d->cable)->sides[int(d->side)].faults.driverKeyActualLength;
    if (fault >= 0) {
        PutLe32(buffer, port);
        PutLe32(buffer + 4, std::uint32_t(fault));
        if (returned)
            *returned = kNameHeaderSize;
        return true;
    }
    const std::uint32_t n = PutNameAnswer(buffer, size, port, d->driverKey);
    if (returned)
        *returned = n;
    return true;
}

bool Bench::VendorRequest(Device& side, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* returned)
{
    if (side.kind != Device::CableSide || size < 8)
        return false;
    Cable& cable = *m_cables.at(side.cable);
    const SideFaults& faults = cable.sides[int(side.side)].faults;
    const std::uint8_t type = buffer[0], request = buffer[1];
    const std::uint32_t index = buffer[4] | buffer[5] << 8, length = buffer[6] | buffer[7] << 8;
    if (8 + length > size)
        return false;
    if (faults.allRequestsFail || faults.failRequest == request)
        return false;
    std::uint8_t* data = buffer + 8;
    const bool in = type == 0xC0;
    if (type != 0xC0 && type != 0x40)
        return false;
    switch (request) {
    case 0xF7: // version query
        if (!in || length < 2 || cable.chip.statusOnly)
            return false;
        PutLe16(data, cable.chip.version);
        break;
    case 0xFB: // status query
        if (!in || length < 2)
            return false;
        data[0] = cable.chip.status[0], data[1] = cable.chip.status[1];
        break;
    case 0xFD: // prepare: accepted, nothing to answer
        if (in)
            return false;
        break;
    case 0xFE:
    case 0xFF: {
        if (in != (request == 0xFE) || length == 0 || index + length > cable.eeprom.size())
            return false;
        if (faults.failEepromBlock >= 0 && index / 8 <= std::uint32_t(faults.failEepromBlock) &&
            std::uint32_t(faults.failEepromBlock) <= (index + length - 1) / 8)
            return false;
        if (!in) {
            std::memcpy(cable.eeprom.data() + index, data, length);
            break;
        }
        std::memcpy(data, cable.eeprom.data() + index, length);
        const int bit = cable.faults.flippedEepromBit;
        if (bit >= 0 && std::uint32_t(bit / 8) >= index && std::uint32_t(bit / 8) < index + length)
            data[bit / 8 - index] ^= std::uint8_t(1u << (bit % 8));
        break;
    }
    default:
        return false; // the chip stalls requests it does not know
    }
    if (returned)
        *returned = 8 + length;
    return true;
}

// ---------------------------------------------------------------------------------------------
// PC face: pipes

bool Bench::StartRead(ObjectHandle handle, std::uint32_t size, Completion done)
{
    std::unique_lock lock(m_mutex);
    auto it = m_objects.find(handle);
    if (it == m_objects.end() || it->second->kind != OpenObject::ReadPipe || !it->second->overlapped || !done)
        return false;
    Device* d = Find(it->second->device);
    if (!d)
        return false;
    if (d->kind == Device::Live) {
        const std::shared_ptr<LiveDevice> live = d->live;
        lock.unlock();
        return live->StartTransfer(handle, true, size, {}, std::move(done));
    }
    Cable& cable = *m_cables.at(d->cable);
    if (cable.sides[int(d->side)].faults.transfersRefused)
        return false;
    auto t = std::make_unique<Transfer>();
    t->handle = handle;
    t->isRead = true;
    t->capacity = size;
    t->done = std::move(done);
    if (size == 0) {
        Finish(std::move(t), true);
        return true;
    }
    cable.sides[int(d->side)].reads.push_back(std::move(t));
    Pump(cable);
    return true;
}

bool Bench::StartWrite(ObjectHandle handle, std::vector<std::uint8_t> data, Completion done)
{
    std::unique_lock lock(m_mutex);
    auto it = m_objects.find(handle);
    if (it == m_objects.end() || it->second->kind != OpenObject::WritePipe || !it->second->overlapped || !done)
        return false;
    Device* d = Find(it->second->device);
    if (!d)
        return false;
    if (d->kind == Device::Live) {
        const std::shared_ptr<LiveDevice> live = d->live;
        lock.unlock();
        const auto size = std::uint32_t(data.size());
        return live->StartTransfer(handle, false, size, std::move(data), std::move(done));
    }
    Cable& cable = *m_cables.at(d->cable);
    Cable::SideState& state = cable.sides[int(d->side)];
    if (state.faults.transfersRefused)
        return false;
    auto t = std::make_unique<Transfer>();
    t->handle = handle;
    t->requested = std::uint32_t(data.size());
    t->done = std::move(done);
    const ByteFault& fault = state.faults.sendFault;
    if (fault.kind != ByteFault::None && fault.offset < data.size()) {
        auto at = data.begin() + fault.offset;
        if (fault.kind == ByteFault::Drop)
            data.erase(at);
        else if (fault.kind == ByteFault::Repeat)
            data.insert(at, *at);
        else
            *at = std::uint8_t(~*at);
    }
    t->data = std::move(data);
    if (t->requested == 0) {
        Finish(std::move(t), true);
        return true;
    }
    state.writes.push_back(std::move(t));
    Pump(cable);
    return true;
}

// Moves data from each side's pending writes into the other side's pending reads, in order. A read
// completes when it is full or when the write feeding it has ended; a write when all of it is read.
void Bench::Pump(Cable& cable)
{
    for (int from = 0; from < 2; ++from) {
        Cable::SideState& sender = cable.sides[from];
        Cable::SideState& receiver = cable.sides[1 - from];
        if (sender.faults.writeStalls)
            continue;
        if (sender.faults.sendDead) {
            while (!sender.writes.empty()) {
                auto w = std::move(sender.writes.front());
                sender.writes.pop_front();
                Finish(std::move(w), true);
            }
            continue;
        }
        if (!sender.plugged || !receiver.plugged || receiver.faults.readStalls)
            continue;
        while (!sender.writes.empty() && !receiver.reads.empty()) {
            Transfer& w = *sender.writes.front();
            Transfer& r = *receiver.reads.front();
            const std::size_t n = std::min<std::size_t>(r.capacity - r.data.size(), w.data.size() - w.pos);
            r.data.insert(r.data.end(), w.data.begin() + std::ptrdiff_t(w.pos), w.data.begin() + std::ptrdiff_t(w.pos + n));
            w.pos += n;
            const bool writeEnded = w.pos == w.data.size();
            if (writeEnded || r.data.size() == r.capacity) {
                auto done = std::move(receiver.reads.front());
                receiver.reads.pop_front();
                Finish(std::move(done), true);
            }
            if (writeEnded) {
                auto done = std::move(sender.writes.front());
                sender.writes.pop_front();
                Finish(std::move(done), true);
            }
        }
    }
}

void Bench::Finish(std::unique_ptr<Transfer> t, bool ok)
{
    t->count = !ok ? 0 : t->isRead ? std::uint32_t(t->data.size()) : t->requested;
    const std::uint64_t rate = m_options.timing.bulkBytesPerSecond;
    if (ok && rate > 0 && t->count > 0 && !m_stopping) {
        const auto delay = std::chrono::microseconds(t->count * 1000000ull / rate);
        m_delayed.emplace(std::chrono::steady_clock::now() + delay, std::move(t));
        if (!m_scheduler.joinable())
            m_scheduler = std::thread(&Bench::SchedulerLoop, this);
        m_schedulerWake.notify_all();
        return;
    }
    if (!ok)
        t->data.clear();
    t->done(ok, t->data, t->count);
}

void Bench::SchedulerLoop()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (m_delayed.empty()) {
            m_schedulerWake.wait(lock);
            continue;
        }
        const auto due = m_delayed.begin()->first;
        if (std::chrono::steady_clock::now() < due) {
            m_schedulerWake.wait_until(lock, due);
            continue;
        }
        auto t = std::move(m_delayed.begin()->second);
        m_delayed.erase(m_delayed.begin());
        t->done(true, t->data, t->count);
    }
}

void Bench::FailTransfersOf(ObjectHandle handle)
{
    for (auto& [id, cable] : m_cables)
        for (auto& side : cable->sides)
            for (auto* queue : {&side.reads, &side.writes})
                for (auto it = queue->begin(); it != queue->end();) {
                    if ((*it)->handle != handle) {
                        ++it;
                        continue;
                    }
                    auto t = std::move(*it);
                    it = queue->erase(it);
                    Finish(std::move(t), false);
                }
    for (auto it = m_delayed.begin(); it != m_delayed.end();) {
        if (it->second->handle != handle) {
            ++it;
            continue;
        }
        auto t = std::move(it->second);
        it = m_delayed.erase(it);
        Finish(std::move(t), false);
    }
}

bool Bench::Cancel(ObjectHandle handle)
{
    std::shared_ptr<LiveDevice> live;
    {
        std::lock_guard lock(m_mutex);
        if (!m_objects.count(handle))
            return false;
        live = LiveOf(handle);
        FailTransfersOf(handle);
    }
    if (live)
        live->CancelTransfers(handle);
    return true;
}

// ---------------------------------------------------------------------------------------------
// PC face: device manager, registry

void Bench::RebuildTreeIndex() const
{
    if (!m_treeDirty)
        return;
    m_tree.clear();
    auto& presentIds = m_presentIds;
    presentIds.clear();
    NodeLinks root;
    root.instanceId = "HTREE\\ROOT\\0";
    m_tree[kRootNode] = root;
    presentIds[root.instanceId] = kRootNode;

    // Links `children` (in order) below `parent`.
    auto link = [&](DevNode parent, const std::vector<DevNode>& children) {
        m_tree[parent].child = children.empty() ? 0 : children.front();
        for (std::size_t i = 0; i < children.size(); ++i) {
            NodeLinks& n = m_tree[children[i]];
            n.parent = parent;
            n.sibling = i + 1 < children.size() ? children[i + 1] : 0;
        }
    };
    std::function<void(const Device&)> addDevice = [&](const Device& d) {
        NodeLinks& n = m_tree[d.node];
        n.device = &d;
        n.instanceId = d.instanceId;
        n.driverKey = d.driverKey;
        n.description = d.description;
        presentIds[ToUpper(d.instanceId)] = d.node;
        std::vector<DevNode> children;
        for (DeviceId id : d.ports)
            if (const Device* c = Find(id)) {
                addDevice(*c);
                children.push_back(c->node);
            }
        link(d.node, children);
    };
    std::vector<DevNode> controllers;
    for (DeviceId id : m_controllers) {
        const Device& hub = *Find(id);
        NodeLinks& c = m_tree[hub.controllerNode];
        c.instanceId = hub.controllerId;
        c.driverKey = hub.controllerDriverKey;
        c.description = "USB xHCI Compliant Host Controller";
        presentIds[ToUpper(hub.controllerId)] = hub.controllerNode;
        addDevice(hub);
        link(hub.controllerNode, {hub.node});
        controllers.push_back(hub.controllerNode);
    }
    link(kRootNode, controllers);
    m_treeDirty = false;
}

std::vector<std::string> Bench::PresentInstanceIds(std::string_view enumerator) const
{
    std::lock_guard lock(m_mutex);
    const std::string prefix = ToUpper(enumerator) + "\\";
    std::vector<const Device*> found;
    for (const auto& [id, d] : m_devices)
        if (ToUpper(d->instanceId).compare(0, prefix.size(), prefix) == 0)
            found.push_back(d.get());
    std::sort(found.begin(), found.end(), [](const Device* a, const Device* b) { return a->sequence < b->sequence; });
    std::vector<std::string> ids;
    for (const Device* d : found)
        ids.push_back(d->instanceId);
    return ids;
}

DevNode Bench::Child(DevNode node) const
{
    std::lock_guard lock(m_mutex);
    RebuildTreeIndex();
    auto it = m_tree.find(node);
    return it == m_tree.end() ? 0 : it->second.child;
}

DevNode Bench::Sibling(DevNode node) const
{
    std::lock_guard lock(m_mutex);
    RebuildTreeIndex();
    auto it = m_tree.find(node);
    return it == m_tree.end() ? 0 : it->second.sibling;
}

DevNode Bench::Parent(DevNode node) const
{
    std::lock_guard lock(m_mutex);
    RebuildTreeIndex();
    auto it = m_tree.find(node);
    return it == m_tree.end() ? 0 : it->second.parent;
}

std::optional<std::string> Bench::NodeProperty(DevNode node, std::uint32_t property) const
{
    std::lock_guard lock(m_mutex);
    RebuildTreeIndex();
    auto it = m_tree.find(node);
    if (it == m_tree.end())
        return std::nullopt;
    if (property == platform::DEVNODE_PROP_DRIVER && !it->second.driverKey.empty())
        return it->second.driverKey;
    if (property == platform::DEVNODE_PROP_DEVICEDESC)
        return it->second.description;
    return std::nullopt;
}

std::optional<std::string> Bench::NodeInstanceId(DevNode node) const
{
    std::lock_guard lock(m_mutex);
    RebuildTreeIndex();
    auto it = m_tree.find(node);
    if (it == m_tree.end())
        return std::nullopt;
    return it->second.instanceId;
}

bool Bench::IsPresent(std::string_view instanceId) const
{
    std::lock_guard lock(m_mutex);
    RebuildTreeIndex();
    return !instanceId.empty() && m_presentIds.count(ToUpper(instanceId));
}

platform::InstallWait Bench::WaitNoPendingInstalls(std::uint32_t timeoutMs) const
{
    if (!m_options.pendingQueryAvailable)
        return platform::InstallWait::Unavailable;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::chrono::steady_clock::time_point until;
        {
            std::lock_guard lock(m_mutex);
            until = m_pendingUntil;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= until)
            return platform::InstallWait::NoneLeft;
        if (now >= deadline)
            return platform::InstallWait::TimedOut;
        std::this_thread::sleep_for(std::min(until, deadline) - now);
    }
}

std::optional<std::string> Bench::RegistryValue(std::string_view key, std::string_view value) const
{
    std::lock_guard lock(m_mutex);
    auto k = m_registry.find(ToUpper(key));
    if (k == m_registry.end())
        return std::nullopt;
    auto v = k->second.find(ToUpper(value));
    if (v == k->second.end())
        return std::nullopt;
    return v->second;
}

void Bench::SetRegistryValue(std::string_view key, std::string_view value, std::string data)
{
    std::lock_guard lock(m_mutex);
    m_registry[ToUpper(key)][ToUpper(value)] = std::move(data);
}

std::uint32_t Bench::PlatformId() const
{
    return m_options.layout == RegistryLayout::Nt ? platform::PLATFORM_WIN32_NT : platform::PLATFORM_WIN32_WINDOWS;
}

// ---------------------------------------------------------------------------------------------
// Notifications

std::uint64_t Bench::Subscribe(ChangeCallback callback)
{
    std::lock_guard lock(m_notifyMutex);
    const std::uint64_t id = m_nextSubscriber++;
    m_subscribers.emplace(id, std::move(callback));
    return id;
}

void Bench::Unsubscribe(std::uint64_t id)
{
    std::lock_guard lock(m_notifyMutex);
    m_subscribers.erase(id);
}

void Bench::NotifyAll(const std::vector<platform::DeviceChange>& changes)
{
    std::lock_guard lock(m_notifyMutex);
    for (platform::DeviceChange change : changes) {
        std::vector<std::uint64_t> ids;
        for (const auto& [id, callback] : m_subscribers)
            ids.push_back(id);
        for (std::uint64_t id : ids) {
            auto it = m_subscribers.find(id); // a callback may have unsubscribed another one
            if (it == m_subscribers.end())
                continue;
            ChangeCallback callback = it->second; // a copy: the callback may unsubscribe itself
            callback(change);
        }
    }
}

} // namespace bench
