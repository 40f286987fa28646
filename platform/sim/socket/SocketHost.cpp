#include "SocketHost.h"

#include "BenchHome.h"
#include "BenchWire.h"
#include "EmbeddedVersion.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace benchwire {

using namespace platform;

namespace {

constexpr auto kReconnectDelay = std::chrono::milliseconds(500);
// A daemon answers its greeting at once; a listener that does not is no daemon.
constexpr auto kHelloTimeout = std::chrono::milliseconds(2000);
// Longer than the slowest request the bench models (10 s latency plus a 10 s EEPROM write cycle).
constexpr auto kRequestTimeout = std::chrono::milliseconds(30000);
// Connections one Host object opens for requests at most: below the daemon's bound for one process
// (32), with room for the notification stream and a second Host object in the same process.
constexpr std::size_t kMaxRequestConnections = 24;
// How long a daemon that refuses for one of its bounds is asked again before the call fails.
constexpr auto kBusyPatience = std::chrono::milliseconds(3000);
// The longest a wait asks the daemon for in one request; longer waits ask again.
constexpr uint32_t kWaitSliceMs = 1000;

uint64_t NewSessionKey()
{
    std::random_device random;
    return (uint64_t(random()) << 32) ^ random() ^ uint64_t(::getpid());
}

bool FitsBuffer(const std::string &text, std::size_t bufferBytes)
{
    return text.size() + 1 <= bufferBytes;
}

} // namespace

SocketHost::SocketHost(std::string socketPath) : m_socketPath(std::move(socketPath)), m_sessionKey(NewSessionKey())
{
    m_notifyThread = std::thread([this] { NotificationLoop(); });
}

SocketHost::~SocketHost()
{
    m_stopping = true;
    {
        std::lock_guard lock(m_notifyMutex);
        if (m_notifyFd >= 0)
            ::shutdown(m_notifyFd, SHUT_RDWR);
        m_notifyWake.notify_all();
    }
    m_notifyThread.join();
    std::lock_guard lock(m_poolMutex);
    for (int fd : m_idle)
        ::close(fd);
}

