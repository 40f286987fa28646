#include "BenchWire.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace benchwire {

Writer &Writer::u8(uint8_t v)
{
    m_payload.push_back(static_cast<char>(v));
    return *this;
}

Writer &Writer::u32(uint32_t v)
{
    for (int i = 0; i < 4; ++i, v >>= 8)
        m_payload.push_back(static_cast<char>(v & 0xFF));
    return *this;
}

Writer &Writer::u64(uint64_t v)
{
    u32(static_cast<uint32_t>(v));
    return u32(static_cast<uint32_t>(v >> 32));
}

Writer &Writer::bytes(const void *data, std::size_t size)
{
    u32(static_cast<uint32_t>(size));
    if (size)
        m_payload.append(static_cast<const char *>(data), size);
    return *this;
}

Writer &Writer::strings(const std::vector<std::string> &list)
{
    u32(static_cast<uint32_t>(list.size()));
    for (const std::string &s : list)
        str(s);
    return *this;
}

std::string Writer::Frame() const
{
    std::string frame;
    frame.reserve(4 + m_payload.size());
    uint32_t n = static_cast<uint32_t>(m_payload.size());
    for (int i = 0; i < 4; ++i, n >>= 8)
        frame.push_back(static_cast<char>(n & 0xFF));
    frame += m_payload;
    return frame;
}

bool Reader::Take(std::size_t n)
{
    if (!m_ok || m_data.size() - m_pos < n) {
        m_ok = false;
        return false;
    }
    return true;
}

uint8_t Reader::u8()
{
    if (!Take(1))
        return 0;
    return static_cast<uint8_t>(m_data[m_pos++]);
}

uint32_t Reader::u32()
{
    if (!Take(4))
        return 0;
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(m_data[m_pos + i]);
    m_pos += 4;
    return v;
}

uint64_t Reader::u64()
{
    const uint64_t low = u32();
    const uint64_t high = u32();
    return low | high << 32;
}

std::string Reader::str(std::size_t maxSize)
{
    const uint32_t size = u32();
    if (!m_ok || size > maxSize || !Take(size)) {
        m_ok = false;
        return {};
    }
    std::string s(m_data.substr(m_pos, size));
    m_pos += size;
    return s;
}

std::vector<std::string> Reader::strings(std::size_t maxCount)
{
    const uint32_t count = u32();
    std::vector<std::string> list;
    // Each string needs at least its 4-byte length: a count the payload cannot hold is refused
    // before anything is allocated for it.
    if (!m_ok || count > maxCount || count > (m_data.size() - m_pos) / 4) {
        m_ok = false;
        return list;
    }
    list.reserve(count);
    for (uint32_t i = 0; i < count && m_ok; ++i)
        list.push_back(str());
    return list;
}

std::optional<uint32_t> PayloadLength(const uint8_t header[4])
{
    const uint32_t n = header[0] | header[1] << 8 | header[2] << 16 | uint32_t(header[3]) << 24;
    if (n > kMaxPayload)
        return std::nullopt;
    return n;
}

namespace {

// Waits until `fd` is ready for `events` or the deadline passes. False on time-out (errno ETIMEDOUT)
// or a poll error.
bool WaitReady(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        int timeoutMs = -1;
        if (deadline != kNoDeadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                errno = ETIMEDOUT;
                return false;
            }
            timeoutMs = static_cast<int>(std::min<long long>(left, 1 << 30));
        }
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready > 0)
            return true; // readable, writable, hung up or in error: the next call says which
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

// An answer usually follows its request within microseconds; looking for it a little while before
// going to sleep saves the wake-up, which on a virtual machine costs more than the whole round trip.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(60);

} // namespace

bool ReceiveExactly(int fd, char *into, std::size_t size, Clock::time_point deadline)
{
    const auto spinUntil = Clock::now() + kSpinBeforeSleep;
    while (size > 0) {
        const ssize_t got = ::recv(fd, into, size, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (Clock::now() < spinUntil)
                continue;
            if (!WaitReady(fd, POLLIN, deadline))
                return false;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        into += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool SendAll(int fd, std::string_view data, Clock::time_point deadline)
{
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitReady(fd, POLLOUT, deadline))
                return false;
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool ReceiveFrame(int fd, std::string &payload, Clock::time_point deadline, uint32_t maxPayload)
{
    uint8_t header[4];
    if (!ReceiveExactly(fd, reinterpret_cast<char *>(header), sizeof header, deadline))
        return false;
    const auto length = PayloadLength(header);
    if (!length || *length > maxPayload)
        return false;
    payload.resize(*length);
    return *length == 0 || ReceiveExactly(fd, payload.data(), *length, deadline);
}

bool PeerIsSameUser(int fd)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer &&
           peer.uid == ::geteuid();
}

void AskForShortSlices()
{
    // struct sched_attr of sched_setattr(2); not in the C library's headers.
    struct {
        uint32_t size, policy;
        uint64_t flags;
        int32_t nice;
        uint32_t priority;
        uint64_t runtime, deadline, period;
    } attributes{};
    attributes.size = sizeof attributes;
    attributes.policy = SCHED_OTHER;
    attributes.nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    attributes.flags = 0;
    attributes.runtime = 100'000; // ns: the shortest slice the scheduler grants
    ::syscall(SYS_sched_setattr, 0, &attributes, 0);
}

int ConnectToDaemon(const std::string &socketPath, std::string &error)
{
    sockaddr_un address{};
    if (socketPath.size() >= sizeof address.sun_path) {
        error = "the socket path is too long for this system: " + socketPath;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        error = errno == EAGAIN ? "no answer on " + socketPath + " (its listener takes no more connections)"
                                : "no answer on " + socketPath;
        ::close(fd);
        return -1;
    }
    // Whoever could put a listener at the bench's path must not receive what the programs send.
    if (!PeerIsSameUser(fd)) {
        error = "the listener on " + socketPath + " runs as another user; not talking to it";
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace benchwire
