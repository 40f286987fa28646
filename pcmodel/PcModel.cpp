#include "PcModel.h"

#include "PcModelParts.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pcmodel {

namespace {

constexpr int kMaxHubPorts = 255;
constexpr int kMaxHubDepth = 5; // external hubs below the root hub: USB's tier limit

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

std::string SymbolicNameOf(const std::string& instanceId, const char* interfaceGuid)
{
    std::string name = instanceId;
    std::replace(name.begin(), name.end(), '\\', '#');
    return name + "#" + interfaceGuid;
}

} // namespace

PcModel::PcModel(PcOptions options) : m_options(std::move(options)) {}

// Plugged devices are not called here: whoever plugged them in ends what they carry.
PcModel::~PcModel() = default;

// ---------------------------------------------------------------------------------------------
// Bookkeeping (m_mutex held)

PcModel::Device* PcModel::Find(DeviceId id) const
{
    auto it = m_devices.find(id);
    return it == m_devices.end() ? nullptr : it->second.get();
}

PcModel::Device& PcModel::HubAt(PortRef at) const
{
    Device* hub = Find(at.hub);
    if (!hub || !hub->IsHub())
        throw std::invalid_argument("bench: no hub with id " + std::to_string(at.hub));
    if (at.port < 1 || at.port > int(hub->ports.size()))
        throw std::invalid_argument("bench: hub " + std::to_string(at.hub) + " has no port " + std::to_string(at.port));
    return *hub;
}

void PcModel::CheckEmpty(PortRef at) const
{
    if (HubAt(at).ports[at.port - 1] != 0)
        throw std::invalid_argument("bench: port " + std::to_string(at.port) + " of hub " + std::to_string(at.hub) +
                                    " is not empty");
}

PcModel::Device& PcModel::NewDevice(Device* parent, int port)
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

// A new device on an empty port of a hub, with its identity and the instance ID Windows gives it there.
PcModel::Device& PcModel::NewOnPort(PortRef at, std::uint16_t vid, std::uint16_t pid, std::uint16_t revision)
{
    CheckEmpty(at);
    Device& parent = HubAt(at);
    Device& d = NewDevice(&parent, at.port);
    d.vid = vid, d.pid = pid, d.revision = revision;
    d.instanceId = PortInstanceId(vid, pid, d.depth, parent.instanceId, at.port);
    return d;
}

std::string PcModel::SymbolicPrefix() const
{
    return m_options.layout == RegistryLayout::Nt ? "\\??\\" : "\\DosDevices\\";
}

std::string PcModel::RegistryKeyFor(const std::string& instanceId) const
{
    return m_options.layout == RegistryLayout::Nt
               ? "SYSTEM\\CurrentControlSet\\Enum\\" + instanceId + "\\Device Parameters"
               : "Enum\\" + instanceId;
}

void PcModel::PublishSymbolicName(Device& d)
{
    if (d.symbolicName.empty())
        return;
    m_registry[ToUpper(RegistryKeyFor(d.instanceId))]["SYMBOLICNAME"] = SymbolicPrefix() + d.symbolicName;
}

std::string PcModel::AllocateDriverKey(const std::string& instanceId, const std::string& classGuid)
{
    const std::string upperId = ToUpper(instanceId);
    auto known = m_driverKeys.find(upperId);
    if (known != m_driverKeys.end() && known->second.compare(0, classGuid.size(), classGuid) == 0)
        return known->second;
    const std::string key = classGuid + Format("\\%04d", m_nextDriverNumber[classGuid]++);
    m_driverKeys[upperId] = key;
    return key;
}

void PcModel::Register(Device& d)
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

bool PcModel::InfListsHardwareId(const std::string& hardwareId, std::string* description) const
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

