#pragma once
// The Host served by a PC model in the same process (the virtual bench's, or the USB backend's over
// live devices). The model is borrowed and must outlive this object; destroying the SimHost closes
// whatever its callers left open and ends its notification subscriptions, so no model callback
// refers to it afterwards.
//
// What the PC model does not model is answered here: events and overlapped results (the PC's kernel
// objects), ordinary files (paths with backslashes are taken as paths of this machine), INF string
// reads, and the program's own file and embedded version.

#include "PcModel.h"
#include "Host.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace platform {

class SimHost final : public Host {
public:
    explicit SimHost(pcmodel::PcModel& pc);
    ~SimHost() override;
    SimHost(const SimHost&) = delete;
    SimHost& operator=(const SimHost&) = delete;

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
    std::string DeviceNotice() override;
    std::optional<FileVersion> GetFileVersion(std::string_view path) override;

private:
    struct Event {
        bool signalled = false;
    };
    // One overlapped transfer: where its bytes go and how it ended. Guarded by m_mutex.
    struct TransferState {
        Handle file = INVALID_HANDLE;
        std::shared_ptr<Event> event;
        void* readBuffer = nullptr;
        bool done = false, ok = false;
        std::uint32_t count = 0;
    };
    struct Entry {
        pcmodel::ObjectHandle object = 0; // a PC model object, or 0 for an event
        bool overlapped = false;
        std::shared_ptr<Event> event;
    };

    IoStart Start(Handle handle, void* readBuffer, const void* writeBuffer, std::uint32_t size, Overlapped& ov);
    bool Lookup(Handle handle, Entry& entry);

    pcmodel::PcModel& m_pc;
    std::mutex m_mutex; // a leaf lock: never held while calling the PC model
    std::condition_variable m_changed; // any event or transfer state changed
    std::map<Handle, Entry> m_handles;
    std::map<std::uint64_t, std::shared_ptr<TransferState>> m_transfers;
    Handle m_nextHandle = 1;
    std::uint64_t m_nextToken = 1;
    std::set<std::uint64_t> m_subscriptions;
};

} // namespace platform
