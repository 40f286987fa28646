// The PC model's device objects: opening names and pipes, the driver's vendor-request channel, the
// hub requests the device layer walks the tree with, and pipe transfers, handed on to the plugged
// device behind each object.

#include "PcModelParts.h"

#include <cstring>

namespace pcmodel {

namespace {

constexpr std::size_t kMaxName = platform::MAX_NAME;

// Fixed sizes of the hub request structures (packed, as Windows declares them).
constexpr std::uint32_t kNodeInformationSize = 76;
constexpr std::uint32_t kConnectionInformationSize = 35; // without the pipe list
constexpr std::uint32_t kNameHeaderSize = 8;             // ConnectionIndex + ActualLength

std::uint32_t GetLe32(const std::uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }
void PutLe16(std::uint8_t* p, std::uint32_t v) { p[0] = std::uint8_t(v), p[1] = std::uint8_t(v >> 8); }
void PutLe32(std::uint8_t* p, std::uint32_t v) { PutLe16(p, v), PutLe16(p + 2, v >> 16); }

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

void PutDeviceDescriptor(std::uint8_t* desc, bool hub, std::uint16_t vid, std::uint16_t pid, std::uint16_t revision,
                         std::uint8_t iSerial)
{
    desc[0] = 18, desc[1] = 1;
    PutLe16(desc + 2, 0x0200);
    desc[4] = hub ? 9 : 0;
    desc[7] = 64;
    PutLe16(desc + 8, vid);
    PutLe16(desc + 10, pid);
    PutLe16(desc + 12, revision);
    desc[14] = 1, desc[15] = 2, desc[16] = iSerial, desc[17] = 1;
}

} // namespace

ObjectHandle PcModel::Open(std::string_view name, std::uint32_t access, bool overlapped)
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
    if (pipe && d->faults.pipesMissing)
        return 0;
    if ((kind == OpenObject::ReadPipe && (access & platform::ACCESS_WRITE)) ||
        (kind == OpenObject::WritePipe && (access & platform::ACCESS_READ)))
        return 0;
    auto object = std::make_unique<OpenObject>();
    object->kind = kind;
    object->device = d->id;
    object->overlapped = overlapped;
    object->plugged = d->plugged;
    const std::shared_ptr<PluggedDevice> plugged = d->plugged;
    const ObjectHandle handle = m_nextHandle++;
    m_objects.emplace(handle, std::move(object));
    if (plugged) {
        lock.unlock(); // opening a live device takes as long as its system does
        const bool acquired = plugged->Acquire();
        std::lock_guard relock(m_mutex);
        auto opened = m_objects.find(handle);
        if (!acquired) {
            if (opened != m_objects.end())
                m_objects.erase(opened);
            return 0;
        }
        if (opened != m_objects.end())
            opened->second->acquired = true;
    }
    return handle;
}

ObjectHandle PcModel::OpenWire(DeviceId device, Channel channel)
{
    std::lock_guard lock(m_mutex);
    const Device* d = Find(device);
    if (!d || !d->plugged)
        return 0;
    auto object = std::make_unique<OpenObject>();
    object->kind = channel == Channel::Control    ? OpenObject::Control
                   : channel == Channel::ReadPipe ? OpenObject::ReadPipe
                                                  : OpenObject::WritePipe;
    object->device = d->id;
    object->overlapped = channel != Channel::Control;
    object->plugged = d->plugged;
    const ObjectHandle handle = m_nextHandle++;
    m_objects.emplace(handle, std::move(object));
    return handle;
}

bool PcModel::Close(ObjectHandle handle)
{
    std::shared_ptr<PluggedDevice> plugged;
    bool acquired = false;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_objects.find(handle);
        if (it == m_objects.end())
            return false;
        plugged = it->second->plugged;
        acquired = it->second->acquired;
        m_objects.erase(it);
    }
    if (plugged) {
        plugged->CancelTransfers(handle); // its transfers have finished when Close returns
        if (acquired)
            plugged->Release();
    }
    return true;
}

// The plugged device behind an open object of the given kind; null when the object is unknown, of
// another kind or its device has gone.
std::shared_ptr<PluggedDevice> PcModel::DeviceOf(ObjectHandle handle, int kind) const
{
    auto it = m_objects.find(handle);
    if (it == m_objects.end() || it->second->kind != kind || !Find(it->second->device))
        return nullptr;
    return it->second->plugged;
}

bool PcModel::DeviceRequest(ObjectHandle handle, std::uint32_t code, std::uint8_t* buffer, std::uint32_t size,
                            std::uint32_t* bytesReturned)
{
    if (bytesReturned)
        *bytesReturned = 0;
    if (!buffer && size)
        return false;
    std::unique_lock lock(m_mutex);
    auto it = m_objects.find(handle);
    if (it == m_objects.end())
        return false;
    Device* d = Find(it->second->device);
    if (!d)
        return false; // unplugged since it was opened
    if (it->second->kind == OpenObject::Hub)
        return HubRequest(*d, code, buffer, size, bytesReturned);
    if (it->second->kind != OpenObject::Control || code != platform::IOCTL_VENDOR_REQUEST || size < 8 || !d->plugged)
        return false;
    const std::shared_ptr<PluggedDevice> plugged = d->plugged;
    lock.unlock(); // a request takes as long as the device does
    std::uint32_t answered = 0;
    if (!plugged->ControlTransfer(buffer, size, &answered))
        return false;
    // What the device really returned: a short answer is the caller's to judge, never padded.
    if (bytesReturned)
        *bytesReturned = 8 + answered;
    return true;
}

bool PcModel::HubRequest(Device& hub, std::uint32_t code, std::uint8_t* buffer, std::uint32_t size,
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
            PutDeviceDescriptor(buffer + 4, d->IsHub(), d->vid, d->pid, d->revision, d->iSerial);
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
    if (d->faults.driverKeyActualLength >= 0) {
        PutLe32(buffer, port);
        PutLe32(buffer + 4, std::uint32_t(d->faults.driverKeyActualLength));
        if (returned)
            *returned = kNameHeaderSize;
        return true;
    }
    const std::uint32_t n = PutNameAnswer(buffer, size, port, d->driverKey);
    if (returned)
        *returned = n;
    return true;
}

// The plugged device behind an overlapped pipe of the given kind, for a transfer with a completion.
std::shared_ptr<PluggedDevice> PcModel::PipeOf(ObjectHandle handle, int kind, const Completion& done) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_objects.find(handle);
    if (it == m_objects.end() || !it->second->overlapped || !done)
        return nullptr;
    return DeviceOf(handle, kind);
}

bool PcModel::StartRead(ObjectHandle handle, std::uint32_t size, Completion done)
{
    const std::shared_ptr<PluggedDevice> plugged = PipeOf(handle, OpenObject::ReadPipe, done);
    return plugged && plugged->StartTransfer(handle, true, size, {}, std::move(done));
}

bool PcModel::StartWrite(ObjectHandle handle, std::vector<std::uint8_t> data, Completion done)
{
    const std::shared_ptr<PluggedDevice> plugged = PipeOf(handle, OpenObject::WritePipe, done);
    const auto size = std::uint32_t(data.size());
    return plugged && plugged->StartTransfer(handle, false, size, std::move(data), std::move(done));
}

bool PcModel::Cancel(ObjectHandle handle)
{
    std::shared_ptr<PluggedDevice> plugged;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_objects.find(handle);
        if (it == m_objects.end())
            return false;
        plugged = it->second->plugged;
    }
    if (plugged)
        plugged->CancelTransfers(handle);
    return true;
}

} // namespace pcmodel
