#include "HostServer.h"

#include "BenchHome.h"
#include "BenchWire.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <deque>
#include <random>

#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace benchwire {

using namespace platform;

namespace {

// How often a blocking call looks up to see whether its client is gone or the daemon is stopping.
constexpr uint32_t kSliceMs = 50;
// Notifications a slow subscriber may have queued before the oldest are dropped: a subscriber only
// needs to learn that something changed.
constexpr std::size_t kMaxQueuedNotifications = 256;
// A transfer larger than any the programs make is refused rather than allocated.
constexpr uint32_t kMaxTransfer = 1u << 20;
// The largest request: a transfer's data with its fields. (Replies may be larger: the device tree.)
constexpr uint32_t kMaxRequest = kMaxTransfer + 64 * 1024;
// A request body is read in pieces of this size, each paid for before it is read.
constexpr std::size_t kBodyChunk = 64 * 1024;
// Once a request has begun, the rest of it must arrive within this time; an answer must be taken
// within it too. Clients send and read at once, so only a stalled or hostile peer hits it.
constexpr auto kIoTimeout = std::chrono::seconds(30);
// A waiting OverlappedResult answers "not finished" after this long; the client asks again. So no
// request is ever unanswered for longer than a client's time-out.
constexpr uint32_t kMaxWaitPerRequestMs = 1000;

// True while the peer has neither hung up nor sent anything unexpected (a client waiting for an
// answer sends nothing, so readable means end of stream or a protocol breach).
bool PeerStillWaiting(int fd)
{
    if (fd < 0)
        return false; // no peer (a request answered in-process): never block
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

// Descriptors this process may still open. Counting the open ones takes a descriptor itself; none
// left counts as none free.
std::size_t DescriptorsFree()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return SIZE_MAX;
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return errno == EMFILE || errno == ENFILE ? 0 : SIZE_MAX;
    std::size_t open = 0;
    while (const dirent *entry = ::readdir(dir))
        open += entry->d_name[0] != '.';
    ::closedir(dir);
    open = open > 0 ? open - 1 : 0; // the directory's own
    return limit.rlim_cur > open ? static_cast<std::size_t>(limit.rlim_cur - open) : 0;
}

} // namespace

// Memory the clients make the daemon hold, counted against one limit.
class HostServer::Budget {
public:
    explicit Budget(std::size_t limit) : m_limit(limit) {}
    bool Take(std::size_t bytes)
    {
        std::size_t used = m_used.load();
        do {
            if (bytes > m_limit - used)
                return false;
        } while (!m_used.compare_exchange_weak(used, used + bytes));
        return true;
    }
    void Give(std::size_t bytes) { m_used -= bytes; }

private:
    const std::size_t m_limit;
    std::atomic<std::size_t> m_used{0};
};

struct HostServer::Session {
    struct Transfer {
        Handle handle = INVALID_HANDLE;
        Overlapped ov;
        std::vector<uint8_t> buffer;
        bool read = false;
        // What the buffer costs its session and the daemon; given back when the transfer goes.
        Session *session = nullptr;
        Budget *budget = nullptr;
        ~Transfer()
        {
            if (!session)
                return;
            budget->Give(buffer.size());
            std::lock_guard lock(session->mutex);
            session->transferBytes -= buffer.size();
            --session->transferCount;
        }
    };

    uint64_t key = 0;
    std::mutex mutex;
    // Declared before the transfers, whose destructors give back what they cost.
    std::size_t transferCount = 0; // buffers alive, in the map or still held by a request
    std::size_t transferBytes = 0;
    std::map<uint64_t, Handle> handles; // wire handle -> host handle
    std::map<uint64_t, std::shared_ptr<Transfer>> transfers;
    uint64_t nextHandle = 1;
    uint64_t nextToken = 1;
    int connections = 0;