int SocketHost::ConnectPatiently(std::string &reason, bool &busy)
{
    // A daemon at its bound on connections (of all clients, or of this process through another Host
    // object) is running: it is asked again for a while rather than taken for absent.
    const auto until = std::chrono::steady_clock::now() + kBusyPatience;
    for (;;) {
        busy = false;
        const int fd = Connect(reason, &busy);
        if (fd >= 0 || !busy || std::chrono::steady_clock::now() >= until)
            return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int SocketHost::Connect(std::string &reason, bool *busy)
{
    const int fd = ConnectToDaemon(m_socketPath, reason);
    if (fd < 0)
        return -1;
    std::string answer;
    const auto deadline = DeadlineIn(kHelloTimeout);
    const bool sent = SendAll(fd, Writer(Op::Hello).u32(kProtocolVersion).u64(m_sessionKey).Frame(), deadline);
    if (!ReceiveFrame(fd, answer, deadline)) {
        reason = errno == ETIMEDOUT ? "nothing answers on " + m_socketPath : "no answer on " + m_socketPath;
        if (errno == ETIMEDOUT)
            m_silent = true;
        ::close(fd);
        return -1;
    }
    Reader in(answer);
    const uint32_t version = in.u32();
    if (version == kRefused) {
        const std::string why = in.str();
        // The daemon's words for a refusal at one of its bounds (it is there, only busy).
        if (busy)
            *busy = why.find("its most") != std::string::npos ||
                    why.find("the most one process may have") != std::string::npos ||
                    why.find("short of file descriptors") != std::string::npos;
        reason = "the daemon on " + m_socketPath + " refused: " + why;
        ::close(fd);
        return -1;
    }
    if (!sent || version != kProtocolVersion || !in.AtEnd()) {
        reason = "the daemon on " + m_socketPath + " speaks another protocol version (restart it: vbench stop; vbench start)";
        ::close(fd);
        return -1;
    }
    return fd;
}

void SocketHost::Release(int fd, bool healthy)
{
    std::lock_guard lock(m_poolMutex);
    if (healthy) {
        m_idle.push_back(fd);
    } else {
        ::close(fd);
        --m_requestConnections;
    }
    m_poolFreed.notify_one();
}

void SocketHost::ReportDown(const std::string &reason, bool busy)
{
    if (busy) {
        // Running, but at one of its bounds: not an absent bench, and nothing to start.
        std::fprintf(stderr, "The virtual bench is too busy to answer (%s); try again when other programs have finished.\n",
                     reason.c_str());
        return;
    }
    m_connected = false;
    if (!m_warned.exchange(true))
        std::fprintf(stderr,
                     "The virtual bench is not running (%s): the programs see no cables.\n"
                     "Start it with: vbench start\n",
                     reason.c_str());
}

void SocketHost::Opened(Handle handle)
{
    if (handle == INVALID_HANDLE)
        return;
    std::lock_guard lock(m_closeMutex);
    m_open.insert(handle);
}

void SocketHost::FlushCloses()
{
    uint64_t last = 0;
    {
        std::lock_guard lock(m_closeMutex);
        if (m_pendingCloses.empty())
            return;
        last = m_pendingCloses.back();
        m_pendingCloses.pop_back();
    }
    // The rest travel in front of this one; its answer says all of them are done.
    std::string answer;
    Call(Writer(Op::CloseHandle).u64(last).Frame(), answer, Speed::Quick);
}

bool SocketHost::Call(const std::string &frame, std::string &answer, Speed speed)
{
    if (speed == Speed::MayWait)
        FlushCloses();
    std::string carried;
    {
        std::unique_lock lock(m_closeMutex);
        // Whatever follows a close must reach the daemon after it: wait while closes are on their way
        // with another thread's request.
        m_closesDone.wait(lock, [this] { return m_closesInFlight == 0; });
        if (speed == Speed::Quick && !m_pendingCloses.empty()) {
            for (uint64_t handle : m_pendingCloses)
                carried += Writer(Op::CloseQuietly).u64(handle).Frame();
            m_pendingCloses.clear();
            ++m_closesInFlight;
        }
    }
    const bool ok = Exchange(carried.empty() ? frame : carried + frame, answer);
    if (!carried.empty()) {
        std::lock_guard lock(m_closeMutex);
        --m_closesInFlight;
        m_closesDone.notify_all();
    }
    return ok;
}

bool SocketHost::Exchange(const std::string &frame, std::string &answer)
{
    // A caller waits for the daemon's answer: it should run again as soon as the answer is there.
    thread_local const bool shortSlices = (AskForShortSlices(), true);
    (void)shortSlices;
    if (m_silent) {
        ReportDown("nothing answers on " + m_socketPath);
        return false;
    }
    // A pooled connection may be stale after a daemon restart: one fresh try follows a failure.
    std::string reason = "no answer on " + m_socketPath;
    bool busy = false; // refused at one of the daemon's bounds: there, but busy
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = -1;
        bool pooled = false;
        {
            // A process doing gang work (32 sides asked at once) stays below the daemon's bound on the
            // connections of one process: beyond kMaxRequestConnections a caller waits for one to come
            // back. Every call ends within its time-out, so the wait is bounded too.
            std::unique_lock lock(m_poolMutex);
            m_poolFreed.wait_for(lock, kRequestTimeout, [this] {
                return !m_idle.empty() || m_requestConnections < kMaxRequestConnections;
            });
            if (!m_idle.empty()) {
                fd = m_idle.back();
                m_idle.pop_back();
                pooled = true;
            } else {
                ++m_requestConnections; // reserved before connecting, so that no two callers overshoot
            }
        }
        if (!pooled) {
            fd = ConnectPatiently(reason, busy);
            if (fd < 0) {
                std::lock_guard lock(m_poolMutex);
                --m_requestConnections;
                m_poolFreed.notify_one();
                break;
            }
        }
        const auto deadline = DeadlineIn(kRequestTimeout);
        if (SendAll(fd, frame, deadline) && ReceiveFrame(fd, answer, deadline)) {
            ++m_roundTrips;
            m_connected = true;
            Release(fd, true);
            return true;
        }
        const bool timedOut = errno == ETIMEDOUT;
        Release(fd, false);
        if (timedOut) {
            // A daemon that stopped answering is no daemon until it answers the notification
            // stream's greeting again; make that stream look now.
            m_silent = true;
            reason = "the daemon on " + m_socketPath + " stopped answering";
            std::lock_guard lock(m_notifyMutex);
            if (m_notifyFd >= 0)
                ::shutdown(m_notifyFd, SHUT_RDWR);
            break;
        }
        if (!pooled)
            break;
    }
    ReportDown(reason, busy);
    return false;
}

bool SocketHost::CallForFlag(const Writer &request, Speed speed)
{
    std::string answer;
    if (!Call(request.Frame(), answer, speed))
        return false;
    Reader in(answer);
    return in.u8() != 0 && in.AtEnd();
}

Handle SocketHost::CallForHandle(const Writer &request)
{
    std::string answer;
    if (!Call(request.Frame(), answer))
        return INVALID_HANDLE;
    Reader in(answer);
    const uint64_t handle = in.u64();
    if (!in.AtEnd())
        return INVALID_HANDLE;
    Opened(handle);
    return handle;
}

// ----- Notifications and the cache -------------------------------------------------------------

void SocketHost::Invalidate()
{
    {
        std::lock_guard lock(m_cacheMutex);
        m_cache = Cache{};
        ++m_generation;
    }
    // What was asked ahead may describe the world before the change.
    std::lock_guard lock(m_closeMutex);
    m_portAnswers.clear();
    ++m_aheadGeneration;
    for (const auto &[name, spare] : m_spareOpens)
        if (m_open.erase(spare.handle))
            m_pendingCloses.push_back(spare.handle);
    m_spareOpens.clear();
}

void SocketHost::Dispatch(DeviceChange change)
{
    std::unique_lock lock(m_subscriberMutex);
    m_dispatching = true;
    m_dispatchingThread = std::this_thread::get_id();
    // Callbacks run without the lock, one at a time; Unsubscribe waits for a running one to end.
    std::vector<uint64_t> ids;
    for (const auto &[id, callback] : m_subscribers)
        ids.push_back(id);
    for (uint64_t id : ids) {
        const auto it = m_subscribers.find(id);
        if (it == m_subscribers.end())
            continue;
        DeviceChangeCallback callback = it->second;
        lock.unlock();
        callback(change);
        lock.lock();
    }
    m_dispatching = false;
    m_subscriberIdle.notify_all();
}

void SocketHost::NotificationLoop()
{
    bool wasUp = false;
    while (!m_stopping) {
        std::string reason;
        const int fd = Connect(reason);
        std::string answer;
        const auto deadline = DeadlineIn(kHelloTimeout);
        if (fd >= 0 && SendAll(fd, Writer(Op::Subscribe).Frame(), deadline) && ReceiveFrame(fd, answer, deadline)) {
            {
                std::lock_guard lock(m_notifyMutex);
                m_notifyFd = fd;
            }
            m_silent = false;
            m_connected = true;
            m_warned = false;
            // A daemon that has just come (back) is a new world: everything cached is stale, and the
            // programs should look again.
            Invalidate();
            if (!wasUp)
                Dispatch(DeviceChange::Arrival);
            wasUp = true;
            std::string frame;
            while (!m_stopping && ReceiveFrame(fd, frame)) {
                Reader in(frame);
                const auto op = static_cast<Op>(in.u8());
                const uint8_t change = in.u8();
                if (!in.AtEnd() || op != Op::Notify)
                    break;
                Invalidate();
                Dispatch(change == static_cast<uint8_t>(DeviceChange::Removal) ? DeviceChange::Removal
                                                                                : DeviceChange::Arrival);
            }
            {
                std::lock_guard lock(m_notifyMutex);
                m_notifyFd = -1;
            }
            ::close(fd);
            if (m_stopping)
                return;
            // The daemon went away: its devices went with it.
            m_connected = false;
            Invalidate();
            std::lock_guard pool(m_poolMutex);
            for (int idle : m_idle)
                ::close(idle);
            m_idle.clear();
        } else if (fd >= 0) {
            ::close(fd);
        }
        if (wasUp) {
            wasUp = false;
            Dispatch(DeviceChange::Removal);
        }
        std::unique_lock lock(m_notifyMutex);
        m_notifyWake.wait_for(lock, kReconnectDelay, [this] { return m_stopping.load(); });
    }
}

uint64_t SocketHost::SubscribeDeviceChanges(DeviceChangeCallback callback)
{
    std::lock_guard lock(m_subscriberMutex);
    const uint64_t id = m_nextSubscriber++;
    m_subscribers[id] = std::move(callback);
    return id;
}

void SocketHost::UnsubscribeDeviceChanges(uint64_t id)
{
    std::unique_lock lock(m_subscriberMutex);
    m_subscribers.erase(id);
    if (m_dispatching && m_dispatchingThread == std::this_thread::get_id())
        return; // called from within a callback: it only stops further calls
    m_subscriberIdle.wait(lock, [this] { return !m_dispatching; });
}

bool SocketHost::LoadTree(Cache &cache)
{
    std::string answer;
    if (!Call(Writer(Op::TreeSnapshot).Frame(), answer))
        return false;
    Reader in(answer);
    cache.root = in.u32();
    const uint32_t count = in.u32();
    for (uint32_t i = 0; i < count && in.ok(); ++i) {
        const DevNode id = in.u32();
        Node node;
        node.parent = in.u32();
        node.child = in.u32();
        node.sibling = in.u32();
        for (auto *field : {&node.driverKey, &node.description, &node.instanceId}) {
            const bool has = in.u8() != 0;
            std::string text = in.str();
            if (has)
                *field = std::move(text);
        }
        cache.nodes[id] = std::move(node);
    }
    if (!in.AtEnd()) {
        cache.nodes.clear();
        cache.root = NO_DEVNODE;
        return false;
    }
    cache.treeLoaded = true;
    return true;
}

const SocketHost::Node *SocketHost::FindNode(DevNode node)
{
    // Called with m_cacheMutex held; the lock is let go while the snapshot travels.
    if (!m_cache.treeLoaded) {
        Cache fresh;
        const uint64_t generation = m_generation;
        m_cacheMutex.unlock();
        const bool loaded = LoadTree(fresh);
        m_cacheMutex.lock();
        if (loaded) {
            m_cache.root = fresh.root;
            m_cache.nodes = std::move(fresh.nodes);
            // If a notification came in meanwhile, this answer serves this call and the next call
            // loads again.
            m_cache.treeLoaded = generation == m_generation;
        }
    }
    if (node == NO_DEVNODE)
        return nullptr;
    const auto it = m_cache.nodes.find(node);
    return it == m_cache.nodes.end() ? nullptr : &it->second;
}

DevNode SocketHost::GetRootNode()
{
    std::lock_guard lock(m_cacheMutex);
    FindNode(NO_DEVNODE);
    return m_cache.root;
}

DevNode SocketHost::GetChild(DevNode node)
{
    std::lock_guard lock(m_cacheMutex);
    const Node *n = FindNode(node);
    return n ? n->child : NO_DEVNODE;
}

DevNode SocketHost::GetSibling(DevNode node)
{
    std::lock_guard lock(m_cacheMutex);
    const Node *n = FindNode(node);
    return n ? n->sibling : NO_DEVNODE;
}

DevNode SocketHost::GetParent(DevNode node)
{
    std::lock_guard lock(m_cacheMutex);
    const Node *n = FindNode(node);
    return n ? n->parent : NO_DEVNODE;
}

bool SocketHost::GetNodeProperty(DevNode node, uint32_t property, std::size_t bufferBytes, std::string &value)
{
    std::lock_guard lock(m_cacheMutex);
    const Node *n = FindNode(node);
    if (!n)
        return false;
    const std::optional<std::string> *field = property == DEVNODE_PROP_DRIVER     ? &n->driverKey
                                              : property == DEVNODE_PROP_DEVICEDESC ? &n->description
                                                                                    : nullptr;
    if (!field || !*field || !FitsBuffer(**field, bufferBytes))
        return false;
    value = **field;
    return true;
}

bool SocketHost::GetNodeInstanceId(DevNode node, std::size_t bufferBytes, std::string &id)
{
    std::lock_guard lock(m_cacheMutex);
    const Node *n = FindNode(node);
    if (!n || !n->instanceId || !FitsBuffer(*n->instanceId, bufferBytes))
        return false;
    id = *n->instanceId;
    return true;
}

bool SocketHost::ReadMachineRegistryString(std::string_view subKey, std::string_view valueName,
                                           std::size_t bufferBytes, std::string &value)
{
    std::string key(subKey);
    key.push_back('\0');
    key += valueName;
    for (char &c : key)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c))); // the registry ignores case
    std::optional<std::string> text;
    bool cached = false;
    uint64_t generation = 0;
    {
        std::lock_guard lock(m_cacheMutex);
        const auto it = m_cache.registry.find(key);
        if (it != m_cache.registry.end()) {
            text = it->second;
            cached = true;
        }
        generation = m_generation;
    }
    if (!cached) {
        std::string answer;
        // Asked with a generous buffer; the caller's buffer size is applied below, to the cached text.
        if (!Call(Writer(Op::RegistryString).str(subKey).str(valueName).u32(1u << 16).Frame(), answer))
            return false;
        Reader in(answer);
        const bool ok = in.u8() != 0;
        std::string got = in.str();
        if (!in.AtEnd())
            return false;
        if (ok)
            text = std::move(got);
        std::lock_guard lock(m_cacheMutex);
        if (generation == m_generation)
            m_cache.registry[key] = text;
    }
    if (!text || !FitsBuffer(*text, bufferBytes))
        return false;
    value = *text;
    return true;
}