// The bridge driver takes a device whose hardware ID the INF lists: a driver key, the INF's
// description, "InfPath", and the lowest free device object number.
void PcModel::BindBridgeDriver(Device& d)
{
    std::string infDescription;
    if (!InfListsHardwareId(Format("USB\\VID_%04X&PID_%04X", d.vid, d.pid), &infDescription))
        return;
    d.driverKey = AllocateDriverKey(d.instanceId, kBridgeClassGuid);
    d.description = infDescription;
    m_registry[ToUpper("SYSTEM\\CurrentControlSet\\Control\\Class\\" + d.driverKey)]["INFPATH"] =
        m_options.driverInfName;
    // The driver starts only when a device object number is free; else the device stays without one.
    for (int n = 1; n <= 32; ++n)
        if (!m_hostLinks[n - 1]) {
            m_hostLinks[n - 1] = d.id;
            d.hostLink = n;
            d.symbolicName = SymbolicNameOf(d.instanceId, kBridgeInterfaceGuid);
            break;
        }
}

// ---------------------------------------------------------------------------------------------
// Topology

DeviceId PcModel::AddController(int rootHubPorts)
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
    NotifyAll(platform::DeviceChange::Arrival);
    return id;
}

DeviceId PcModel::AttachHub(PortRef at, const HubSpec& spec)
{
    if (spec.ports < 1 || spec.ports > kMaxHubPorts)
        throw std::invalid_argument("bench: a hub has 1 to 255 ports");
    DeviceId id;
    {
        std::lock_guard lock(m_mutex);
        if (HubAt(at).depth + 1 > kMaxHubDepth)
            throw std::invalid_argument("bench: hubs nest at most five deep below the root hub");
        Device& hub = NewOnPort(at, spec.vid, spec.pid, 0x0100);
        hub.kind = Device::Hub;
        hub.ports.assign(spec.ports, 0);
        hub.hubDescription = spec.description;
        hub.description = spec.description;
        hub.driverKey = AllocateDriverKey(hub.instanceId, kUsbClassGuid);
        hub.symbolicName = SymbolicNameOf(hub.instanceId, kHubInterfaceGuid);
        Register(hub);
        id = hub.id;
    }
    NotifyAll(platform::DeviceChange::Arrival);
    return id;
}

DeviceId PcModel::AttachDevice(PortRef at, const DeviceSpec& spec)
{
    DeviceId id;
    {
        std::lock_guard lock(m_mutex);
        Device& d = NewOnPort(at, spec.vid, spec.pid, spec.revision);
        d.kind = Device::Plain;
        d.description = spec.description;
        if (spec.hasDriver) {
            d.driverKey = AllocateDriverKey(d.instanceId, spec.driverClassGuid);
            // An interface path that exists but that nothing of the model opens.
            d.symbolicName = SymbolicNameOf(d.instanceId, kUsbDeviceInterfaceGuid);
        }
        Register(d);
        id = d.id;
    }
    NotifyAll(platform::DeviceChange::Arrival);
    return id;
}

DeviceId PcModel::Attach(PortRef at, const PluggedSpec& spec, std::shared_ptr<PluggedDevice> device,
                         const DeviceFaults& faults, const std::function<void(DeviceId)>& attached)
{
    if (!device)
        throw std::invalid_argument("bench: a plugged device needs its device");
    DeviceId id;
    {
        std::lock_guard lock(m_mutex);
        Device& d = NewOnPort(at, spec.vid, spec.pid, spec.revision);
        d.kind = Device::Plugged;
        d.plugged = std::move(device);
        d.faults = faults;
        d.iSerial = spec.iSerial;
        d.description = spec.description;
        BindBridgeDriver(d);
        Register(d);
        id = d.id;
    }
    if (attached)
        attached(id);
    NotifyAll(platform::DeviceChange::Arrival);
    return id;
}

