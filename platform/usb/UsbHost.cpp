// The USB backend's public face: its threads (libusb's events, the watcher), and the Host calls,
// answered by the PC model's face over the mirror.

#include "UsbHostImpl.h"

#include "DataDirectory.h"

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>

namespace platform {

UsbHost::UsbHost() : m(std::make_unique<Impl>())
{
    pcmodel::PcOptions options;
    options.systemDirectory = StationDataDirectory(); // where Quillon may add IDs to the INF
    const char* infName = std::getenv("QT7730_INF_NAME");
    options.driverInfName = infName && *infName ? infName : "qt7730.inf";
    m->face = std::make_unique<pcmodel::PcModel>(options);
    m->host = std::make_unique<SimHost>(*m->face);
    if (libusb_init(&m->ctx) != 0) {
        m->ctx = nullptr;
        std::fprintf(stderr, "qt7730: libusb could not start; no USB devices are shown\n");
        return;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) &&
        libusb_hotplug_register_callback(m->ctx,
                                         LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                                         LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                         LIBUSB_HOTPLUG_MATCH_ANY, &Impl::HotplugEvent, m.get(),
                                         &m->hotplug) == LIBUSB_SUCCESS)
        m->hotplugRegistered = true;
    m->Sync();
    m->events = std::thread([impl = m.get()] {
        timeval tick{0, 200000};
        while (!impl->stopping.load())
            libusb_handle_events_timeout_completed(impl->ctx, &tick, nullptr);
    });
    m->watcher = std::thread([impl = m.get()] {
        std::unique_lock lock(impl->watchMutex);
        while (!impl->stopping.load()) {
            // Without hot-plug events the topology is looked at once a second.
            impl->watchWake.wait_for(lock, std::chrono::seconds(1), [&] {
                return impl->dirty || impl->stopping.load() || !impl->toClose.empty();
            });
            if (impl->stopping.load())
                break;
            if (!impl->toClose.empty()) {
                lock.unlock();
                impl->CloseHandles();
                lock.lock();
            }
            const bool look = impl->dirty || !impl->hotplugRegistered;
            impl->dirty = false;
            if (!look)
                continue;
            lock.unlock();
            impl->Sync();
            lock.lock();
        }
    });
}

UsbHost::~UsbHost()
{
    {
        std::lock_guard lock(m->watchMutex);
        m->stopping = true;
    }
    m->watchWake.notify_all();
    if (m->watcher.joinable())
        m->watcher.join();
    // Handles the callers left open are closed (their transfers cancelled) while events still flow.
    m->host.reset();
    m->face.reset();
    m->CloseHandles();
    if (m->ctx) {
        if (m->hotplugRegistered)
            libusb_hotplug_deregister_callback(m->ctx, m->hotplug); // wakes the event thread
        if (m->events.joinable())
            m->events.join();
        m->CloseHandles(); // given back while the event thread ended
        libusb_exit(m->ctx);
    }
}

bool UsbHost::Started() const { return m->ctx != nullptr; }

void UsbHost::Rescan()
{
    if (m->ctx)
        m->Sync();
}

Host& UsbHost::Face() { return *m->host; }

