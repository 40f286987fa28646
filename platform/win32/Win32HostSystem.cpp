// The Windows backend's whole-file reads and replacements, device-change notifications (a thread
// with a message-only window), and the program's own file and file versions.

#include "Win32HostState.h"

#include "Os.h"

#include <vector>

namespace platform {

using namespace win32;


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