void PcModel::RemoveLocked(Device& d, std::vector<std::shared_ptr<PluggedDevice>>& detached, int& removals)
{
    for (DeviceId child : d.ports)
        if (Device* c = Find(child))
            RemoveLocked(*c, detached, removals);
    if (d.plugged)
        detached.push_back(d.plugged);
    if (d.hostLink)
        m_hostLinks[d.hostLink - 1] = 0;
    for (auto it = m_objectNames.begin(); it != m_objectNames.end();)
        it = it->second == d.id ? m_objectNames.erase(it) : std::next(it);
    m_registry.erase(ToUpper(RegistryKeyFor(d.instanceId)));
    if (d.parent)
        d.parent->ports[d.port - 1] = 0;
    m_treeDirty = true;
    ++removals;
    const DeviceId id = d.id; // a copy: erasing destroys d
    m_devices.erase(id);
}

void PcModel::Detach(std::vector<std::shared_ptr<PluggedDevice>> detached, int removals)
{
    for (const auto& device : detached)
        device->Detached();
    NotifyAll(platform::DeviceChange::Removal, removals);
}

void PcModel::RemoveFound(const std::function<Device*()>& find)
{
    std::vector<std::shared_ptr<PluggedDevice>> detached;
    int removals = 0;
    {
        std::lock_guard lock(m_mutex);
        if (Device* d = find())
            RemoveLocked(*d, detached, removals);
    }
    Detach(std::move(detached), removals);
}

void PcModel::Unplug(PortRef at)
{
    RemoveFound([&] { return Find(HubAt(at).ports[at.port - 1]); });
}

void PcModel::Remove(DeviceId id)
{
    RemoveFound([&]() -> Device* {
        Device* d = Find(id);
        return d && d->kind != Device::RootHub ? d : nullptr;
    });
}

std::vector<DeviceId> PcModel::RootHubs() const
{
    std::lock_guard lock(m_mutex);
    return m_controllers;
}

int PcModel::PortCount(DeviceId hub) const
{
    std::lock_guard lock(m_mutex);
    const Device* d = Find(hub);
    return d && d->IsHub() ? int(d->ports.size()) : 0;
}

PortContent PcModel::Port(PortRef at) const
{
    std::lock_guard lock(m_mutex);
    const Device* d = Find(HubAt(at).ports[at.port - 1]);
    if (!d)
        return {};
    return {d->IsHub() ? PortContent::Hub : PortContent::Device, d->id};
}

std::optional<PortRef> PcModel::WhereIs(DeviceId device) const
{
    std::lock_guard lock(m_mutex);
    const Device* d = Find(device);
    if (!d || !d->parent)
        return std::nullopt;
    return PortRef{d->parent->id, d->port};
}

std::optional<DeviceIdentity> PcModel::Identity(DeviceId device) const
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
    return identity;
}

std::string PcModel::InstanceId(DeviceId device) const
{
    std::lock_guard lock(m_mutex);
    const Device* d = Find(device);
    return d ? d->instanceId : std::string();
}

int PcModel::DeviceObjectNumber(DeviceId device) const
{
    std::lock_guard lock(m_mutex);
    const Device* d = Find(device);
    return d ? d->hostLink : 0;
}

std::string PcModel::DeviceObjectNotice() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> left;
    for (const auto& [id, d] : m_devices)
        if (d && !d->driverKey.empty() && d->hostLink == 0 && d->kind == Device::Plugged)
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

void PcModel::SetHubFaults(DeviceId hub, const HubFaults& faults)
{
    std::lock_guard lock(m_mutex);
    Device* d = Find(hub);
    if (!d || !d->IsHub())
        throw std::invalid_argument("bench: no hub with id " + std::to_string(hub));
    d->hubFaults = faults;
}

bool PcModel::SetDeviceFaults(DeviceId device, const DeviceFaults& faults)
{
    std::lock_guard lock(m_mutex);
    Device* d = Find(device);
    if (!d)
        return false;
    d->faults = faults;
    return true;
}

void PcModel::FinishInstallations()
{
    std::lock_guard lock(m_mutex);
    m_pendingUntil = {};
}

std::filesystem::path PcModel::DriverInfPath() const
{
    return m_options.systemDirectory / "INF" / m_options.driverInfName;
}

void PcModel::WriteDriverInf(const std::vector<std::string>& hardwareIds) const
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

} // namespace pcmodel
