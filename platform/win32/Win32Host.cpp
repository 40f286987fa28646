// The Windows backend's device objects and their I/O: opening a device or file, device requests,
// overlapped reads and writes, events; and the text conversions the other files use.

#include "Win32HostState.h"

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

using namespace win32;

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

} // namespace platform
