#pragma once
// The bench daemon's wire format: every message is a frame of a 32-bit little-endian payload length
// followed by the payload. A request payload starts with its opcode; an answer payload is whatever
// the opcode answers. Fields are little-endian integers, and byte strings as a 32-bit length plus the
// bytes. Everything read from a socket is checked here: a short, malformed or oversized message is
// refused, never read past.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace benchwire {

// Larger than any Host transfer (131,071 bytes) or device-tree snapshot, small enough that a hostile
// length field cannot make either side allocate without bound.
inline constexpr uint32_t kMaxPayload = 8u << 20;
// 2: CloseQuietly and Batch; a waiting OverlappedResult may answer "not finished" after a second.
inline constexpr uint32_t kProtocolVersion = 2;
// The first field of the frame a daemon sends instead of serving a connection it cannot take (too
// many connections): kRefused, then the reason as a string. Both the Hello answer and the control
// answer start with a 32-bit field, so either kind of client recognises it.
inline constexpr uint32_t kRefused = 0xFFFFFFFFu;

enum class Op : uint8_t {
    Hello = 1,         // version, session key -> version
    OpenFile,          // name, access, share, overlapped -> handle
    CloseHandle,       // handle -> ok
    DeviceIoControl,   // handle, code, buffer -> ok, bytesReturned, buffer
    ReadFile,          // handle, size, event -> start, token
    WriteFile,         // handle, bytes, event -> start, token
    OverlappedResult,  // handle, event, token, wait -> ok, count, bytes (reads)
    CancelIo,          // handle -> ok
    CreateEvent,       // signalled -> handle
    SetEvent,          // handle -> ok
    ResetEvent,        // handle -> ok
    WaitForEvents,     // handles, waitAll, timeout -> result
    ReadWholeFile,     // path -> ok, bytes
    ReplaceFile,       // path, bytes -> ok
    EnumerateDevices,  // enumerator, idBufferBytes -> ok, ids
    TreeSnapshot,      // -> root, nodes
    IsDevicePresent,   // instance id -> ok
    PendingInstalls,   // timeout -> answer
    RegistryString,    // subKey, value, bufferBytes -> ok, text
    SystemInfo,        // -> windows dir, platform id
    ProfileString,     // section, key, default, bufferBytes, path -> text
    Subscribe,         // -> (the connection then carries one Notify frame per change)
    Notify,            // (daemon to client) change
    Control,           // args -> status, output  (the vbench control tool)
    CloseQuietly,      // handle -> (no answer: the caller does not need one)
    Batch,             // requests (OpenFile, CloseHandle, DeviceIoControl only) -> their answers, in order
};

// The most requests one Batch may carry.
inline constexpr uint32_t kMaxBatch = 64;

class Writer {
public:
    explicit Writer(Op op) { u8(static_cast<uint8_t>(op)); }
    Writer() = default;
    Writer &u8(uint8_t v);
    Writer &u32(uint32_t v);
    Writer &u64(uint64_t v);
    Writer &bytes(const void *data, std::size_t size);
    Writer &str(std::string_view s) { return bytes(s.data(), s.size()); }
    Writer &strings(const std::vector<std::string> &list);
    Writer &append(const Writer &other)
    {
        m_payload += other.m_payload;
        return *this;
    }
    // The payload with its length prefix, ready to send.
    std::string Frame() const;
    const std::string &Payload() const { return m_payload; }

private:
    std::string m_payload;
};

// Reads fields from one payload, which must outlive the reader. Any read past the end marks the reader failed and yields zeros or
// empty strings; check ok() (and, for a whole message, AtEnd()) before acting on what was read.
class Reader {
public:
    explicit Reader(std::string_view payload) : m_data(payload) {}
    uint8_t u8();
    uint32_t u32();
    uint64_t u64();
    std::string str(std::size_t maxSize = kMaxPayload);
    std::vector<std::string> strings(std::size_t maxCount = 65536);
    bool ok() const { return m_ok; }
    bool AtEnd() const { return m_ok && m_pos == m_data.size(); }

private:
    bool Take(std::size_t n);
    std::string_view m_data;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

// Reads one frame's length prefix; nullopt when it exceeds kMaxPayload.
std::optional<uint32_t> PayloadLength(const uint8_t header[4]);

using Clock = std::chrono::steady_clock;
inline constexpr Clock::time_point kNoDeadline = Clock::time_point::max();
inline Clock::time_point DeadlineIn(std::chrono::milliseconds ms) { return Clock::now() + ms; }

// Socket helpers that work on blocking and non-blocking sockets alike; false on any error, end of
// stream or a deadline that passes first (then errno is ETIMEDOUT).
bool SendAll(int fd, std::string_view data, Clock::time_point deadline = kNoDeadline);
bool ReceiveFrame(int fd, std::string &payload, Clock::time_point deadline = kNoDeadline,
                  uint32_t maxPayload = kMaxPayload);
// Exactly `size` bytes.
bool ReceiveExactly(int fd, char *into, std::size_t size, Clock::time_point deadline = kNoDeadline);

// Connects to the daemon's socket without ever blocking (a listener with a full backlog refuses at
// once) and checks that the listener runs as this user. -1 with `error` set otherwise.
int ConnectToDaemon(const std::string &socketPath, std::string &error);
// True when the process at the other end of a local socket runs as this process's user.
bool PeerIsSameUser(int fd);

// Asks the scheduler to give the calling thread short time slices. A thread that runs a few
// microseconds per request and then sleeps is then run as soon as its request arrives, even when
// other processes keep every core busy, instead of after their slices end. Costs no share of the
// processor. Kernels without custom slices for ordinary threads ignore it.
void AskForShortSlices();

} // namespace benchwire
