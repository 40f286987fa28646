#include "BenchWire.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <sys/socket.h>
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

bool SendAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

namespace {
// An answer usually follows its request within microseconds; looking for it a little while before
// going to sleep saves the wake-up, which on a virtual machine costs more than the whole round trip.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(60);

bool ReceiveAll(int fd, char *into, std::size_t size)
{
    const auto spinUntil = std::chrono::steady_clock::now() + kSpinBeforeSleep;
    while (size > 0) {
        ssize_t got = ::recv(fd, into, size, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (std::chrono::steady_clock::now() < spinUntil)
                continue;
            got = ::recv(fd, into, size, 0);
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
} // namespace

bool ReceiveFrame(int fd, std::string &payload)
{
    uint8_t header[4];
    if (!ReceiveAll(fd, reinterpret_cast<char *>(header), sizeof header))
        return false;
    const auto length = PayloadLength(header);
    if (!length)
        return false;
    payload.resize(*length);
    return *length == 0 || ReceiveAll(fd, payload.data(), *length);
}

} // namespace benchwire
