#include "WindowsApi.h"

#include "Win32Host.h"

#include "Os.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

std::wstring WideFromAnsi(std::string_view text)
{
    if (text.empty() || text.size() > 0x7FFFFFFF)
        return {};
    const int count = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    if (count <= 0)
        return {};
    std::wstring wide(std::size_t(count), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), wide.data(), count);
    return wide;
}

std::string AnsiFromWide(std::wstring_view text)
{
    if (text.empty() || text.size() > 0x7FFFFFFF)
        return {};
    const int count = WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    if (count <= 0)
        return {};
    std::string narrow(std::size_t(count), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), narrow.data(), count, nullptr, nullptr);
    return narrow;
}

namespace {

// The largest buffer a caller's `bufferBytes` gets: far above any name or INF value, low enough that
// an absurd size is never an allocation failure.
constexpr std::size_t kMaxTextBuffer = 1u << 20;
// The longest a device request may take before it is cancelled (an EEPROM block write takes
// milliseconds; a hub answers at once).
constexpr DWORD kDeviceRequestLimitMs = 5000;
// Whole-file reads are for INF files: a few hundred KiB at most.
constexpr LONGLONG kMaxFileBytes = 16ll << 20;

bool IsDeviceName(std::string_view name) { return name.substr(0, 4) == "\\\\.\\"; }

std::string UpToNul(const char* data, std::size_t size)
{
    return std::string(data, std::find(data, data + size, '\0'));
}

// A zero-terminated copy for the A functions; nullopt when the text holds a zero byte (a name the
// caller did not mean).
std::optional<std::string> CString(std::string_view text)
{
    if (text.find('\0') != std::string_view::npos)
        return std::nullopt;
    return std::string(text);
}

bool KnownDeviceRequest(std::uint32_t code)
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

} // namespace

struct Win32Host::State {
    std::mutex lock;
    Handle nextHandle = 1;
    std::map<Handle, Object> objects;
    std::uint64_t nextToken = 1;
    std::map<std::uint64_t, std::shared_ptr<Transfer>> transfers;

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

    std::optional<Object> Find(Handle handle)
    {
        std::lock_guard guard(lock);
        const auto it = objects.find(handle);
        if (it == objects.end())
            return std::nullopt;
        return it->second;
    }

    Handle Add(const Object& object)
    {
        std::lock_guard guard(lock);
        const Handle id = nextHandle++;
        objects.emplace(id, object);
        return id;
    }

    std::shared_ptr<Transfer> FindTransfer(std::uint64_t token)
    {
        std::lock_guard guard(lock);
        const auto it = transfers.find(token);
        return it == transfers.end() ? nullptr : it->second;
    }

    void Dispatch(DeviceChange change);
    void RunNotifier();
};

Win32Host::Win32Host() : m(std::make_unique<State>()) {}

Win32Host::~Win32Host()
{
    if (m->notifier.joinable()) {
        PostMessageW(m->window, WM_CLOSE, 0, 0);
        m->notifier.join();
    }
    // Whatever callers left open is closed, transfers in flight collected first.
    std::vector<Handle> open;
    {
        std::lock_guard guard(m->lock);
        for (const auto& entry : m->objects)
            open.push_back(entry.first);
    }
    for (Handle handle : open)
        CloseHandle(handle);
}

// ----- Files and devices ---------------------------------------------------------------------------