std::string SocketHost::GetWindowsDirectory()
{
    {
        std::lock_guard lock(m_cacheMutex);
        if (m_cache.systemLoaded)
            return m_cache.windowsDirectory;
    }
    std::string answer;
    if (!Call(Writer(Op::SystemInfo).Frame(), answer))
        return {};
    Reader in(answer);
    std::string directory = in.str();
    const uint32_t platformId = in.u32();
    if (!in.AtEnd())
        return {};
    std::lock_guard lock(m_cacheMutex);
    m_cache.windowsDirectory = directory;
    m_cache.platformId = platformId;
    m_cache.systemLoaded = true;
    return directory;
}

uint32_t SocketHost::GetPlatformId()
{
    GetWindowsDirectory(); // loads both
    std::lock_guard lock(m_cacheMutex);
    return m_cache.platformId;
}

// ----- Files, devices and transfers --------------------------------------------------------------

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

bool SocketHost::CallBatch(const std::vector<std::string> &requests, std::vector<std::string> &answers)
{
    std::string answer;
    if (!Call(Writer(Op::Batch).strings(requests).Frame(), answer))
        return false;
    Reader in(answer);
    answers = in.strings(requests.size());
    return in.AtEnd() && answers.size() == requests.size();
}

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

IoStart SocketHost::StartTransfer(const Writer &request, Overlapped &ov)
{
    std::string answer;
    if (!Call(request.Frame(), answer))
        return IoStart::Failed;
    Reader in(answer);
    const auto start = static_cast<IoStart>(in.u8());
    const uint64_t token = in.u64();
    if (!in.AtEnd() || start == IoStart::Failed || start > IoStart::Failed)
        return IoStart::Failed;
    ov.token = token;
    return start;
}

