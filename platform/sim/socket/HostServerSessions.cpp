// Serving one connection: reading its requests within the budget, the session its process shares
// with its other connections (and what is left of it when the last one goes), the notification
// stream, and routing each request to the handler of its family (HostServerDevices.cpp,
// HostServerTransfers.cpp). The greeting, control commands and batches are answered here.
#include "HostServerInternals.h"

#include "BenchHome.h"
#include "BenchWire.h"

#include <algorithm>
#include <condition_variable>
#include <deque>

#include <sys/socket.h>

namespace benchwire {

using namespace platform;

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
    if (op == Op::Hello)
        return AnswerHello(in, session, reply);
    if (op == Op::Control)
        return AnswerControl(in, reply);
    if (!session)
        return false; // every other request needs a session
    if (op == Op::Batch)
        return AnswerBatch(fd, session, in, reply);

    Writer out;
    bool answered = false;
    switch (op) {
    case Op::OpenFile:
        answered = AnswerOpenFile(in, *session, out);
        break;
    case Op::CloseHandle:
        answered = AnswerClose(in, *session, out);
        break;
    case Op::CloseQuietly:
        // Takes no answer.
        reply.clear();
        return AnswerClose(in, *session, out);
    case Op::DeviceIoControl:
        answered = AnswerDeviceIoControl(in, *session, out);
        break;
    case Op::ReadFile:
    case Op::WriteFile:
        answered = AnswerTransferStart(op, in, *session, out);
        break;
    case Op::OverlappedResult:
        answered = AnswerOverlappedResult(fd, in, *session, out);
        break;
    case Op::CancelIo:
    case Op::SetEvent:
    case Op::ResetEvent:
    case Op::CreateEvent:
        answered = AnswerEventRequest(op, in, *session, out);
        break;
    case Op::WaitForEvents:
        answered = AnswerWaitForEvents(fd, in, *session, out);
        break;
    case Op::ReadWholeFile:
    case Op::ReplaceFile:
        answered = AnswerFileRequest(op, in, out);
        break;
    case Op::TreeSnapshot:
        answered = AnswerTreeSnapshot(in, out);
        break;
    case Op::EnumerateDevices:
    case Op::IsDevicePresent:
    case Op::PendingInstalls:
    case Op::RegistryString:
    case Op::SystemInfo:
    case Op::ProfileString:
        answered = AnswerSystemQuery(op, in, out);
        break;
    case Op::Subscribe:
        answered = in.AtEnd();
        subscribe = answered;
        break;
    default:
        return false;
    }
    if (!answered)
        return false;
    reply = out.Frame();
    return true;
}

bool HostServer::AnswerHello(Reader &in, std::shared_ptr<Session> &session, std::string &reply)
{
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

bool HostServer::AnswerControl(Reader &in, std::string &reply)
{
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

bool HostServer::AnswerBatch(int fd, std::shared_ptr<Session> &session, Reader &in, std::string &reply)
{
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

} // namespace benchwire
