// Overlapped transfers and events through the daemon: starting reads and writes, collecting their
// results (a finished read's data copied into the caller's buffer), and waits, which are asked a
// second at a time so that no request is silent for long.
#include "SocketHost.h"

#include "BenchWire.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace benchwire {

using namespace platform;

namespace {

// The longest a wait asks the daemon for in one request; longer waits ask again.
constexpr uint32_t kWaitSliceMs = 1000;

} // namespace

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

} // namespace benchwire