IoStart SocketHost::ReadFile(Handle handle, void *buffer, uint32_t size, Overlapped &ov)
{
    if (handle == INVALID_HANDLE || (!buffer && size))
        return IoStart::Failed;
    const IoStart start = StartTransfer(Writer(Op::ReadFile).u64(handle).u64(ov.event).u32(size), ov);
    if (start != IoStart::Failed) {
        std::lock_guard lock(m_transferMutex);
        m_readBuffers[ov.token] = {handle, buffer, size, ov.event};
    }
    return start;
}

IoStart SocketHost::WriteFile(Handle handle, const void *buffer, uint32_t size, Overlapped &ov)
{
    if (handle == INVALID_HANDLE || (!buffer && size))
        return IoStart::Failed;
    return StartTransfer(Writer(Op::WriteFile).u64(handle).u64(ov.event).bytes(buffer, size), ov);
}

bool SocketHost::Collect(uint64_t token, bool wait, Result &result, bool &finished)
{
    std::string answer;
    if (token == 0 ||
        !Call(Writer(Op::OverlappedResult).u64(token).u8(wait).Frame(), answer, wait ? Speed::MayWait : Speed::Quick))
        return false;
    Reader in(answer);
    result.ok = in.u8() != 0;
    result.count = in.u32();
    const std::string data = in.str();
    finished = in.u8() != 0;
    if (!in.AtEnd())
        return false;
    std::lock_guard lock(m_transferMutex);
    const auto it = m_readBuffers.find(token);
    if (it != m_readBuffers.end()) {
        if (result.ok && data.size() <= it->second.size && !data.empty())
            std::memcpy(it->second.buffer, data.data(), data.size());
        if (finished)
            m_readBuffers.erase(it);
    }
    return true;
}

