// The client's connections to the daemon: greeting it, the pool of request connections, one request
// and its answer (with the closes that travel in front of it), and the notification stream that
// drops the caches and tells the subscribers. The Host calls themselves are answered in
// SocketHostDevices.cpp, SocketHostTransfers.cpp and SocketHostSystem.cpp on top of these.
#include "SocketHost.h"

#include "BenchWire.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include <sys/socket.h>
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

uint64_t NewSessionKey()
{
    std::random_device random;
    return (uint64_t(random()) << 32) ^ random() ^ uint64_t(::getpid());
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

bool SocketHost::CallBatch(const std::vector<std::string> &requests, std::vector<std::string> &answers)
{
    std::string answer;
    if (!Call(Writer(Op::Batch).strings(requests).Frame(), answer))
        return false;
    Reader in(answer);
    answers = in.strings(requests.size());
    return in.AtEnd() && answers.size() == requests.size();
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

} // namespace benchwire
