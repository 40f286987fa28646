#pragma once
// platform::Host: the one door through which the kit reaches the outside world (device objects and
// their pipes, USB hub requests, the device manager, the registry, INF files, device-change
// notifications, the program's own file). The operations are shaped after what the kit calls and no
// more; a backend makes them real: `sim` serves them from the virtual bench, `win32` passes them to
// the Windows APIs of the same names.
//
// Common contract, unless an operation says otherwise:
// - Thread-safe. The GUI thread scans and walks while one worker thread does device I/O.
// - Texts are 8-bit. Names of files, devices, registry keys and values use backslashes as on
//   Windows; every backend accepts them. Names are compared without regard to case.
// - A failed operation returns false (or an invalid handle / empty result) and shows nothing.
// - Sizes called `bufferBytes` are the size of the caller's buffer on Windows, terminator included:
//   a text that does not fit fails the read (texts are never silently cut, except INF reads, which
//   truncate as the Windows initialisation-file API does).
// - No operation throws; bad arguments (null buffers with a non-zero size, invalid or stale handles,
//   over-long names) fail cleanly.
//
// Qt-free on purpose: the GUI layer marshals notifications onto its own thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// ---------------------------------------------------------------------------------------------
// Handles

// An open file, device object, pipe or event. 0 is the invalid handle. A backend never hands out
// the same value twice in one process, so a stale copy of a closed handle stays harmlessly invalid.
using Handle = std::uint64_t;
inline constexpr Handle INVALID_HANDLE = 0;

// A node of the device manager's tree (root, controllers, hubs, devices). 0 means "none".
using DevNode = std::uint32_t;
inline constexpr DevNode NO_DEVNODE = 0;

// Access and share flags of OpenFile (the Windows GENERIC_READ/WRITE and FILE_SHARE_READ/WRITE).
enum Access : std::uint32_t { ACCESS_READ = 1, ACCESS_WRITE = 2 };
enum Share : std::uint32_t { SHARE_NONE = 0, SHARE_READ = 1, SHARE_WRITE = 2 };

// Longest name (file, device, registry key) accepted, terminator excluded: Windows' MAX_PATH - 1.
inline constexpr std::size_t MAX_NAME = 259;

// Device requests used by the kit. Any other code fails cleanly.
inline constexpr std::uint32_t IOCTL_VENDOR_REQUEST = 0x222008;
inline constexpr std::uint32_t IOCTL_USB_GET_NODE_INFORMATION = 0x220408;
inline constexpr std::uint32_t IOCTL_USB_GET_NODE_CONNECTION_INFORMATION = 0x22040C;
inline constexpr std::uint32_t IOCTL_USB_GET_NODE_CONNECTION_NAME = 0x220414;
inline constexpr std::uint32_t IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME = 0x220420;

// Device-node registry properties (CM_DRP_*).
inline constexpr std::uint32_t DEVNODE_PROP_DEVICEDESC = 1;
inline constexpr std::uint32_t DEVNODE_PROP_DRIVER = 10;

// Platform ids (OSVERSIONINFO dwPlatformId).
inline constexpr std::uint32_t PLATFORM_WIN32_WINDOWS = 1;
inline constexpr std::uint32_t PLATFORM_WIN32_NT = 2;

// Overlapped transfer state, owned by the caller like Windows' OVERLAPPED. It must stay alive, and
// so must the transfer's buffer, until the transfer has finished (completed, failed or cancelled and
// then collected with GetOverlappedResult). `event` is a manual-reset event from CreateEvent; the
// transfer resets it when it starts and sets it when it finishes. `token` belongs to the backend.
struct Overlapped {
    Handle event = INVALID_HANDLE;
    std::uint64_t token = 0;
};

// How an overlapped ReadFile/WriteFile started.
enum class IoStart {
    Completed, // finished at once; the event is set and GetOverlappedResult answers at once
    Pending,   // in flight; the event is set when it finishes
    Failed,    // refused (bad handle, wrong direction, no buffer); the event is never set
};