    Handle Lookup(uint64_t wire)
    {
        std::lock_guard lock(mutex);
        const auto it = handles.find(wire);
        return it == handles.end() ? INVALID_HANDLE : it->second;
    }
    uint64_t Add(uint64_t instance, Handle handle)
    {
        if (handle == INVALID_HANDLE)
            return 0;
        std::lock_guard lock(mutex);
        const uint64_t wire = instance << 32 | nextHandle++;
        handles[wire] = handle;
        return wire;
    }
};

HostServer::HostServer(Host &host, ControlHandler control)
    : m_host(host), m_control(std::move(control)), m_budget(std::make_unique<Budget>(m_limits.memory))
{
    std::random_device random;
    m_instance = (random() & 0x7FFFFFFF) | 1;
}

HostServer::~HostServer()
{
    Stop();
}

bool HostServer::Start(const std::string &socketPath, std::string &error)
{
    sockaddr_un address{};
    if (socketPath.size() >= sizeof address.sun_path) {
        error = "socket path too long: " + socketPath;
        return false;
    }
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ::unlink(socketPath.c_str());
    // Created owner-only from the start, so there is no moment where others could connect.
    const mode_t old = ::umask(0077);
    const int bound = ::bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::umask(old);
    if (bound < 0 || ::listen(m_listenFd, 64) < 0) {
        error = "cannot listen on " + socketPath + ": " + std::strerror(errno);
        ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    }
    ::chmod(socketPath.c_str(), 0600);
    m_socketPath = socketPath;
    m_budget = std::make_unique<Budget>(m_limits.memory);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void HostServer::RequestStop()
{
    std::lock_guard lock(m_mutex);
    m_stopRequested = true;
    m_stopped.notify_all();
}

void HostServer::Wait()
{
    std::unique_lock lock(m_mutex);
    m_stopped.wait(lock, [this] { return m_stopRequested; });
}

void HostServer::Stop()
{
    if (m_stopping.exchange(true))
        return;
    RequestStop();
    if (m_listenFd >= 0)
        ::shutdown(m_listenFd, SHUT_RDWR);
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        ::unlink(m_socketPath.c_str());
        m_listenFd = -1;
    }
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard lock(m_mutex);
        for (auto &c : m_connections)
            ::shutdown(c->fd, SHUT_RDWR);
        connections.swap(m_connections);
    }
    for (auto &c : connections) {
        if (c->thread.joinable())
            c->thread.join();
        ::close(c->fd);
    }
}

std::size_t HostServer::SessionCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<std::size_t>(std::count_if(m_sessions.begin(), m_sessions.end(),
                                                  [](const auto &s) { return !s.second.expired(); }));
}

std::size_t HostServer::ConnectionCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<std::size_t>(
        std::count_if(m_connections.begin(), m_connections.end(), [](const auto &c) { return !c->done; }));
}

void HostServer::ReapFinished()
{
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if ((*it)->done) {
                finished.push_back(std::move(*it));
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &c : finished) {
        c->thread.join();
        ::close(c->fd);
    }
}

void HostServer::AcceptLoop()
{
    while (!m_stopping) {
        // Finished connections give their descriptors back here, whether or not anyone connects:
        // a daemon that ran out of descriptors recovers as soon as its clients hang up.
        ReapFinished();
        pollfd p{m_listenFd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0 || m_stopping)
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                if (!m_warnedFull.exchange(true))
                    std::fprintf(stderr, "vbenchd: cannot accept a connection: %s; waiting for clients to hang up\n",
                                 std::strerror(errno));
                ::usleep(10000); // back off instead of spinning while the descriptors are gone
            }
            continue;
        }
        m_warnedFull = false;
        Admit(fd);
    }
}