void SocketHost::PullFinishedReads(std::span<const Handle> events)
{
    std::vector<std::pair<uint64_t, Handle>> tokens;
    {
        std::lock_guard lock(m_transferMutex);
        for (const auto &[token, read] : m_readBuffers)
            if (std::find(events.begin(), events.end(), read.event) != events.end())
                tokens.emplace_back(token, read.handle);
    }
    for (const auto &[token, handle] : tokens) {
        Result result;
        result.handle = handle;
        bool finished = false;
        if (Collect(token, false, result, finished) && finished) {
            std::lock_guard lock(m_transferMutex);
            m_collected[token] = result;
        }
    }
}

bool SocketHost::GetOverlappedResult(Handle, Overlapped &ov, uint32_t *bytesTransferred, bool wait)
{
    Result result;
    bool known = false;
    {
        std::lock_guard lock(m_transferMutex);
        const auto it = m_collected.find(ov.token);
        if (it != m_collected.end()) {
            result = it->second;
            m_collected.erase(it);
            known = true;
        }
    }
    bool finished = true;
    if (!known) {
        // The daemon answers a waiting request within a second, finished or not; keep asking.
        do {
            if (!Collect(ov.token, wait, result, finished))
                return false;
        } while (wait && !finished);
    }
    if (result.ok && bytesTransferred)
        *bytesTransferred = result.count;
    return result.ok && finished;
}

