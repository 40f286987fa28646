// The daemon's answers about transfers and events: starting an overlapped read or write within the
// session's bounds, collecting its result (a read's data with it), cancelling, the events, and
// waits, which look up every slice whether the client is still there and never take longer than a
// client's time-out. Each handler returns false when the request is malformed.
#include "HostServerInternals.h"

#include "BenchWire.h"

#include <algorithm>

namespace benchwire {

using namespace platform;

bool HostServer::AnswerTransferStart(Op op, Reader &in, Session &session, Writer &out)
{
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
        std::lock_guard lock(session.mutex);
        if (session.transferCount < m_limits.transfersPerSession &&
            session.transferBytes + size <= m_limits.transferBytesPerSession && m_budget->Take(size)) {
            ++session.transferCount;
            session.transferBytes += size;
            admitted = true;
        }
    }
    if (!admitted) {
        out.u8(static_cast<uint8_t>(IoStart::Failed)).u64(0);
        return true;
    }
    auto transfer = std::make_shared<Session::Transfer>();
    transfer->session = &session;
    transfer->budget = m_budget.get();
    transfer->read = read;
    if (read)
        transfer->buffer.assign(size, 0);
    else
        transfer->buffer.assign(data.begin(), data.end());
    std::string().swap(data);
    transfer->handle = session.Lookup(wire);
    transfer->ov.event = session.Lookup(event);
    const IoStart start = transfer->read
                              ? m_host.ReadFile(transfer->handle, transfer->buffer.data(), size, transfer->ov)
                              : m_host.WriteFile(transfer->handle, transfer->buffer.data(), size, transfer->ov);
    uint64_t token = 0;
    if (start != IoStart::Failed) {
        std::lock_guard lock(session.mutex);
        token = session.nextToken++;
        session.transfers[token] = transfer;
    }
    out.u8(static_cast<uint8_t>(start)).u64(token);
    return true;
}

bool HostServer::AnswerOverlappedResult(int fd, Reader &in, Session &session, Writer &out)
{
    const uint64_t token = in.u64();
    const bool wait = in.u8() != 0;
    if (!in.AtEnd())
        return false;
    std::shared_ptr<Session::Transfer> transfer;
    {
        std::lock_guard lock(session.mutex);
        const auto it = session.transfers.find(token);
        if (it != session.transfers.end())
            transfer = it->second;
    }
    if (!transfer) {
        out.u8(0).u32(0).str("");
        return true;
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
        std::lock_guard lock(session.mutex);
        session.transfers.erase(token);
    }
    count = std::min<uint32_t>(count, static_cast<uint32_t>(transfer->buffer.size()));
    out.u8(ok).u32(count);
    if (ok && transfer->read)
        out.bytes(transfer->buffer.data(), count);
    else
        out.str("");
    out.u8(finished);
    return true;
}

bool HostServer::AnswerEventRequest(Op op, Reader &in, Session &session, Writer &out)
{
    if (op == Op::CreateEvent) {
        const bool signalled = in.u8() != 0;
        if (!in.AtEnd())
            return false;
        out.u64(session.Add(m_instance, m_host.CreateEvent(signalled)));
        return true;
    }
    const Handle handle = session.Lookup(in.u64());
    if (!in.AtEnd())
        return false;
    out.u8(op == Op::CancelIo ? m_host.CancelIo(handle)
           : op == Op::SetEvent ? m_host.SetEvent(handle)
                                : m_host.ResetEvent(handle));
    return true;
}

bool HostServer::AnswerWaitForEvents(int fd, Reader &in, Session &session, Writer &out)
{
    const uint32_t count = in.u32();
    if (!in.ok() || count > 64)
        return false;
    std::vector<Handle> events;
    for (uint32_t i = 0; i < count; ++i)
        events.push_back(session.Lookup(in.u64()));
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
    return true;
}

} // namespace benchwire