void HostServer::Refuse(int fd, const std::string &reason)
{
    SendAll(fd, Writer().u32(kRefused).str(reason).Frame(), DeadlineIn(std::chrono::milliseconds(100)));
    // Closing a local socket with unread data in it would make the peer's read fail before it sees
    // the reason: take what it sent first.
    char scratch[4096];
    for (int i = 0; i < 64 && ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0; ++i) {
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

void HostServer::Admit(int fd)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid()) {
        ::close(fd); // the socket is owner-only; a process of another user has no business here
        return;
    }
    // Clients may not take the descriptors the rest of the daemon lives on: saving the state, reading
    // the INF, the emulated USB stack (which gives up the whole process when it cannot open a file).
    if (DescriptorsFree() < m_limits.descriptorsKept) {
        Refuse(fd, "the daemon is short of file descriptors; try again when other clients have finished");
        return;
    }
    std::lock_guard lock(m_mutex);
    if (m_stopping) {
        ::close(fd);
        return;
    }
    std::size_t all = 0, ofProcess = 0;
    for (const auto &c : m_connections)
        if (!c->done) {
            ++all;
            ofProcess += c->pid == peer.pid;
        }
    if (all >= m_limits.connections || ofProcess >= m_limits.connectionsPerProcess) {
        Refuse(fd, all >= m_limits.connections
                       ? "the daemon serves " + std::to_string(all) + " connections, its most; try again later"
                       : "process " + std::to_string(peer.pid) + " has " + std::to_string(ofProcess) +
                             " connections, the most one process may have");
        return;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->pid = peer.pid;
    Connection *raw = connection.get();
    try {
        raw->thread = std::thread([this, raw] {
            Serve(*raw);
            raw->done = true;
        });
    } catch (const std::system_error &e) {
        Refuse(fd, std::string("the daemon cannot start a thread for it: ") + e.what());
        return;
    }
    m_connections.push_back(std::move(connection));
}

bool HostServer::ReceiveRequest(int fd, std::string &payload, std::size_t &leased)
{
    // An idle connection may wait for its next request as long as it likes (the programs keep a
    // few open); Stop() wakes it by shutting the socket down. The rest must follow promptly.
    uint8_t header[4];
    if (!ReceiveExactly(fd, reinterpret_cast<char *>(header), 1, kNoDeadline) || m_stopping ||
        !ReceiveExactly(fd, reinterpret_cast<char *>(header) + 1, 3, Clock::now() + kIoTimeout))
        return false;
    const auto length = PayloadLength(header);
    if (!length || *length > kMaxRequest)
        return false;
    // The body is paid for and read piece by piece, so announcing a length costs the daemon nothing.
    const auto deadline = Clock::now() + kIoTimeout;
    payload.clear();
    while (payload.size() < *length) {
        const std::size_t piece = std::min<std::size_t>(kBodyChunk, *length - payload.size());
        if (!m_budget->Take(piece))
            return false;
        leased += piece;
        const std::size_t at = payload.size();
        payload.resize(at + piece);
        if (!ReceiveExactly(fd, payload.data() + at, piece, deadline))
            return false;
    }
    return true;
}

void HostServer::Serve(Connection &connection)
{
    AskForShortSlices();
    std::shared_ptr<Session> session;
    std::string request, reply;
    for (;;) {
        std::size_t leased = 0;
        const bool received = !m_stopping && ReceiveRequest(connection.fd, request, leased);
        bool subscribe = false;
        reply.clear();
        // Malformed or out-of-order: this connection is dropped, nothing else.
        const bool answered = received && Dispatch(connection.fd, session, request, reply, subscribe);
        request.clear();
        request.shrink_to_fit();
        m_budget->Give(leased);
        // An empty reply is a request that takes no answer.
        if (!answered || (!reply.empty() && !SendAll(connection.fd, reply, Clock::now() + kIoTimeout)))
            break;
        if (reply.capacity() > kBodyChunk)
            std::string().swap(reply);
        if (subscribe) {
            StreamNotifications(connection);
            break;
        }
    }
    ::shutdown(connection.fd, SHUT_RDWR);
    if (session)
        ReleaseSession(session);
}

void HostServer::ReleaseSession(const std::shared_ptr<Session> &session)
{
    {
        std::lock_guard lock(m_mutex);
        if (--session->connections > 0)
            return;
        m_sessions.erase(session->key);
    }
    // The client is gone: cancel what it left in flight, collect it, then close its handles.
    std::map<uint64_t, std::shared_ptr<Session::Transfer>> transfers;
    std::map<uint64_t, Handle> handles;
    {
        std::lock_guard lock(session->mutex);
        transfers.swap(session->transfers);
        handles.swap(session->handles);
    }
    for (auto &[token, transfer] : transfers)
        m_host.CancelIo(transfer->handle);
    for (auto &[token, transfer] : transfers)
        m_host.GetOverlappedResult(transfer->handle, transfer->ov, nullptr, true);
    for (auto &[wire, handle] : handles)
        m_host.CloseHandle(handle);
}

void HostServer::StreamNotifications(Connection &connection)
{
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<DeviceChange> queue;
    const uint64_t id = m_host.SubscribeDeviceChanges([&](DeviceChange change) {
        std::lock_guard lock(mutex);
        if (queue.size() >= kMaxQueuedNotifications)
            queue.pop_front();
        queue.push_back(change);
        wake.notify_one();
    });
    bool alive = true;
    while (alive && !m_stopping) {
        std::deque<DeviceChange> pending;
        {
            std::unique_lock lock(mutex);
            wake.wait_for(lock, std::chrono::milliseconds(kSliceMs), [&] { return !queue.empty(); });
            pending.swap(queue);
        }
        for (DeviceChange change : pending)
            alive = alive && SendAll(connection.fd, Writer(Op::Notify).u8(static_cast<uint8_t>(change)).Frame());
        alive = alive && PeerStillWaiting(connection.fd);
    }
    // After this the callback never runs again, so the locals it captured may go.
    m_host.UnsubscribeDeviceChanges(id);
}

bool HostServer::AnswerOnce(uint64_t sessionKey, const std::string &request, std::string &reply)
{
    std::shared_ptr<Session> session;
    std::string hello;
    bool subscribeIgnored = false;
    if (!Dispatch(-1, session, Writer(Op::Hello).u32(kProtocolVersion).u64(sessionKey).Payload(), hello, subscribeIgnored))
        return false;
    bool subscribe = false;
    const bool ok = Dispatch(-1, session, request, reply, subscribe);
    ReleaseSession(session);
    return ok;
}

bool HostServer::Dispatch(int fd, std::shared_ptr<Session> &session, const std::string &request, std::string &reply,
                          bool &subscribe)
{
    Reader in(request);
    const auto op = static_cast<Op>(in.u8());
    if (!in.ok())
        return false;

    if (op == Op::Hello) {
        const uint32_t version = in.u32();
        const uint64_t key = in.u64();
        if (!in.AtEnd() || version != kProtocolVersion || session)
            return false;
        std::lock_guard lock(m_mutex);
        auto &slot = m_sessions[key];
        session = slot.lock();
        if (!session) {
            session = std::make_shared<Session>();
            session->key = key;
            slot = session;
        }
        ++session->connections;
        reply = Writer().u32(kProtocolVersion).Frame();
        return true;
    }
    if (op == Op::Control) {
        const auto args = in.strings();
        if (!in.AtEnd())
            return false;
        std::string output;
        int status = 2;
        if (!m_control)
            output = "this daemon takes no control commands\n";
        else if (args.size() > kMaxControlArgs)
            output = "vbench: too many arguments (" + std::to_string(args.size()) + "; at most " +
                     std::to_string(kMaxControlArgs) + ")\n";
        else
            status = m_control(args, output);
        reply = Writer().u32(static_cast<uint32_t>(status)).str(output).Frame();
        return true;
    }
    if (!session)
        return false; // every other request needs a session

    if (op == Op::Batch) {
        // Requests that neither wait nor stream, answered in order in one reply: what a client
        // knows it will ask next costs one round trip, not one each.
        const auto requests = in.strings(kMaxBatch);
        if (!in.AtEnd())
            return false;
        Writer out;
        out.u32(static_cast<uint32_t>(requests.size()));
        for (const std::string &sub : requests) {
            const auto subOp = sub.empty() ? Op::Hello : static_cast<Op>(sub[0]);
            if (subOp != Op::OpenFile && subOp != Op::CloseHandle && subOp != Op::DeviceIoControl)
                return false;
            std::string answer;
            bool ignored = false;
            if (!Dispatch(fd, session, sub, answer, ignored))
                return false;
            out.bytes(answer.data() + 4, answer.size() - 4); // without its length prefix
            if (out.Payload().size() > kMaxPayload - 64)
                return false;
        }
        reply = out.Frame();
        return true;
    }

    Writer out;
    switch (op) {
    case Op::OpenFile: {
        const std::string name = in.str(MAX_NAME + 1);
        const uint32_t access = in.u32(), share = in.u32();
        const bool overlapped = in.u8() != 0;
        if (!in.AtEnd())
            return false;
        out.u64(session->Add(m_instance, m_host.OpenFile(name, access, share, overlapped)));
        break;
    }
    case Op::CloseHandle:
    case Op::CloseQuietly: {
        const uint64_t wire = in.u64();
        if (!in.AtEnd())
            return false;
        Handle handle = INVALID_HANDLE;
        {
            std::lock_guard lock(session->mutex);
            const auto it = session->handles.find(wire);
            if (it != session->handles.end()) {
                handle = it->second;
                session->handles.erase(it);
            }
        }
        const bool closed = handle != INVALID_HANDLE && m_host.CloseHandle(handle);
        if (handle != INVALID_HANDLE) {
            // Closing cancelled whatever was in flight on it: collect those transfers now.
            std::vector<std::shared_ptr<Session::Transfer>> orphans;
            {
                std::lock_guard lock(session->mutex);
                for (auto it = session->transfers.begin(); it != session->transfers.end();) {
                    if (it->second->handle == handle) {
                        orphans.push_back(it->second);
                        it = session->transfers.erase(it);
                    } else {
                        ++it;
                    }
                }
            }
            for (auto &t : orphans)
                m_host.GetOverlappedResult(t->handle, t->ov, nullptr, true);
        }
        if (op == Op::CloseQuietly) {
            reply.clear();
            return true;
        }
        out.u8(closed);
        break;
    }
    case Op::DeviceIoControl: {
        const uint64_t wire = in.u64();
        const uint32_t code = in.u32();
        std::string buffer = in.str(kMaxTransfer);
        if (!in.AtEnd())
            return false;
        uint32_t returned = 0;
        const bool ok = m_host.DeviceIoControl(session->Lookup(wire), code, buffer.data(),
                                               static_cast<uint32_t>(buffer.size()), &returned);
        out.u8(ok).u32(returned).str(buffer);
        break;
    }
    case Op::ReadFile:
    case Op::WriteFile: {
        const uint64_t wire = in.u64();
        const uint64_t event = in.u64();
        const bool read = op == Op::ReadFile;
        uint32_t size = 0;
        std::string data;
        if (read)
            size = in.u32();
        else
            data = in.str(kMaxTransfer);
        if (!in.AtEnd() || size > kMaxTransfer)
            return false;
        if (!read)
            size = static_cast<uint32_t>(data.size());
        // A session's transfers in flight, and their buffers, are bounded; the excess fails to
        // start, as on a system out of resources.
        bool admitted = false;
        {
            std::lock_guard lock(session->mutex);
            if (session->transferCount < m_limits.transfersPerSession &&
                session->transferBytes + size <= m_limits.transferBytesPerSession && m_budget->Take(size)) {
                ++session->transferCount;
                session->transferBytes += size;
                admitted = true;
            }
        }
        if (!admitted) {
            out.u8(static_cast<uint8_t>(IoStart::Failed)).u64(0);
            break;
        }
        auto transfer = std::make_shared<Session::Transfer>();
        transfer->session = session.get();
        transfer->budget = m_budget.get();
        transfer->read = read;
        if (read)
            transfer->buffer.assign(size, 0);
        else
            transfer->buffer.assign(data.begin(), data.end());
        std::string().swap(data);
        transfer->handle = session->Lookup(wire);
        transfer->ov.event = session->Lookup(event);
        const IoStart start = transfer->read
                                  ? m_host.ReadFile(transfer->handle, transfer->buffer.data(), size, transfer->ov)
                                  : m_host.WriteFile(transfer->handle, transfer->buffer.data(), size, transfer->ov);
        uint64_t token = 0;
        if (start != IoStart::Failed) {
            std::lock_guard lock(session->mutex);
            token = session->nextToken++;
            session->transfers[token] = transfer;
        }
        out.u8(static_cast<uint8_t>(start)).u64(token);
        break;
    }
    case Op::OverlappedResult: {
        const uint64_t token = in.u64();
        const bool wait = in.u8() != 0;
        if (!in.AtEnd())
            return false;
        std::shared_ptr<Session::Transfer> transfer;
        {
            std::lock_guard lock(session->mutex);
            const auto it = session->transfers.find(token);
            if (it != session->transfers.end())
                transfer = it->second;
        }
        if (!transfer) {
            out.u8(0).u32(0).str("");
            break;
        }
        const Handle events[] = {transfer->ov.event};
        bool finished = m_host.WaitForEvents(events, true, 0) == 0;
        // Waits a second at most: the client asks again while it still wants to wait.
        for (uint32_t waited = 0; wait && !finished && waited < kMaxWaitPerRequestMs && !m_stopping &&
                                  PeerStillWaiting(fd);
             waited += kSliceMs)
            finished = m_host.WaitForEvents(events, true, kSliceMs) == 0;
        uint32_t count = 0;
        const bool ok = finished && m_host.GetOverlappedResult(transfer->handle, transfer->ov, &count, false);
        if (finished) {
            std::lock_guard lock(session->mutex);
            session->transfers.erase(token);
        }
        count = std::min<uint32_t>(count, static_cast<uint32_t>(transfer->buffer.size()));
        out.u8(ok).u32(count);
        if (ok && transfer->read)
            out.bytes(transfer->buffer.data(), count);
        else
            out.str("");
        out.u8(finished);
        break;
    }
    case Op::CancelIo:
    case Op::SetEvent:
    case Op::ResetEvent: {
        const Handle handle = session->Lookup(in.u64());
        if (!in.AtEnd())
            return false;
        out.u8(op == Op::CancelIo ? m_host.CancelIo(handle)
               : op == Op::SetEvent ? m_host.SetEvent(handle)
                                    : m_host.ResetEvent(handle));
        break;
    }
    case Op::CreateEvent: {
        const bool signalled = in.u8() != 0;
        if (!in.AtEnd())
            return false;
        out.u64(session->Add(m_instance, m_host.CreateEvent(signalled)));
        break;
    }
    case Op::WaitForEvents: {
        const uint32_t count = in.u32();
        if (!in.ok() || count > 64)
            return false;
        std::vector<Handle> events;
        for (uint32_t i = 0; i < count; ++i)
            events.push_back(session->Lookup(in.u64()));
        const bool waitAll = in.u8() != 0;
        uint32_t remaining = in.u32();
        if (!in.AtEnd())
            return false;
        int result = m_host.WaitForEvents(events, waitAll, 0);
        while (result == WAIT_TIMED_OUT && remaining > 0 && !m_stopping && PeerStillWaiting(fd)) {
            const uint32_t slice = std::min(remaining, kSliceMs);
            result = m_host.WaitForEvents(events, waitAll, slice);
            if (remaining != 0xFFFFFFFFu) // INFINITE never runs out
                remaining -= slice;
        }
        out.u32(static_cast<uint32_t>(result));
        break;
    }
    case Op::ReadWholeFile: {
        const std::string path = in.str(MAX_NAME + 1);
        if (!in.AtEnd())
            return false;
        std::string bytes;
        const bool ok = m_host.ReadWholeFile(path, bytes);
        if (bytes.size() > kMaxPayload - 64)
            return false;
        out.u8(ok).str(bytes);
        break;
    }
    case Op::ReplaceFile: {
        const std::string path = in.str(MAX_NAME + 1);
        const std::string bytes = in.str();
        if (!in.AtEnd())
            return false;
        out.u8(m_host.ReplaceFileContents(path, bytes));
        break;
    }
    case Op::EnumerateDevices: {
        const std::string enumerator = in.str(64);
        const uint32_t idBytes = in.u32();
        if (!in.AtEnd())
            return false;
        std::vector<std::string> ids;
        const bool ok = m_host.EnumeratePresentDevices(enumerator, idBytes, ids);
        out.u8(ok).strings(ids);
        break;
    }
    case Op::TreeSnapshot: {
        if (!in.AtEnd())
            return false;
        // The whole device-manager tree in one answer, so that a client's walk searches it locally.
        // Each node: id, parent, child, sibling, driver key (or none), description (or none), instance ID.
        const DevNode root = m_host.GetRootNode();
        std::vector<DevNode> stack{root};
        uint32_t nodes = 0;
        Writer body;
        std::string text;
        while (!stack.empty() && root != NO_DEVNODE) {
            const DevNode node = stack.back();
            stack.pop_back();
            const DevNode child = m_host.GetChild(node), sibling = m_host.GetSibling(node);
            body.u32(node).u32(m_host.GetParent(node)).u32(child).u32(sibling);
            for (uint32_t property : {DEVNODE_PROP_DRIVER, DEVNODE_PROP_DEVICEDESC}) {
                const bool has = m_host.GetNodeProperty(node, property, 1u << 16, text);
                body.u8(has).str(has ? text : "");
            }
            const bool hasId = m_host.GetNodeInstanceId(node, 1u << 16, text);
            body.u8(hasId).str(hasId ? text : "");
            if (sibling != NO_DEVNODE && node != root)
                stack.push_back(sibling);
            if (child != NO_DEVNODE)
                stack.push_back(child);
            if (++nodes > 100000)
                break; // a tree this large is a broken model; send what there is
        }
        out.u32(root).u32(nodes).append(body);
        if (out.Payload().size() > kMaxPayload)
            return false;
        break;
    }
    case Op::IsDevicePresent: {
        const std::string id = in.str(MAX_NAME + 1);
        if (!in.AtEnd())
            return false;
        out.u8(m_host.IsDevicePresent(id));
        break;
    }
    case Op::PendingInstalls: {
        const uint32_t timeout = in.u32();
        if (!in.AtEnd())
            return false;
        out.u8(static_cast<uint8_t>(m_host.WaitNoPendingInstallEvents(std::min<uint32_t>(timeout, 1000))));
        break;
    }
    case Op::RegistryString: {
        const std::string subKey = in.str(4096), value = in.str(4096);
        const uint32_t bufferBytes = in.u32();
        if (!in.AtEnd())
            return false;
        std::string text;
        const bool ok = m_host.ReadMachineRegistryString(subKey, value, bufferBytes, text);
        out.u8(ok).str(ok ? text : "");
        break;
    }
    case Op::SystemInfo:
        if (!in.AtEnd())
            return false;
        out.str(m_host.GetWindowsDirectory()).u32(m_host.GetPlatformId());
        break;
    case Op::ProfileString: {
        const std::string section = in.str(4096), key = in.str(4096), fallback = in.str(4096);
        const uint32_t bufferBytes = in.u32();
        const std::string path = in.str(MAX_NAME + 1);
        if (!in.AtEnd())
            return false;
        out.str(m_host.GetPrivateProfileString(section, key, fallback, std::min<uint32_t>(bufferBytes, 1u << 20), path));
        break;
    }
    case Op::Subscribe:
        if (!in.AtEnd())
            return false;
        subscribe = true;
        break;
    default:
        return false;
    }
    reply = out.Frame();
    return true;
}

} // namespace benchwire