// Result of WaitForEvents: an index into the events, or one of these.
inline constexpr int WAIT_TIMED_OUT = -1;
inline constexpr int WAIT_FAILED = -2;

// Answer of WaitNoPendingInstallEvents.
enum class InstallWait {
    Unavailable, // the platform offers no such query (on Windows: setupapi.dll not loaded, or no export)
    NoneLeft,    // no installation pending (WAIT_OBJECT_0)
    TimedOut,    // installations still pending when the time-out ran out (WAIT_TIMEOUT, 258)
    Failed,      // the query failed
};

enum class DeviceChange { Arrival, Removal };

// A program file's fixed version information (VS_FIXEDFILEINFO): most and least significant 32 bits
// of the file and product versions. 1.3.0.0 is fileVersionMS 0x00010003, fileVersionLS 0.
struct FileVersion {
    std::uint32_t fileVersionMS = 0;
    std::uint32_t fileVersionLS = 0;
    std::uint32_t productVersionMS = 0;
    std::uint32_t productVersionLS = 0;
};

// ---------------------------------------------------------------------------------------------

class Host {
public:
    virtual ~Host() = default;

    // ----- Files and devices -------------------------------------------------------------------

    // Opens an existing device object or hub by name (CreateFile with OPEN_EXISTING); ordinary files
    // go through ReadWholeFile/ReplaceFileContents. `access` is a mask of Access, `share` a mask of
    // Share. Device names have the form "\\.\NAME" with an
    // optional pipe sub-path ("\2" write pipe, "\3" read pipe); hubs are opened by their "\\.\" path.
    // `overlapped` asks for overlapped I/O (required for ReadFile/WriteFile on a pipe).
    // Result: an open handle, or INVALID_HANDLE when the name is empty, longer than MAX_NAME, not
    // present, or the access is not offered there (a read pipe cannot be opened for writing).
    virtual Handle OpenFile(std::string_view name, std::uint32_t access, std::uint32_t share,
                            bool overlapped) = 0;

    // Closes a handle of any kind (file, device, pipe, event). Closing INVALID_HANDLE, or a handle
    // already closed, does nothing and returns false. Closing a pipe handle cancels its outstanding
    // transfers first (they finish as cancelled; their events are set).
    virtual bool CloseHandle(Handle handle) = 0;

    // DeviceIoControl with one buffer used as both input and output (same memory, same size).
    // The request is synchronous. `bytesReturned` (may be null) gets the count of bytes written back.
    // Fails on an invalid handle, an unknown code, a buffer too small for the request, a request the
    // device refuses, or a fault the device has. On failure the buffer may have been partly written
    // but never beyond `size`.
    virtual bool DeviceIoControl(Handle handle, std::uint32_t code, void* buffer, std::uint32_t size,
                                 std::uint32_t* bytesReturned) = 0;

    // Starts an overlapped read of up to `size` bytes into `buffer` on a handle opened with
    // overlapped I/O and read access. The transfer completes when the buffer is full or the sending
    // side's transfer has ended (like a bulk pipe); see Overlapped for the lifetime rules.
    virtual IoStart ReadFile(Handle handle, void* buffer, std::uint32_t size, Overlapped& ov) = 0;

    // Starts an overlapped write of `size` bytes from `buffer` (write access, overlapped I/O).
    virtual IoStart WriteFile(Handle handle, const void* buffer, std::uint32_t size, Overlapped& ov) = 0;

    // The result of an overlapped transfer started on `handle`. With `wait` it blocks until the
    // transfer has finished; without, it fails at once while the transfer is still in flight.
    // True when the transfer finished successfully; `bytesTransferred` (may be null) gets its count.
    // A cancelled or failed transfer gives false. Once it has answered for a finished transfer, the
    // transfer's buffer and event are no longer touched.
    virtual bool GetOverlappedResult(Handle handle, Overlapped& ov, std::uint32_t* bytesTransferred,
                                     bool wait) = 0;