bool SocketHost::CancelIo(Handle handle)
{
    return handle != INVALID_HANDLE && CallForFlag(Writer(Op::CancelIo).u64(handle));
}

Handle SocketHost::CreateEvent(bool signalled)
{
    return CallForHandle(Writer(Op::CreateEvent).u8(signalled));
}

bool SocketHost::SetEvent(Handle event)
{
    return event != INVALID_HANDLE && CallForFlag(Writer(Op::SetEvent).u64(event));
}

bool SocketHost::ResetEvent(Handle event)
{
    return event != INVALID_HANDLE && CallForFlag(Writer(Op::ResetEvent).u64(event));
}

int SocketHost::WaitForEvents(std::span<const Handle> events, bool waitAll, uint32_t timeoutMs)
{
    if (events.empty() || events.size() > 64)
        return WAIT_FAILED;
    // Asked a second at a time, so that every request is answered well within the time-out.
    const bool forever = timeoutMs == 0xFFFFFFFFu; // INFINITE
    const auto until = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    int result = WAIT_TIMED_OUT;
    for (;;) {
        uint32_t slice = 0;
        if (forever) {
            slice = kWaitSliceMs;
        } else {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
            slice = static_cast<uint32_t>(std::clamp<long long>(left, 0, kWaitSliceMs));
        }
        Writer request(Op::WaitForEvents);
        request.u32(static_cast<uint32_t>(events.size()));
        for (Handle event : events)
            request.u64(event);
        request.u8(waitAll).u32(slice);
        std::string answer;
        if (!Call(request.Frame(), answer, slice ? Speed::MayWait : Speed::Quick))
            return WAIT_FAILED;
        Reader in(answer);
        result = static_cast<int>(in.u32());
        if (!in.AtEnd())
            return WAIT_FAILED;
        if (result != WAIT_TIMED_OUT || (!forever && Clock::now() >= until))
            break;
    }
    if (result >= 0)
        PullFinishedReads(events);
    return result;
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

bool SocketHost::EnumeratePresentDevices(std::string_view enumerator, std::size_t idBufferBytes,
                                         std::vector<std::string> &instanceIds)
{
    instanceIds.clear();
    std::string answer;
    if (!Call(Writer(Op::EnumerateDevices).str(enumerator).u32(static_cast<uint32_t>(idBufferBytes)).Frame(), answer))
        return true; // no daemon: a PC with no USB devices
    Reader in(answer);
    const bool ok = in.u8() != 0;
    auto ids = in.strings();
    if (!in.AtEnd())
        return false;
    instanceIds = std::move(ids);
    return ok;
}

bool SocketHost::IsDevicePresent(std::string_view instanceId)
{
    return CallForFlag(Writer(Op::IsDevicePresent).str(instanceId));
}

InstallWait SocketHost::WaitNoPendingInstallEvents(uint32_t timeoutMs)
{
    std::string answer;
    if (!Call(Writer(Op::PendingInstalls).u32(timeoutMs).Frame(), answer, timeoutMs ? Speed::MayWait : Speed::Quick))
        return InstallWait::NoneLeft;
    Reader in(answer);
    const uint8_t result = in.u8();
    if (!in.AtEnd() || result > static_cast<uint8_t>(InstallWait::Failed))
        return InstallWait::Failed;
    return static_cast<InstallWait>(result);
}

std::string SocketHost::GetPrivateProfileString(std::string_view section, std::string_view key,
                                                std::string_view defaultValue, std::size_t bufferBytes,
                                                std::string_view path)
{
    std::string answer;
    if (!Call(Writer(Op::ProfileString).str(section).str(key).str(defaultValue)
                  .u32(static_cast<uint32_t>(std::min<std::size_t>(bufferBytes, 1u << 20))).str(path).Frame(),
              answer)) {
        std::string fallback(defaultValue.substr(0, bufferBytes ? bufferBytes - 1 : 0));
        return fallback;
    }
    Reader in(answer);
    std::string text = in.str();
    return in.AtEnd() ? text : std::string();
}

std::string SocketHost::GetModuleFileName()
{
    // The program's own file is on this machine, not the daemon's business.
    std::error_code ec;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

std::optional<FileVersion> SocketHost::GetFileVersion(std::string_view path)
{
    return ReadEmbeddedVersion(std::string(path));
}

std::string SocketHost::DeviceNotice()
{
    int status = -1;
    std::string out;
    if (!RunControlCommand(m_socketPath, {"notices"}, status, out, 2000) || status != 0)
        return {}; // no daemon: the programs say so at start
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

} // namespace benchwire