Handle Win32Host::OpenFile(std::string_view name, std::uint32_t access, std::uint32_t share, bool overlapped)
{
    if (name.empty() || name.size() > MAX_NAME || !CString(name))
        return INVALID_HANDLE;
    DWORD desired = 0;
    if (access & ACCESS_READ)
        desired |= GENERIC_READ;
    if (access & ACCESS_WRITE)
        desired |= GENERIC_WRITE;
    DWORD shareMode = 0;
    if (share & SHARE_READ)
        shareMode |= FILE_SHARE_READ;
    if (share & SHARE_WRITE)
        shareMode |= FILE_SHARE_WRITE;
    const std::wstring wide = WideFromAnsi(name);
    // Always opened for overlapped I/O underneath, so that a device request can be bounded in time;
    // `overlapped` still decides whether the caller may start transfers on it.
    HANDLE handle = CreateFileW(wide.c_str(), desired, shareMode, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE;
    return m->Add(Object{handle, Kind::File, overlapped});
}

bool Win32Host::CloseHandle(Handle handle)
{
    Object object;
    std::vector<std::shared_ptr<Transfer>> pending;
    {
        std::lock_guard guard(m->lock);
        const auto it = m->objects.find(handle);
        if (it == m->objects.end())
            return false;
        object = it->second;
        m->objects.erase(it);
        for (auto t = m->transfers.begin(); t != m->transfers.end();) {
            if (t->second->file == handle) {
                pending.push_back(t->second);
                t = m->transfers.erase(t);
            } else {
                ++t;
            }
        }
    }
    // Outstanding transfers are cancelled and waited for, so the kernel is done with their buffers
    // before the handle goes; their events end up set.
    if (!pending.empty()) {
        CancelIoEx(object.handle, nullptr);
        for (const auto& transfer : pending) {
            DWORD ignored = 0;
            ::GetOverlappedResult(object.handle, &transfer->ov, &ignored, TRUE);
        }
    }
    return ::CloseHandle(object.handle) != 0;
}

bool Win32Host::DeviceIoControl(Handle handle, std::uint32_t code, void* buffer, std::uint32_t size,
                                std::uint32_t* bytesReturned)
{
    if (bytesReturned)
        *bytesReturned = 0;
    if (!KnownDeviceRequest(code) || (!buffer && size != 0))
        return false;
    const auto object = m->Find(handle);
    if (!object || object->kind != Kind::File)
        return false;
    // A device that never answers must not hold the caller for ever: the request is given a
    // generous limit, then cancelled and collected, and fails.
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent)
        return false;
    DWORD returned = 0;
    BOOL ok = ::DeviceIoControl(object->handle, code, buffer, size, buffer, size, &returned, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, kDeviceRequestLimitMs) != WAIT_OBJECT_0)
            CancelIoEx(object->handle, &ov);
        ok = ::GetOverlappedResult(object->handle, &ov, &returned, TRUE);
    } else if (ok) {
        ok = ::GetOverlappedResult(object->handle, &ov, &returned, FALSE);
    }
    ::CloseHandle(ov.hEvent);
    if (bytesReturned)
        *bytesReturned = std::min<std::uint32_t>(returned, size);
    return ok != 0;
}

namespace {

template <class Start>
IoStart StartTransfer(Win32Host::State& m, Handle handle, bool wantRead, const void* buffer, std::uint32_t size,
                      Overlapped& ov, Start start)
{
    if (!buffer && size != 0)
        return IoStart::Failed;
    const auto file = m.Find(handle);
    const auto event = m.Find(ov.event);
    if (!file || file->kind != Kind::File || !file->overlapped || !event || event->kind != Kind::Event)
        return IoStart::Failed;
    (void)wantRead;
    auto transfer = std::make_shared<Transfer>();
    transfer->ov.hEvent = event->handle;
    transfer->file = handle;
    transfer->fileHandle = file->handle;
    ::ResetEvent(event->handle);
    std::uint64_t token;
    {
        std::lock_guard guard(m.lock);
        token = m.nextToken++;
        m.transfers.emplace(token, transfer);
    }
    ov.token = token;
    if (start(file->handle, &transfer->ov))
        return IoStart::Completed;
    if (GetLastError() == ERROR_IO_PENDING)
        return IoStart::Pending;
    {
        std::lock_guard guard(m.lock);
        m.transfers.erase(token);
    }
    ov.token = 0;
    return IoStart::Failed;
}

} // namespace

IoStart Win32Host::ReadFile(Handle handle, void* buffer, std::uint32_t size, Overlapped& ov)
{
    return StartTransfer(*m, handle, true, buffer, size, ov, [&](HANDLE file, OVERLAPPED* o) {
        return ::ReadFile(file, buffer, size, nullptr, o) != 0;
    });
}

