// The server's life and its door: starting and stopping, and accepting connections within the bounds
// (another user's process, too few descriptors left, too many connections in all or of one process
// are turned away here, before a thread is spent on them). What a connection asks is served in
// HostServerSessions.cpp.
#include "HostServerInternals.h"

#include "BenchWire.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace benchwire {

using namespace platform;

namespace {

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

} // namespace benchwire
