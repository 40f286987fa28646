// Files and device objects through the daemon: opening (a bridge device's channel with its two pipes
// in one round trip), closing (no round trip of its own), device requests, and a hub's per-port
// questions asked for the following ports in the same round trip. Kept apart from the transfers,
// which only use the handles opened here.
#include "SocketHost.h"

#include "BenchWire.h"

#include <algorithm>
#include <cstring>

namespace benchwire {

using namespace platform;

namespace {

// "\\.\HOSTLNK-<n>": a bridge device's control channel.
bool IsBridgeChannel(std::string_view name)
{
    constexpr std::string_view prefix = "\\\\.\\HOSTLNK-";
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix)
        return false;
    name.remove_prefix(prefix.size());
    return std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string SpareKey(std::string_view name, uint32_t access, uint32_t share, bool overlapped)
{
    return std::string(name) + '\0' + std::to_string(access) + ',' + std::to_string(share) + ',' +
           (overlapped ? '1' : '0');
}

uint32_t Le32(const void *bytes)
{
    const auto *b = static_cast<const uint8_t *>(bytes);
    return b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24;
}

bool IsHubPortQuery(uint32_t code)
{
    return code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION || code == IOCTL_USB_GET_NODE_CONNECTION_NAME ||
           code == IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME;
}

// How many ports one hub question is asked for at most; a hub has at most 255.
constexpr uint32_t kPortsAhead = 32;

} // namespace

Handle SocketHost::OpenBridgeDevice(std::string_view name, uint32_t access, uint32_t share)
{
    // The caller opens the pipes next (that is what a bridge device's channel is opened for).
    const std::string readPipe = std::string(name) + "\\3", writePipe = std::string(name) + "\\2";
    const std::vector<std::string> requests = {
        Writer(Op::OpenFile).str(name).u32(access).u32(share).u8(0).Payload(),
        Writer(Op::OpenFile).str(readPipe).u32(ACCESS_READ).u32(SHARE_READ).u8(1).Payload(),
        Writer(Op::OpenFile).str(writePipe).u32(ACCESS_WRITE).u32(SHARE_WRITE).u8(1).Payload()};
    std::vector<std::string> answers;
    if (!CallBatch(requests, answers))
        return INVALID_HANDLE;
    Handle handles[3];
    for (int i = 0; i < 3; ++i) {
        Reader in(answers[i]);
        handles[i] = in.u64();
        if (!in.AtEnd())
            handles[i] = INVALID_HANDLE;
    }
    std::lock_guard lock(m_closeMutex);
    for (Handle h : handles)
        if (h != INVALID_HANDLE)
            m_open.insert(h);
    const std::string keys[] = {SpareKey(readPipe, ACCESS_READ, SHARE_READ, true),
                                SpareKey(writePipe, ACCESS_WRITE, SHARE_WRITE, true)};
    for (int i = 1; i < 3; ++i) {
        if (handles[i] == INVALID_HANDLE)
            continue;
        if (handles[0] == INVALID_HANDLE) {
            m_open.erase(handles[i]);
            m_pendingCloses.push_back(handles[i]);
            continue;
        }
        auto &slot = m_spareOpens[keys[i - 1]];
        if (slot.handle != INVALID_HANDLE && m_open.erase(slot.handle))
            m_pendingCloses.push_back(slot.handle);
        slot = {handles[i], handles[0]};
    }
    return handles[0];
}

Handle SocketHost::OpenFile(std::string_view name, uint32_t access, uint32_t share, bool overlapped)
{
    if (name.empty() || name.size() > MAX_NAME)
        return INVALID_HANDLE;
    {
        std::lock_guard lock(m_closeMutex);
        const auto it = m_spareOpens.find(SpareKey(name, access, share, overlapped));
        if (it != m_spareOpens.end()) {
            const Handle handle = it->second.handle;
            m_spareOpens.erase(it);
            return handle;
        }
    }
    if (IsBridgeChannel(name) && !overlapped)
        return OpenBridgeDevice(name, access, share);
    return CallForHandle(Writer(Op::OpenFile).str(name).u32(access).u32(share).u8(overlapped));
}

void SocketHost::DropAhead(Handle closed)
{
    // Called with m_closeMutex held.
    for (auto it = m_spareOpens.begin(); it != m_spareOpens.end();) {
        if (it->second.owner == closed) {
            if (m_open.erase(it->second.handle))
                m_pendingCloses.push_back(it->second.handle);
            it = m_spareOpens.erase(it);
        } else {
            ++it;
        }
    }
    std::erase_if(m_portAnswers, [&](const auto &entry) { return std::get<0>(entry.first) == closed; });
    m_hubPorts.erase(closed);
}

bool SocketHost::HubPortQuery(Handle hub, uint32_t code, void *buffer, uint32_t size, uint32_t *bytesReturned,
                              bool &answered)
{
    answered = false;
    // Only the plain form (the port number, the rest zero) is asked ahead and answered from what was.
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    if (size < 4 || size > 64 * 1024 || std::any_of(bytes + 4, bytes + size, [](uint8_t b) { return b != 0; }))
        return false;
    const uint32_t port = Le32(buffer);
    if (port == 0 || port > 255)
        return false;
    PortAnswer found;
    uint64_t generation = 0;
    uint32_t count = kPortsAhead;
    {
        std::lock_guard lock(m_closeMutex);
        const auto it = m_portAnswers.find({hub, code, size, port});
        if (it != m_portAnswers.end()) {
            found = std::move(it->second);
            m_portAnswers.erase(it);
            answered = true;
        }
        generation = m_aheadGeneration;
        if (const auto ports = m_hubPorts.find(hub); ports != m_hubPorts.end())
            count = ports->second >= port ? ports->second - port + 1 : 1;
    }
    if (!answered) {
        count = std::clamp<uint32_t>(count, 1, std::min<uint32_t>(kPortsAhead, 256 - port));
        std::vector<std::string> requests;
        std::string input(size, '\0');
        for (uint32_t p = port; p < port + count; ++p) {
            for (int i = 0; i < 4; ++i)
                input[i] = static_cast<char>(p >> (8 * i));
            requests.push_back(Writer(Op::DeviceIoControl).u64(hub).u32(code).str(input).Payload());
        }
        std::vector<std::string> answers;
        if (!CallBatch(requests, answers))
            return false; // daemon gone: answered stays false and the plain call fails the same way
        std::vector<PortAnswer> parsed(count);
        for (uint32_t i = 0; i < count; ++i) {
            Reader in(answers[i]);
            parsed[i].ok = in.u8() != 0;
            parsed[i].returned = in.u32();
            parsed[i].data = in.str();
            if (!in.AtEnd() || parsed[i].data.size() != size)
                return false;
        }
        found = std::move(parsed[0]);
        answered = true;
        std::lock_guard lock(m_closeMutex);
        if (generation == m_aheadGeneration && m_open.count(hub))
            for (uint32_t i = 1; i < count; ++i)
                m_portAnswers[{hub, code, size, port + i}] = std::move(parsed[i]);
    }
    std::memcpy(buffer, found.data.data(), size);
    if (bytesReturned)
        *bytesReturned = found.returned;
    return found.ok;
}

bool SocketHost::CloseHandle(Handle handle)
{
    if (handle == INVALID_HANDLE)
        return false;
    {
        // Closing ends the handle's transfers: forget where their data would have gone.
        std::lock_guard lock(m_transferMutex);
        std::erase_if(m_readBuffers, [&](const auto &entry) { return entry.second.handle == handle; });
        std::erase_if(m_collected, [&](const auto &entry) { return entry.second.handle == handle; });
    }
    // Nobody needs the daemon's answer to a close of a handle it gave out: it goes out with the next
    // request.
    std::lock_guard lock(m_closeMutex);
    if (m_open.erase(handle) == 0)
        return false;
    m_pendingCloses.push_back(handle);
    DropAhead(handle);
    return true;
}

bool SocketHost::DeviceIoControl(Handle handle, uint32_t code, void *buffer, uint32_t size, uint32_t *bytesReturned)
{
    if (handle == INVALID_HANDLE || (!buffer && size))
        return false;
    if (IsHubPortQuery(code)) {
        bool answered = false;
        const bool ok = HubPortQuery(handle, code, buffer, size, bytesReturned, answered);
        if (answered)
            return ok;
    }
    std::string answer;
    // Only vendor requests take time (the bench's modelled latency); hub questions are answered at once.
    const Speed speed = code == IOCTL_VENDOR_REQUEST ? Speed::MayWait : Speed::Quick;
    if (!Call(Writer(Op::DeviceIoControl).u64(handle).u32(code).bytes(buffer, size).Frame(), answer, speed))
        return false;
    Reader in(answer);
    const bool ok = in.u8() != 0;
    const uint32_t returned = in.u32();
    const std::string data = in.str();
    if (!in.AtEnd() || data.size() != size)
        return false;
    if (size)
        std::memcpy(buffer, data.data(), size);
    if (bytesReturned)
        *bytesReturned = returned;
    if (ok && code == IOCTL_USB_GET_NODE_INFORMATION && size > 6) {
        // bNumberOfPorts of the hub descriptor: how far to ask ahead on this hub.
        std::lock_guard lock(m_closeMutex);
        if (m_open.count(handle))
            m_hubPorts[handle] = static_cast<const uint8_t *>(buffer)[6];
    }
    return ok;
}

bool SocketHost::ReadWholeFile(std::string_view path, std::string &bytes)
{
    std::string answer;
    if (!Call(Writer(Op::ReadWholeFile).str(path).Frame(), answer))
        return false;
    Reader in(answer);
    const bool ok = in.u8() != 0;
    std::string data = in.str();
    if (!in.AtEnd() || !ok)
        return false;
    bytes = std::move(data);
    return true;
}

bool SocketHost::ReplaceFileContents(std::string_view path, std::string_view bytes)
{
    const bool ok = CallForFlag(Writer(Op::ReplaceFile).str(path).str(bytes));
    Invalidate(); // the INF decides which devices get the driver
    return ok;
}

} // namespace benchwire
