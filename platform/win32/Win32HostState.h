#pragma once
// Inside the Windows backend (private to platform/win32): its tables of handles and transfers, the
// notification thread's state, and the small helpers its three files share (Win32Host.cpp: device
// objects and I/O; Win32HostDeviceManager.cpp: the device manager, registry and profiles;
// Win32HostSystem.cpp: whole files, versions, notifications).

#include "WindowsApi.h"

#include "Win32Host.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace platform {

namespace win32 {

// The largest buffer a caller's `bufferBytes` gets: far above any name or INF value, low enough that
// an absurd size is never an allocation failure.
constexpr std::size_t kMaxTextBuffer = 1u << 20;
// The longest a device request may take before it is cancelled (an EEPROM block write takes
// milliseconds; a hub answers at once).
constexpr DWORD kDeviceRequestLimitMs = 5000;
// Whole-file reads are for INF files: a few hundred KiB at most.
constexpr LONGLONG kMaxFileBytes = 16ll << 20;

inline bool IsDeviceName(std::string_view name) { return name.substr(0, 4) == "\\\\.\\"; }

inline std::string UpToNul(const char* data, std::size_t size)
{
    return std::string(data, std::find(data, data + size, '\0'));
}

// A zero-terminated copy for the A functions; nullopt when the text holds a zero byte (a name the
// caller did not mean).
inline std::optional<std::string> CString(std::string_view text)
{
    if (text.find('\0') != std::string_view::npos)
        return std::nullopt;
    return std::string(text);
}

inline bool KnownDeviceRequest(std::uint32_t code)
{
    switch (code) {
    case IOCTL_VENDOR_REQUEST:
    case IOCTL_USB_GET_NODE_INFORMATION:
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
    case IOCTL_USB_GET_NODE_CONNECTION_NAME:
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
        return true;
    default:
        return false;
    }
}

enum class Kind { File, Event };

struct Object {
    HANDLE handle = INVALID_HANDLE_VALUE;
    Kind kind = Kind::File;
    bool overlapped = false;
};

// A transfer in flight: the OVERLAPPED the kernel writes into lives here until the transfer has
// been collected.
struct Transfer {
    OVERLAPPED ov{};
    Handle file = INVALID_HANDLE;
    HANDLE fileHandle = INVALID_HANDLE_VALUE;
};

} // namespace win32

struct Win32Host::State {
    std::mutex lock;
    Handle nextHandle = 1;
    std::map<Handle, win32::Object> objects;
    std::uint64_t nextToken = 1;
    std::map<std::uint64_t, std::shared_ptr<win32::Transfer>> transfers;

    // Device-change notifications: a thread with a message-only window.
    std::mutex subscribersLock;
    std::map<std::uint64_t, DeviceChangeCallback> subscribers;
    std::uint64_t nextSubscriber = 1;
    std::mutex dispatchLock; // held while callbacks run
    std::thread notifier;
    std::thread::id notifierId;
    HWND window = nullptr;
    bool notifierFailed = false;
    std::condition_variable notifierReady;

    std::optional<win32::Object> Find(Handle handle)
    {
        std::lock_guard guard(lock);
        const auto it = objects.find(handle);
        if (it == objects.end())
            return std::nullopt;
        return it->second;
    }

    Handle Add(const win32::Object& object)
    {
        std::lock_guard guard(lock);
        const Handle id = nextHandle++;
        objects.emplace(id, object);
        return id;
    }

    std::shared_ptr<win32::Transfer> FindTransfer(std::uint64_t token)
    {
        std::lock_guard guard(lock);
        const auto it = transfers.find(token);
        return it == transfers.end() ? nullptr : it->second;
    }

    void Dispatch(DeviceChange change);
    void RunNotifier();
};

} // namespace platform
