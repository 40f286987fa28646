#pragma once
// The Host over the real Windows APIs: the chip's driver through its device objects, the USB hub
// requests, the configuration manager and SetupDi, the registry, the profile API for INF files and
// WM_DEVICECHANGE. A thin pass-through: every call maps its failure onto the Host contract and
// nothing throws.
//
// Handles handed out are numbers of this backend's own (never reused in one process), each naming
// one Windows handle; the OVERLAPPED structures of transfers in flight belong to the backend, so a
// caller's Overlapped can never be the cause of a kernel write into freed memory.

#include "Host.h"

#include <memory>

namespace platform {

class Win32Host final : public Host {
public:
    Win32Host();
    ~Win32Host() override;
    Win32Host(const Win32Host&) = delete;
    Win32Host& operator=(const Win32Host&) = delete;

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

    std::string GetModuleFileName() override;
    std::optional<FileVersion> GetFileVersion(std::string_view path) override;

    // The class name of the message-only window that receives WM_DEVICECHANGE (one per Win32Host,
    // created with the first subscription).
    static constexpr const wchar_t* kNotifyWindowClass = L"QT7730DeviceChangeWindow";

    struct State; // the backend's tables and notification thread

private:
    std::unique_ptr<State> m;
};

// 8-bit text (the system's ANSI code page, as the kit's texts are) to and from UTF-16.
std::wstring WideFromAnsi(std::string_view text);
std::string AnsiFromWide(std::wstring_view text);

} // namespace platform
