#pragma once
// The Host over this PC's live USB devices, reached through libusb-1.0, with the kit itself in the
// part of the chip's driver.
//
// The Windows-shaped answers (device-manager tree, instance IDs, driver keys, hub requests, binding
// by the INF, HOSTLNK numbering, registry values, notifications) are the PC model's (pcmodel/), as
// for the virtual bench; this backend mirrors the live topology (buses, root hubs, hubs and their
// ports, devices) into a PC model whose devices are the live ones (pcmodel::PluggedDevice), so
// vendor requests become USB control transfers and the pipes become bulk transfers on the device.
// The INF is "<kit data directory>/INF/qt7730.inf" (QT7730_INF_NAME names another file there).
//
// Threads, both owned and joined here: libusb's event handling, and a watcher that applies hot-plug
// events to the mirror and delivers the device-change notifications (so a notified caller may do
// device I/O at once).

#include "Host.h"

#include <memory>

namespace platform {

class UsbHost final : public Host {
public:
    UsbHost();
    ~UsbHost() override;
    UsbHost(const UsbHost&) = delete;
    UsbHost& operator=(const UsbHost&) = delete;

    // False when libusb could not start (no USB stack); the Host then shows a PC without devices.
    bool Started() const;
    // Brings the mirror up to date with the live topology now (hot-plug events do this on their own).
    void Rescan();

    Handle OpenFile(std::string_view name, std::uint32_t access, std::uint32_t share, bool overlapped) override;
    bool CloseHandle(Handle handle) override;
    bool DeviceIoControl(Handle handle, std::uint32_t code, void* buffer, std::uint32_t size,
                         std::uint32_t* bytesReturned) override;
    IoStart ReadFile(Handle handle, void* buffer, std::uint32_t size, Overlapped& ov) override;
    IoStart WriteFile(Handle handle, const void* buffer, std::uint32_t size, Overlapped& ov) override;
    bool GetOverlappedResult(Handle handle, Overlapped& ov, std::uint32_t* bytesTransferred, bool wait) override;
    bool CancelIo(Handle handle) override;
    Handle CreateEvent(bool signalled) override;
    bool SetEvent(Handle event) override;
    bool ResetEvent(Handle event) override;
    int WaitForEvents(std::span<const Handle> events, bool waitAll, std::uint32_t timeoutMs) override;
    bool ReadWholeFile(std::string_view path, std::string& bytes) override;
    bool ReplaceFileContents(std::string_view path, std::string_view bytes) override;

    bool EnumeratePresentDevices(std::string_view enumerator, std::size_t idBufferBytes,
                                 std::vector<std::string>& instanceIds) override;
    DevNode GetRootNode() override;
    DevNode GetChild(DevNode node) override;
    DevNode GetSibling(DevNode node) override;
    DevNode GetParent(DevNode node) override;
    bool GetNodeProperty(DevNode node, std::uint32_t property, std::size_t bufferBytes, std::string& value) override;
    bool GetNodeInstanceId(DevNode node, std::size_t bufferBytes, std::string& id) override;
    bool IsDevicePresent(std::string_view instanceId) override;
    InstallWait WaitNoPendingInstallEvents(std::uint32_t timeoutMs) override;

    bool ReadMachineRegistryString(std::string_view subKey, std::string_view valueName, std::size_t bufferBytes,
                                   std::string& value) override;
    std::string GetWindowsDirectory() override;
    std::uint32_t GetPlatformId() override;

    std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                                        std::size_t bufferBytes, std::string_view path) override;

    std::uint64_t SubscribeDeviceChanges(DeviceChangeCallback callback) override;
    void UnsubscribeDeviceChanges(std::uint64_t id) override;

    std::string NoDeviceAdvice() override;
    std::string DeviceNotice() override;
    std::string GetModuleFileName() override;
    std::optional<FileVersion> GetFileVersion(std::string_view path) override;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
    Host& Face();
};

} // namespace platform
