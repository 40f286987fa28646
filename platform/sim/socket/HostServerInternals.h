#pragma once
// What the parts of the server share and nobody else needs: its bounds and time slices, the memory
// budget and a client process's session (its handles and transfers in flight). The server is split
// by what it does: HostServer.cpp accepts and admits connections, HostServerSessions.cpp serves a
// connection's requests and routes each to its family, HostServerDevices.cpp and
// HostServerTransfers.cpp answer them.

#include "HostServer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <poll.h>

namespace benchwire {

// How often a blocking call looks up to see whether its client is gone or the daemon is stopping.
inline constexpr uint32_t kSliceMs = 50;
// Notifications a slow subscriber may have queued before the oldest are dropped: a subscriber only
// needs to learn that something changed.
inline constexpr std::size_t kMaxQueuedNotifications = 256;
// A transfer larger than any the programs make is refused rather than allocated.
inline constexpr uint32_t kMaxTransfer = 1u << 20;
// The largest request: a transfer's data with its fields. (Replies may be larger: the device tree.)
inline constexpr uint32_t kMaxRequest = kMaxTransfer + 64 * 1024;
// A request body is read in pieces of this size, each paid for before it is read.
inline constexpr std::size_t kBodyChunk = 64 * 1024;
// Once a request has begun, the rest of it must arrive within this time; an answer must be taken
// within it too. Clients send and read at once, so only a stalled or hostile peer hits it.
inline constexpr auto kIoTimeout = std::chrono::seconds(30);
// A waiting OverlappedResult answers "not finished" after this long; the client asks again. So no
// request is ever unanswered for longer than a client's time-out.
inline constexpr uint32_t kMaxWaitPerRequestMs = 1000;

// True while the peer has neither hung up nor sent anything unexpected (a client waiting for an
// answer sends nothing, so readable means end of stream or a protocol breach).
inline bool PeerStillWaiting(int fd)
{
    if (fd < 0)
        return false; // no peer (a request answered in-process): never block
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

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
        platform::Handle handle = platform::INVALID_HANDLE;
        platform::Overlapped ov;
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
    std::map<uint64_t, platform::Handle> handles; // wire handle -> host handle
    std::map<uint64_t, std::shared_ptr<Transfer>> transfers;
    uint64_t nextHandle = 1;
    uint64_t nextToken = 1;
    int connections = 0;

    platform::Handle Lookup(uint64_t wire)
    {
        std::lock_guard lock(mutex);
        const auto it = handles.find(wire);
        return it == handles.end() ? platform::INVALID_HANDLE : it->second;
    }
    uint64_t Add(uint64_t instance, platform::Handle handle)
    {
        if (handle == platform::INVALID_HANDLE)
            return 0;
        std::lock_guard lock(mutex);
        const uint64_t wire = instance << 32 | nextHandle++;
        handles[wire] = handle;
        return wire;
    }
};

} // namespace benchwire
