#include "SimHost.h"

#include "EmbeddedVersion.h"
#include "IniText.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>


namespace platform {

namespace {

constexpr std::size_t kMaxWaitObjects = 64; // MAXIMUM_WAIT_OBJECTS

bool IsDeviceName(std::string_view name) { return name.substr(0, 4) == "\\\\.\\"; }

// The kit builds paths the Windows way ("<dir>\INF\<name>"); here they are paths of this machine.
std::string LocalPath(std::string_view path)
{
    std::string local(path);
    std::replace(local.begin(), local.end(), '\\', '/');
    return local;
}

bool Fits(const std::string& text, std::size_t bufferBytes) { return text.size() + 1 <= bufferBytes; }

} // namespace

SimHost::SimHost(pcmodel::PcModel& pc) : m_pc(pc) {}

SimHost::~SimHost()
{
    std::set<std::uint64_t> subscriptions;
    std::vector<Handle> handles;
    {
        std::lock_guard lock(m_mutex);
        subscriptions.swap(m_subscriptions);
        for (const auto& [handle, entry] : m_handles)
            handles.push_back(handle);
    }
    for (std::uint64_t id : subscriptions)
        m_pc.Unsubscribe(id);
    for (Handle h : handles)
        CloseHandle(h);
}

bool SimHost::Lookup(Handle handle, Entry& entry)
{
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end())
        return false;
    entry = it->second;
    return true;
}

// ----- Files and devices ------------------------------------------------------------------------

Handle SimHost::OpenFile(std::string_view name, std::uint32_t access, std::uint32_t /*share*/, bool overlapped)
{
    // Device objects only; the model's driver does not enforce share modes (a second open of an open
    // device object is allowed, as the kit expects).
    if (name.empty() || name.size() > MAX_NAME || !IsDeviceName(name))
        return INVALID_HANDLE;
    const pcmodel::ObjectHandle object = m_pc.Open(name, access, overlapped);
    if (!object)
        return INVALID_HANDLE;
    std::lock_guard lock(m_mutex);
    const Handle handle = m_nextHandle++;
    m_handles[handle] = Entry{object, overlapped, nullptr};
    return handle;
}

bool SimHost::CloseHandle(Handle handle)
{
    Entry entry;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_handles.find(handle);
        if (it == m_handles.end())
            return false;
        entry = it->second;
        m_handles.erase(it);
    }
    if (entry.object) {
        m_pc.Close(entry.object); // outstanding transfers have finished when this returns
        std::lock_guard lock(m_mutex);
        for (auto it = m_transfers.begin(); it != m_transfers.end();)
            it = it->second->file == handle ? m_transfers.erase(it) : std::next(it);
    }
    return true;
}

bool SimHost::DeviceIoControl(Handle handle, std::uint32_t code, void* buffer, std::uint32_t size,
                              std::uint32_t* bytesReturned)
{
    if (bytesReturned)
        *bytesReturned = 0;
    Entry entry;
    if (!Lookup(handle, entry) || !entry.object || (!buffer && size))
        return false;
    return m_pc.DeviceRequest(entry.object, code, static_cast<std::uint8_t*>(buffer), size, bytesReturned);
}

IoStart SimHost::Start(Handle handle, void* readBuffer, const void* writeBuffer, std::uint32_t size, Overlapped& ov)
{
    Entry entry;
    if (!Lookup(handle, entry) || !entry.object || !entry.overlapped || (size && !readBuffer && !writeBuffer))
        return IoStart::Failed;
    auto state = std::make_shared<TransferState>();
    std::uint64_t token;
    {
        std::lock_guard lock(m_mutex);
        auto ev = m_handles.find(ov.event);
        if (ev == m_handles.end() || !ev->second.event)
            return IoStart::Failed;
        state->file = handle;
        state->event = ev->second.event;
        state->readBuffer = readBuffer;
        state->event->signalled = false;
        token = m_nextToken++;
        m_transfers[token] = state;
        ov.token = token;
    }
    // May run under the plugged device's lock (possibly before Start* returns): record, copy, signal.
    auto done = [this, state, size](bool ok, const std::vector<std::uint8_t>& data, std::uint32_t count) {
        std::lock_guard lock(m_mutex);
        // A failed read may still bring what arrived before it was cancelled (a live device's does).
        if (state->readBuffer && !data.empty())
            std::memcpy(state->readBuffer, data.data(), std::min<std::size_t>(data.size(), size));
        state->done = true;
        state->ok = ok;
        state->count = count;
        state->event->signalled = true;
        m_changed.notify_all();
    };
    const bool started =
        readBuffer ? m_pc.StartRead(entry.object, size, done)
                   : m_pc.StartWrite(entry.object,
                                        std::vector<std::uint8_t>(static_cast<const std::uint8_t*>(writeBuffer),
                                                                  static_cast<const std::uint8_t*>(writeBuffer) + size),
                                        done);
    std::lock_guard lock(m_mutex);
    if (!started) {
        m_transfers.erase(token);
        ov.token = 0;
        return IoStart::Failed;
    }
    return state->done ? IoStart::Completed : IoStart::Pending;
}