Handle UsbHost::OpenFile(std::string_view name, std::uint32_t access, std::uint32_t share, bool overlapped)
{
    return Face().OpenFile(name, access, share, overlapped);
}
bool UsbHost::CloseHandle(Handle handle) { return Face().CloseHandle(handle); }
bool UsbHost::DeviceIoControl(Handle handle, std::uint32_t code, void* buffer, std::uint32_t size,
                              std::uint32_t* bytesReturned)
{
    return Face().DeviceIoControl(handle, code, buffer, size, bytesReturned);
}
IoStart UsbHost::ReadFile(Handle handle, void* buffer, std::uint32_t size, Overlapped& ov)
{
    return Face().ReadFile(handle, buffer, size, ov);
}
IoStart UsbHost::WriteFile(Handle handle, const void* buffer, std::uint32_t size, Overlapped& ov)
{
    return Face().WriteFile(handle, buffer, size, ov);
}
bool UsbHost::GetOverlappedResult(Handle handle, Overlapped& ov, std::uint32_t* bytesTransferred, bool wait)
{
    return Face().GetOverlappedResult(handle, ov, bytesTransferred, wait);
}
bool UsbHost::CancelIo(Handle handle) { return Face().CancelIo(handle); }
Handle UsbHost::CreateEvent(bool signalled) { return Face().CreateEvent(signalled); }
bool UsbHost::SetEvent(Handle event) { return Face().SetEvent(event); }
bool UsbHost::ResetEvent(Handle event) { return Face().ResetEvent(event); }
int UsbHost::WaitForEvents(std::span<const Handle> events, bool waitAll, std::uint32_t timeoutMs)
{
    return Face().WaitForEvents(events, waitAll, timeoutMs);
}
bool UsbHost::ReadWholeFile(std::string_view path, std::string& bytes) { return Face().ReadWholeFile(path, bytes); }
bool UsbHost::ReplaceFileContents(std::string_view path, std::string_view bytes)
{
    return Face().ReplaceFileContents(path, bytes);
}
bool UsbHost::EnumeratePresentDevices(std::string_view enumerator, std::size_t idBufferBytes,
                                      std::vector<std::string>& instanceIds)
{
    return Face().EnumeratePresentDevices(enumerator, idBufferBytes, instanceIds);
}
DevNode UsbHost::GetRootNode() { return Face().GetRootNode(); }
DevNode UsbHost::GetChild(DevNode node) { return Face().GetChild(node); }
DevNode UsbHost::GetSibling(DevNode node) { return Face().GetSibling(node); }
DevNode UsbHost::GetParent(DevNode node) { return Face().GetParent(node); }
bool UsbHost::GetNodeProperty(DevNode node, std::uint32_t property, std::size_t bufferBytes, std::string& value)
{
    return Face().GetNodeProperty(node, property, bufferBytes, value);
}
bool UsbHost::GetNodeInstanceId(DevNode node, std::size_t bufferBytes, std::string& id)
{
    return Face().GetNodeInstanceId(node, bufferBytes, id);
}
bool UsbHost::IsDevicePresent(std::string_view instanceId) { return Face().IsDevicePresent(instanceId); }
InstallWait UsbHost::WaitNoPendingInstallEvents(std::uint32_t timeoutMs)
{
    return Face().WaitNoPendingInstallEvents(timeoutMs);
}
bool UsbHost::ReadMachineRegistryString(std::string_view subKey, std::string_view valueName, std::size_t bufferBytes,
                                        std::string& value)
{
    return Face().ReadMachineRegistryString(subKey, valueName, bufferBytes, value);
}
std::string UsbHost::GetWindowsDirectory() { return Face().GetWindowsDirectory(); }
std::uint32_t UsbHost::GetPlatformId() { return Face().GetPlatformId(); }
std::string UsbHost::GetPrivateProfileString(std::string_view section, std::string_view key,
                                             std::string_view defaultValue, std::size_t bufferBytes,
                                             std::string_view path)
{
    return Face().GetPrivateProfileString(section, key, defaultValue, bufferBytes, path);
}
std::uint64_t UsbHost::SubscribeDeviceChanges(DeviceChangeCallback callback)
{
    return Face().SubscribeDeviceChanges(std::move(callback));
}
void UsbHost::UnsubscribeDeviceChanges(std::uint64_t id) { Face().UnsubscribeDeviceChanges(id); }
namespace {

std::string RefusedAdvice(const std::set<std::string>& refused)
{
    std::string nodes;
    for (const std::string& node : refused)
        nodes += (nodes.empty() ? "" : ", ") + node;
    return "a cable side is plugged in but this user may not open it: " + nodes +
           "; add the user to the group plugdev (sudo adduser NAME plugdev, then log in again) and plug the cable "
           "in again";
}

} // namespace

std::string UsbHost::NoDeviceAdvice()
{
    std::set<std::string> refused;
    {
        std::lock_guard lock(m->reportMutex);
        refused = m->refusedNodes;
    }
    if (refused.empty())
        return "no cable side with an ID of the kit's INF " + m->face->DriverInfPath().string() +
               " is plugged into this PC: plug in a cable, or add its IDs to the INF with Quillon";
    return RefusedAdvice(refused);
}

std::string UsbHost::DeviceNotice()
{
    std::set<std::string> refused;
    {
        std::lock_guard lock(m->reportMutex);
        refused = m->refusedNodes;
    }
    const std::string full = m->face->DeviceObjectNotice();
    if (refused.empty())
        return full;
    return RefusedAdvice(refused) + (full.empty() ? "" : "\n" + full);
}

std::string UsbHost::GetModuleFileName() { return Face().GetModuleFileName(); }
std::optional<FileVersion> UsbHost::GetFileVersion(std::string_view path) { return Face().GetFileVersion(path); }

} // namespace platform