IoStart Win32Host::WriteFile(Handle handle, const void* buffer, std::uint32_t size, Overlapped& ov)
{
    return StartTransfer(*m, handle, false, buffer, size, ov, [&](HANDLE file, OVERLAPPED* o) {
        return ::WriteFile(file, buffer, size, nullptr, o) != 0;
    });
}

bool Win32Host::GetOverlappedResult(Handle handle, Overlapped& ov, std::uint32_t* bytesTransferred, bool wait)
{
    if (bytesTransferred)
        *bytesTransferred = 0;
    const auto transfer = m->FindTransfer(ov.token);
    if (!transfer || transfer->file != handle)
        return false;
    DWORD transferred = 0;
    const BOOL ok = ::GetOverlappedResult(transfer->fileHandle, &transfer->ov, &transferred, wait ? TRUE : FALSE);
    if (!ok && GetLastError() == ERROR_IO_INCOMPLETE)
        return false; // still in flight: asked again later
    {
        std::lock_guard guard(m->lock);
        m->transfers.erase(ov.token);
    }
    ov.token = 0;
    if (bytesTransferred)
        *bytesTransferred = transferred;
    return ok != 0;
}

bool Win32Host::CancelIo(Handle handle)
{
    const auto object = m->Find(handle);
    if (!object || object->kind != Kind::File)
        return false;
    // Nothing to cancel is not a failure of the call.
    return CancelIoEx(object->handle, nullptr) != 0 || GetLastError() == ERROR_NOT_FOUND;
}

Handle Win32Host::CreateEvent(bool signalled)
{
    HANDLE event = CreateEventW(nullptr, TRUE, signalled ? TRUE : FALSE, nullptr);
    if (!event)
        return INVALID_HANDLE;
    return m->Add(Object{event, Kind::Event, false});
}

bool Win32Host::SetEvent(Handle event)
{
    const auto object = m->Find(event);
    return object && object->kind == Kind::Event && ::SetEvent(object->handle) != 0;
}

bool Win32Host::ResetEvent(Handle event)
{
    const auto object = m->Find(event);
    return object && object->kind == Kind::Event && ::ResetEvent(object->handle) != 0;
}

int Win32Host::WaitForEvents(std::span<const Handle> events, bool waitAll, std::uint32_t timeoutMs)
{
    if (events.empty() || events.size() > MAXIMUM_WAIT_OBJECTS)
        return WAIT_FAILED;
    std::vector<HANDLE> handles;
    for (Handle event : events) {
        const auto object = m->Find(event);
        if (!object || object->kind != Kind::Event)
            return WAIT_FAILED;
        handles.push_back(object->handle);
    }
    // INFINITE is not a time-out the kit asks for; it is capped just below.
    const DWORD timeout = timeoutMs == INFINITE ? INFINITE - 1 : timeoutMs;
    const DWORD result = WaitForMultipleObjects(DWORD(handles.size()), handles.data(), waitAll, timeout);
    if (result < WAIT_OBJECT_0 + handles.size())
        return waitAll ? 0 : int(result - WAIT_OBJECT_0);
    if (result == WAIT_TIMEOUT)
        return WAIT_TIMED_OUT;
    return platform::WAIT_FAILED;
}

bool Win32Host::ReadWholeFile(std::string_view path, std::string& bytes)
{
    if (path.empty() || path.size() > MAX_NAME || IsDeviceName(path) || !CString(path))
        return false;
    const std::wstring wide = WideFromAnsi(path);
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // Only ordinary disk files of a sane size: a pipe or a console given as a path would never end.
    LARGE_INTEGER size{};
    bool ok = GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) && size.QuadPart <= kMaxFileBytes;
    std::string data;
    if (ok) {
        data.resize(std::size_t(size.QuadPart));
        std::size_t done = 0;
        while (ok && done < data.size()) {
            DWORD got = 0;
            ok = ::ReadFile(file, data.data() + done, DWORD(data.size() - done), &got, nullptr) && got > 0;
            done += got;
        }
    }
    ::CloseHandle(file);
    if (ok)
        bytes = std::move(data);
    return ok;
}