IoStart SimHost::ReadFile(Handle handle, void* buffer, std::uint32_t size, Overlapped& ov)
{
    static std::uint8_t none; // a zero-byte read still needs somewhere to point
    return Start(handle, buffer ? buffer : (size ? nullptr : &none), nullptr, size, ov);
}

IoStart SimHost::WriteFile(Handle handle, const void* buffer, std::uint32_t size, Overlapped& ov)
{
    static const std::uint8_t none = 0;
    if (!buffer && size)
        return IoStart::Failed;
    return Start(handle, nullptr, buffer ? buffer : &none, size, ov);
}

bool SimHost::GetOverlappedResult(Handle handle, Overlapped& ov, std::uint32_t* bytesTransferred, bool wait)
{
    if (bytesTransferred)
        *bytesTransferred = 0;
    std::unique_lock lock(m_mutex);
    auto it = m_transfers.find(ov.token);
    if (it == m_transfers.end() || it->second->file != handle)
        return false;
    std::shared_ptr<TransferState> state = it->second;
    if (!state->done) {
        if (!wait)
            return false;
        m_changed.wait(lock, [&] { return state->done; });
    }
    if (bytesTransferred)
        *bytesTransferred = state->count;
    m_transfers.erase(ov.token); // collected: nothing refers to the caller's buffer any more
    ov.token = 0;
    return state->ok;
}

bool SimHost::CancelIo(Handle handle)
{
    Entry entry;
    if (!Lookup(handle, entry) || !entry.object)
        return false;
    return m_pc.Cancel(entry.object);
}

Handle SimHost::CreateEvent(bool signalled)
{
    std::lock_guard lock(m_mutex);
    const Handle handle = m_nextHandle++;
    auto event = std::make_shared<Event>();
    event->signalled = signalled;
    m_handles[handle] = Entry{0, false, std::move(event)};
    return handle;
}

bool SimHost::SetEvent(Handle event)
{
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(event);
    if (it == m_handles.end() || !it->second.event)
        return false;
    it->second.event->signalled = true;
    m_changed.notify_all();
    return true;
}

bool SimHost::ResetEvent(Handle event)
{
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(event);
    if (it == m_handles.end() || !it->second.event)
        return false;
    it->second.event->signalled = false;
    return true;
}

int SimHost::WaitForEvents(std::span<const Handle> events, bool waitAll, std::uint32_t timeoutMs)
{
    if (events.empty() || events.size() > kMaxWaitObjects)
        return WAIT_FAILED;
    std::unique_lock lock(m_mutex);
    std::vector<std::shared_ptr<Event>> watched;
    for (Handle h : events) {
        auto it = m_handles.find(h);
        if (it == m_handles.end() || !it->second.event)
            return WAIT_FAILED;
        watched.push_back(it->second.event);
    }
    int index = WAIT_TIMED_OUT;
    auto ready = [&] {
        if (waitAll) {
            const bool all = std::all_of(watched.begin(), watched.end(), [](const auto& e) { return e->signalled; });
            index = all ? 0 : WAIT_TIMED_OUT;
            return all;
        }
        for (std::size_t i = 0; i < watched.size(); ++i)
            if (watched[i]->signalled) {
                index = int(i);
                return true;
            }
        return false;
    };
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    return index;
}

bool SimHost::ReadWholeFile(std::string_view path, std::string& bytes)
{
    if (path.empty() || IsDeviceName(path))
        return false;
    // Only ordinary files of a sane size: a device node or a FIFO given as a path would never end.
    constexpr std::uintmax_t kMaxFileBytes = 16u << 20;
    std::error_code ec;
    const auto local = LocalPath(path);
    if (!std::filesystem::is_regular_file(local, ec) || std::filesystem::file_size(local, ec) > kMaxFileBytes || ec)
        return false;
    std::ifstream in(local, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        return false;
    bytes = text.str();
    return true;
}

bool SimHost::ReplaceFileContents(std::string_view path, std::string_view bytes)
{
    if (path.empty() || IsDeviceName(path))
        return false;
    const std::filesystem::path target = LocalPath(path);
    std::error_code error;
    if (std::filesystem::is_directory(target, error))
        return false;
    // A read-only file is left alone, as Windows refuses to move a file over it. (A folder that may
    // not be written fails below, when the temporary file cannot be made.)
    constexpr auto kWriteBits = std::filesystem::perms::owner_write | std::filesystem::perms::group_write
                                | std::filesystem::perms::others_write;
    const auto status = std::filesystem::status(target, error);
    if (std::filesystem::exists(status) && (status.permissions() & kWriteBits) == std::filesystem::perms::none)
        return false;
    // Written beside the file and renamed over it, so a failed write leaves the old contents.
    std::filesystem::path temporary = target;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), std::streamsize(bytes.size()));
        out.flush();
        if (!out) {
            std::filesystem::remove(temporary, error);
            return false;
        }
    }
    std::filesystem::rename(temporary, target, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        return false;
    }
    return true;
}