    // Cancels every outstanding transfer on `handle` (CancelIoEx with no OVERLAPPED). The cancelled
    // transfers finish as failed and set their events; collect them with GetOverlappedResult(wait)
    // before releasing their buffers. False for an invalid handle.
    virtual bool CancelIo(Handle handle) = 0;

    // A manual-reset event, initially unsignalled unless `signalled`. Close it with CloseHandle.
    virtual Handle CreateEvent(bool signalled) = 0;
    virtual bool SetEvent(Handle event) = 0;
    virtual bool ResetEvent(Handle event) = 0;

    // Waits until all (`waitAll`) or any of `events` are signalled, for at most `timeoutMs`
    // milliseconds (0 = just look). Result: 0 when all are signalled (waitAll), else the index of a
    // signalled event; WAIT_TIMED_OUT; WAIT_FAILED for an empty list, more than 64 events, or an
    // invalid handle among them.
    virtual int WaitForEvents(std::span<const Handle> events, bool waitAll, std::uint32_t timeoutMs) = 0;

    // Whole-file access for ordinary files (the INF updater reads and rewrites its file as raw bytes).
    // ReadWholeFile fails when the file cannot be opened or read; ReplaceFileContents writes the
    // file anew and fails, leaving the old contents in place, when it cannot be written.
    virtual bool ReadWholeFile(std::string_view path, std::string& bytes) = 0;
    virtual bool ReplaceFileContents(std::string_view path, std::string_view bytes) = 0;

    // ----- Device manager ----------------------------------------------------------------------

    // The present devices of enumerator `enumerator` ("USB"), all classes, in the manager's stable
    // order, with their instance IDs (each read into a buffer of `idBufferBytes`; an ID that does
    // not fit is given as an empty text). False when the enumeration cannot start.
    virtual bool EnumeratePresentDevices(std::string_view enumerator, std::size_t idBufferBytes,
                                         std::vector<std::string>& instanceIds) = 0;

    // Device-tree navigation (CM_Locate_DevNode root, CM_Get_Child, CM_Get_Sibling, CM_Get_Parent).
    // NO_DEVNODE when there is no such node or `node` is unknown; a node that went away is unknown.
    // Each step and each property read is cheap (constant time), so the walk's full pre-order
    // searches of the tree stay fast.
    virtual DevNode GetRootNode() = 0;
    virtual DevNode GetChild(DevNode node) = 0;
    virtual DevNode GetSibling(DevNode node) = 0;
    virtual DevNode GetParent(DevNode node) = 0;

    // A node's registry property (DEVNODE_PROP_DRIVER, DEVNODE_PROP_DEVICEDESC). False when the
    // node has no such property or it does not fit `bufferBytes`.
    virtual bool GetNodeProperty(DevNode node, std::uint32_t property, std::size_t bufferBytes,
                                 std::string& value) = 0;

    // A node's device instance ID, read into a buffer of `bufferBytes`.
    virtual bool GetNodeInstanceId(DevNode node, std::size_t bufferBytes, std::string& id) = 0;

    // CM_Locate_DevNode with normal flags: true when a present device has this instance ID.
    virtual bool IsDevicePresent(std::string_view instanceId) = 0;

    // CMP_WaitNoPendingInstallEvents(timeoutMs) as the production flow calls it (time-out 0).
    virtual InstallWait WaitNoPendingInstallEvents(std::uint32_t timeoutMs) = 0;

    // ----- Registry, system ----------------------------------------------------------------------

    // Reads a string value under HKEY_LOCAL_MACHINE\`subKey` ("SymbolicName", "InfPath"), into a
    // buffer of `bufferBytes`. False when the key or value is missing or does not fit.
    virtual bool ReadMachineRegistryString(std::string_view subKey, std::string_view valueName,
                                           std::size_t bufferBytes, std::string& value) = 0;

    // The Windows directory (GetWindowsDirectory): the INF files live in "<dir>\INF\".
    virtual std::string GetWindowsDirectory() = 0;