bool Win32Host::ReplaceFileContents(std::string_view path, std::string_view bytes)
{
    if (path.empty() || path.size() > MAX_NAME || IsDeviceName(path) || !CString(path) || bytes.size() > 0x7FFFFFFF)
        return false;
    const std::wstring target = WideFromAnsi(path);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
        return false;
    // Written beside the file, flushed to the disk, then moved over it: a failure at any point leaves
    // the old contents whole. (Write-through alone does not cover the metadata of a rename.)
    const std::wstring temporary = target + L".new";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        DWORD wrote = 0;
        ok = ::WriteFile(file, bytes.data() + done, DWORD(bytes.size() - done), &wrote, nullptr) && wrote > 0;
        done += wrote;
    }
    ok = ok && FlushFileBuffers(file);
    ok = ::CloseHandle(file) && ok;
    ok = ok && MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok)
        DeleteFileW(temporary.c_str());
    return ok;
}

// ----- Device manager --------------------------------------------------------------------------------

bool Win32Host::EnumeratePresentDevices(std::string_view enumerator, std::size_t idBufferBytes,
                                        std::vector<std::string>& instanceIds)
{
    instanceIds.clear();
    if (enumerator.empty() || !CString(enumerator))
        return false;
    const std::wstring wide = WideFromAnsi(enumerator);
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, wide.c_str(), nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    std::vector<char> buffer(std::min(idBufferBytes, kMaxTextBuffer) + 1, '\0');
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        DWORD required = 0;
        if (idBufferBytes > 0
            && SetupDiGetDeviceInstanceIdA(set, &data, buffer.data(), DWORD(buffer.size() - 1), &required))
            instanceIds.push_back(UpToNul(buffer.data(), buffer.size() - 1));
        else
            instanceIds.emplace_back(); // does not fit the caller's buffer
    }
    SetupDiDestroyDeviceInfoList(set);
    return true;
}

DevNode Win32Host::GetRootNode()
{
    DEVINST root = 0;
    return CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS ? DevNode(root) : NO_DEVNODE;
}

DevNode Win32Host::GetChild(DevNode node)
{
    DEVINST next = 0;
    return node != NO_DEVNODE && CM_Get_Child(&next, node, 0) == CR_SUCCESS ? DevNode(next) : NO_DEVNODE;
}

DevNode Win32Host::GetSibling(DevNode node)
{
    DEVINST next = 0;
    return node != NO_DEVNODE && CM_Get_Sibling(&next, node, 0) == CR_SUCCESS ? DevNode(next) : NO_DEVNODE;
}

DevNode Win32Host::GetParent(DevNode node)
{
    DEVINST next = 0;
    return node != NO_DEVNODE && CM_Get_Parent(&next, node, 0) == CR_SUCCESS ? DevNode(next) : NO_DEVNODE;
}