// ----- Device manager -----------------------------------------------------------------------

bool SimHost::EnumeratePresentDevices(std::string_view enumerator, std::size_t idBufferBytes,
                                      std::vector<std::string>& instanceIds)
{
    instanceIds.clear();
    if (enumerator.empty())
        return false;
    instanceIds = m_pc.PresentInstanceIds(enumerator);
    for (std::string& id : instanceIds)
        if (!Fits(id, idBufferBytes))
            id.clear();
    return true;
}

DevNode SimHost::GetRootNode() { return m_pc.RootNode(); }
DevNode SimHost::GetChild(DevNode node) { return m_pc.Child(node); }
DevNode SimHost::GetSibling(DevNode node) { return m_pc.Sibling(node); }
DevNode SimHost::GetParent(DevNode node) { return m_pc.Parent(node); }

bool SimHost::GetNodeProperty(DevNode node, std::uint32_t property, std::size_t bufferBytes, std::string& value)
{
    std::optional<std::string> found = m_pc.NodeProperty(node, property);
    if (!found || !Fits(*found, bufferBytes))
        return false;
    value = std::move(*found);
    return true;
}

bool SimHost::GetNodeInstanceId(DevNode node, std::size_t bufferBytes, std::string& id)
{
    std::optional<std::string> found = m_pc.NodeInstanceId(node);
    if (!found || !Fits(*found, bufferBytes))
        return false;
    id = std::move(*found);
    return true;
}

bool SimHost::IsDevicePresent(std::string_view instanceId) { return m_pc.IsPresent(instanceId); }

InstallWait SimHost::WaitNoPendingInstallEvents(std::uint32_t timeoutMs) { return m_pc.WaitNoPendingInstalls(timeoutMs); }

// ----- Registry, system, INF -----------------------------------------------------------------

bool SimHost::ReadMachineRegistryString(std::string_view subKey, std::string_view valueName, std::size_t bufferBytes,
                                        std::string& value)
{
    std::optional<std::string> found = m_pc.RegistryValue(subKey, valueName);
    if (!found || !Fits(*found, bufferBytes))
        return false;
    value = std::move(*found);
    return true;
}

std::string SimHost::GetWindowsDirectory() { return m_pc.Options().systemDirectory.string(); }

std::uint32_t SimHost::GetPlatformId() { return m_pc.PlatformId(); }

std::string SimHost::GetPrivateProfileString(std::string_view section, std::string_view key,
                                             std::string_view defaultValue, std::size_t bufferBytes,
                                             std::string_view path)
{
    std::string value;
    std::string text;
    std::optional<std::string> found;
    if (ReadWholeFile(path, text))
        found = pcmodel::IniText(text).Value(section, key);
    if (found) {
        value = std::move(*found);
    } else {
        value.assign(defaultValue);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.pop_back(); // the profile API trims the default's trailing blanks
    }
    if (bufferBytes == 0)
        return std::string();
    if (value.size() > bufferBytes - 1)
        value.resize(bufferBytes - 1);
    return value;
}

// ----- Notifications, own file ---------------------------------------------------------------

std::uint64_t SimHost::SubscribeDeviceChanges(DeviceChangeCallback callback)
{
    const std::uint64_t id = m_pc.Subscribe(std::move(callback));
    std::lock_guard lock(m_mutex);
    m_subscriptions.insert(id);
    return id;
}

void SimHost::UnsubscribeDeviceChanges(std::uint64_t id)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_subscriptions.erase(id))
            return;
    }
    m_pc.Unsubscribe(id);
}

std::string SimHost::DeviceNotice() { return m_pc.DeviceObjectNotice(); }

std::string SimHost::GetModuleFileName()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.string();
}

std::optional<FileVersion> SimHost::GetFileVersion(std::string_view path)
{
    if (path.empty() || IsDeviceName(path))
        return std::nullopt;
    return ReadEmbeddedVersion(LocalPath(path));
}

} // namespace platform