    // The operating system's platform id (PLATFORM_WIN32_NT = 2 on every current system).
    virtual std::uint32_t GetPlatformId() = 0;

    // ----- Initialisation files -----------------------------------------------------------------

    // GetPrivateProfileString: the value of `key` in `section` of the file at `path`. Section and
    // key names are matched without regard to case; the value is trimmed of surrounding blanks and
    // one pair of surrounding quotes; `defaultValue` when the file, section or key is missing; cut to
    // `bufferBytes - 1` characters (nothing when bufferBytes is 0).
    virtual std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                                std::string_view defaultValue, std::size_t bufferBytes,
                                                std::string_view path) = 0;

    // ----- Notifications --------------------------------------------------------------------------

    // Registers `callback` for every arrival and removal of any device. The callback runs on a
    // backend thread (or the thread that caused the change), never with a backend lock held; it may
    // call Host operations. Result: an id for Unsubscribe, never 0.
    using DeviceChangeCallback = std::function<void(DeviceChange)>;
    virtual std::uint64_t SubscribeDeviceChanges(DeviceChangeCallback callback) = 0;

    // After this returns the callback is not running and is never called again (unless called from
    // within the callback itself, where it only stops further calls). Unknown ids are ignored.
    virtual void UnsubscribeDeviceChanges(std::uint64_t id) = 0;

    // ----- What the operator is told ------------------------------------------------------------

    // For an operator who finds no device object: where the devices would come from and what to do
    // (the bench daemon: start it; this PC's USB: the sides present that this user may not open, by
    // device node, or the INF whose IDs get a device object). Empty when there is nothing to add.
    virtual std::string NoDeviceAdvice() { return {}; }
    // What the operator must be told about the cables present, which no scan shows: sides this user
    // may not open (by device node, with what to do), sides the driver took but left without a device
    // object because all 32 are in use. Empty when there is nothing to tell. May ask a device world
    // (the bench daemon): not for the GUI thread.
    virtual std::string DeviceNotice() { return {}; }

    // ----- The program's own file ---------------------------------------------------------------

    // The full path of the running program's file (GetModuleFileName(NULL)); empty on failure.
    virtual std::string GetModuleFileName() = 0;

    // The fixed version information embedded in the program file at `path`
    // (GetFileVersionInfo + VerQueryValue "\"); nullopt when the file has none or cannot be read.
    virtual std::optional<FileVersion> GetFileVersion(std::string_view path) = 0;
};

// ---------------------------------------------------------------------------------------------
// The process's Host

// The Host the programs use. Chosen at the first call from the environment variable QT7730_HOST:
// "usb" (this PC's own USB devices through libusb), "bench" or "sim" (the virtual bench of this
// user, its daemon), "win32" (Windows). Unset (or unknown) on Linux: the virtual bench when this
// user's bench daemon answers at that moment, else this PC's own USB devices; the installed menu
// entries ask for "usb". Never null; lives until the process ends.
Host& DefaultHost();

// DefaultHost() is the virtual bench (the programs say so in their window title); false when a test
// installed its own Host.
bool DefaultHostIsBench();
// What the programs add to their window title on the virtual bench (" - virtual bench"), else "".
std::string DefaultHostTitleSuffix();

// What the operator must do before DefaultHost() can show any device, as a sentence for the
// program's window ("The virtual bench is not running..."); empty when nothing is in the way or a
// test installed its own Host.
std::string DefaultHostProblem();

// Makes `host` the answer of DefaultHost() until the returned guard is destroyed (for tests, which
// install an in-process bench). The host must outlive the guard. Not for use while other threads
// call DefaultHost().
class ScopedDefaultHost {
public:
    explicit ScopedDefaultHost(Host& host);
    ~ScopedDefaultHost();
    ScopedDefaultHost(const ScopedDefaultHost&) = delete;
    ScopedDefaultHost& operator=(const ScopedDefaultHost&) = delete;

private:
    Host* m_previous;
};

} // namespace platform