bool Win32Host::GetNodeProperty(DevNode node, std::uint32_t property, std::size_t bufferBytes, std::string& value)
{
    if (node == NO_DEVNODE || bufferBytes == 0
        || (property != DEVNODE_PROP_DRIVER && property != DEVNODE_PROP_DEVICEDESC))
        return false;
    std::vector<char> buffer(std::min(bufferBytes, kMaxTextBuffer), '\0');
    ULONG length = ULONG(buffer.size());
    ULONG type = 0;
    if (CM_Get_DevNode_Registry_PropertyA(node, property, &type, buffer.data(), &length, 0) != CR_SUCCESS
        || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    const std::size_t got = std::min<std::size_t>(length, buffer.size());
    // A text that filled the buffer without its terminator did not fit.
    if (std::find(buffer.begin(), buffer.begin() + std::ptrdiff_t(got), '\0') == buffer.begin() + std::ptrdiff_t(got)
        && got == buffer.size())
        return false;
    value = UpToNul(buffer.data(), got);
    return true;
}

bool Win32Host::GetNodeInstanceId(DevNode node, std::size_t bufferBytes, std::string& id)
{
    if (node == NO_DEVNODE || bufferBytes == 0)
        return false;
    // CM_Get_Device_ID fills a buffer of exactly the ID's length without a terminator; the size is
    // asked first so that an ID that does not fit with its terminator fails.
    ULONG length = 0;
    if (CM_Get_Device_ID_Size(&length, node, 0) != CR_SUCCESS || std::size_t(length) + 1 > bufferBytes)
        return false;
    std::vector<char> buffer(std::size_t(length) + 1, '\0');
    if (CM_Get_Device_IDA(node, buffer.data(), ULONG(buffer.size()), 0) != CR_SUCCESS)
        return false;
    id = UpToNul(buffer.data(), buffer.size());
    return true;
}

bool Win32Host::IsDevicePresent(std::string_view instanceId)
{
    const auto id = CString(instanceId);
    if (!id || id->empty() || id->size() > MAX_DEVICE_ID_LEN)
        return false;
    DEVINST node = 0;
    return CM_Locate_DevNodeA(&node, const_cast<char*>(id->c_str()), CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS;
}

InstallWait Win32Host::WaitNoPendingInstallEvents(std::uint32_t timeoutMs)
{
    // Looked up at run time, as older systems lack the export.
    using WaitFn = DWORD(WINAPI*)(DWORD);
    static const WaitFn wait = [] () -> WaitFn {
        HMODULE setup = LoadLibraryW(L"setupapi.dll");
        if (!setup)
            return nullptr;
        return reinterpret_cast<WaitFn>(reinterpret_cast<void*>(GetProcAddress(setup, "CMP_WaitNoPendingInstallEvents")));
    }();
    if (!wait)
        return InstallWait::Unavailable;
    switch (wait(timeoutMs)) {
    case WAIT_OBJECT_0:
        return InstallWait::NoneLeft;
    case WAIT_TIMEOUT:
        return InstallWait::TimedOut;
    default:
        return InstallWait::Failed;
    }
}

// ----- Registry, system ----------------------------------------------------------------------------

bool Win32Host::ReadMachineRegistryString(std::string_view subKey, std::string_view valueName,
                                          std::size_t bufferBytes, std::string& value)
{
    const auto key = CString(subKey);
    const auto name = CString(valueName);
    if (!key || !name || key->size() > MAX_NAME || bufferBytes == 0)
        return false;
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key->c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    std::vector<char> buffer(std::min(bufferBytes, kMaxTextBuffer), '\0');
    DWORD length = DWORD(buffer.size());
    DWORD type = 0;
    const LONG result = RegQueryValueExA(handle, name->c_str(), nullptr, &type,
                                         reinterpret_cast<BYTE*>(buffer.data()), &length);
    RegCloseKey(handle);
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    const std::size_t got = std::min<std::size_t>(length, buffer.size());
    // A value stored without its terminator that fills the buffer exactly has no room for one.
    if (got == buffer.size() && (got == 0 || buffer[got - 1] != '\0'))
        return false;
    value = UpToNul(buffer.data(), got);
    return true;
}

std::string Win32Host::GetWindowsDirectory()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT length = GetWindowsDirectoryW(buffer, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return {};
    return AnsiFromWide(std::wstring_view(buffer, length));
}

std::uint32_t Win32Host::GetPlatformId()
{
    // Every system this 64-bit build runs on is of the NT line (GetVersionEx answers the same).
    return PLATFORM_WIN32_NT;
}

// ----- Initialisation files -------------------------------------------------------------------------

std::string Win32Host::GetPrivateProfileString(std::string_view section, std::string_view key,
                                               std::string_view defaultValue, std::size_t bufferBytes,
                                               std::string_view path)
{
    if (bufferBytes == 0)
        return {};
    const auto s = CString(section), k = CString(key), d = CString(defaultValue), p = CString(path);
    if (!s || !k || !d || !p)
        return {};
    std::vector<char> buffer(std::min(bufferBytes, kMaxTextBuffer), '\0');
    const DWORD length = GetPrivateProfileStringA(s->c_str(), k->c_str(), d->c_str(), buffer.data(),
                                                  DWORD(buffer.size()), p->c_str());
    return std::string(buffer.data(), std::min<std::size_t>(length, buffer.size() - 1));
}

// ----- Notifications ---------------------------------------------------------------------------------

void Win32Host::State::Dispatch(DeviceChange change)
{
    std::lock_guard running(dispatchLock);
    std::vector<std::uint64_t> ids;
    {
        std::lock_guard guard(subscribersLock);
        for (const auto& entry : subscribers)
            ids.push_back(entry.first);
    }
    for (std::uint64_t id : ids) {
        DeviceChangeCallback callback;
        {
            std::lock_guard guard(subscribersLock);
            const auto it = subscribers.find(id);
            if (it == subscribers.end())
                continue; // unsubscribed by an earlier callback
            callback = it->second;
        }
        callback(change);
    }
}

namespace {

LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* state = reinterpret_cast<Win32Host::State*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_DEVICECHANGE && state) {
        if (wParam == DBT_DEVICEARRIVAL)
            state->Dispatch(DeviceChange::Arrival);
        else if (wParam == DBT_DEVICEREMOVECOMPLETE)
            state->Dispatch(DeviceChange::Removal);
        return TRUE;
    }
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

void Win32Host::State::RunNotifier()
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = NotifyWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kNotifyWindowClass;
    RegisterClassExW(&windowClass); // a second host finds the class registered already
    HWND created = CreateWindowExW(0, kNotifyWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    HDEVNOTIFY registration = nullptr;
    if (created) {
        SetWindowLongPtrW(created, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        // Every device interface of every class: the driver's device objects and the USB devices.
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        registration = RegisterDeviceNotificationW(created, &filter,
                                                   DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
    }
    {
        std::lock_guard guard(lock);
        window = created;
        notifierFailed = created == nullptr;
    }
    notifierReady.notify_all();
    if (!created)
        return;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (registration)
        UnregisterDeviceNotification(registration);
}

std::uint64_t Win32Host::SubscribeDeviceChanges(DeviceChangeCallback callback)
{
    std::uint64_t id;
    {
        std::lock_guard guard(m->subscribersLock);
        id = m->nextSubscriber++;
        m->subscribers.emplace(id, std::move(callback));
    }
    std::unique_lock guard(m->lock);
    if (!m->notifier.joinable() && !m->notifierFailed) {
        try {
            m->notifier = std::thread([state = m.get()] { state->RunNotifier(); });
            m->notifierId = m->notifier.get_id();
            m->notifierReady.wait(guard, [this] { return m->window != nullptr || m->notifierFailed; });
        } catch (...) {
            // No thread: the subscription stands but no change is ever reported.
            m->notifierFailed = true;
        }
    }
    return id;
}

void Win32Host::UnsubscribeDeviceChanges(std::uint64_t id)
{
    {
        std::lock_guard guard(m->subscribersLock);
        m->subscribers.erase(id);
    }
    // Wait for a callback in progress, unless this is that callback.
    if (std::this_thread::get_id() != m->notifierId) {
        std::lock_guard wait(m->dispatchLock);
    }
}

// ----- The program's own file -------------------------------------------------------------------------

std::string Win32Host::GetModuleFileName() { return AnsiFromWide(platform::ProgramFile().native()); }

std::optional<FileVersion> Win32Host::GetFileVersion(std::string_view path)
{
    if (path.empty() || !CString(path))
        return std::nullopt;
    const std::wstring wide = WideFromAnsi(path);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(wide.c_str(), &ignored);
    if (size == 0 || size > kMaxTextBuffer)
        return std::nullopt;
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(wide.c_str(), 0, size, data.data()))
        return std::nullopt;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed
        || fixedSize < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != 0xFEEF04BD)
        return std::nullopt;
    return FileVersion{fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
                       fixed->dwProductVersionLS};
}

} // namespace platform
