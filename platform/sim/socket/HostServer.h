#pragma once
// Serves a platform::Host to other processes over a local (Unix-domain) socket: the bench daemon's
// core. Each client process is a session; a session's handles are its own and are closed, after
// their transfers are cancelled and collected, when its last connection goes. Whatever a client
// sends or does, the server answers or drops that one connection and keeps serving the others.
//
// What a client may cost is bounded: connections (in all and per process; the excess is told why and
// closed; so are connections that would eat into the descriptors the rest of the process needs),
// transfers in flight and their buffers per session, and the memory of request bodies and
// transfer buffers in all (a body is read as it arrives, never allocated for its announced length).
// Only processes of the daemon's own user are served.

#include "Host.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace benchwire {

enum class Op : uint8_t;
class Reader;
class Writer;

class HostServer {
public:
    // Runs one control command of the control tool: fills `output`, returns the exit status.
    using ControlHandler = std::function<int(const std::vector<std::string> &args, std::string &output)>;

    HostServer(platform::Host &host, ControlHandler control = {});
    ~HostServer();
    HostServer(const HostServer &) = delete;
    HostServer &operator=(const HostServer &) = delete;

    // Binds `socketPath` (owner-only access), replacing a stale socket file, and starts accepting.
    // False with `error` set when it cannot.
    bool Start(const std::string &socketPath, std::string &error);
    // Stops accepting, drops every connection, closes every session's handles, joins every thread.
    void Stop();
    // Blocks until Stop() is called from another thread (or a "stop" control command).
    void Wait();
    void RequestStop();

    std::size_t SessionCount() const;
    std::size_t ConnectionCount() const;

    struct Limits {
        std::size_t connections = 128;         // served at once, in all
        std::size_t connectionsPerProcess = 32; // served at once for one client process
        // Overlapped transfers in flight: a read and a write on each of the 32 device objects, as a
        // line program testing every cable at once has (16 cables x 2 sides x 131,071 bytes each way).
        std::size_t transfersPerSession = 64;
        std::size_t transferBytesPerSession = 16u << 20;
        std::size_t memory = 64u << 20; // request bodies being read plus transfer buffers, in all
        // File descriptors no client may take (the rest of the process needs them): a connection
        // that would leave fewer free is told why and closed.
        std::size_t descriptorsKept = 16;
    };
    // Before Start(); tests lower them.
    void SetLimits(const Limits &limits) { m_limits = limits; }

    // Answers one request payload as a fresh connection of session `sessionKey` would, without a
    // socket (waits do not block); the session's handles are closed afterwards. For the fuzzer.
    bool AnswerOnce(uint64_t sessionKey, const std::string &request, std::string &reply);

private:
    struct Session;
    struct Connection {
        int fd = -1;
        pid_t pid = 0;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    class Budget;

    void AcceptLoop();
    void Admit(int fd);
    void Refuse(int fd, const std::string &reason);
    void Serve(Connection &connection);
    bool ReceiveRequest(int fd, std::string &payload, std::size_t &leased);
    bool Dispatch(int fd, std::shared_ptr<Session> &session, const std::string &request, std::string &reply,
                  bool &subscribe);
    // The answers of each request family; false when the request is malformed (the connection is
    // dropped). Outside a session (HostServerSessions.cpp):
    bool AnswerHello(Reader &in, std::shared_ptr<Session> &session, std::string &reply);
    bool AnswerControl(Reader &in, std::string &reply);
    bool AnswerBatch(int fd, std::shared_ptr<Session> &session, Reader &in, std::string &reply);
    // Device objects, files, the device manager and the system (HostServerDevices.cpp):
    bool AnswerOpenFile(Reader &in, Session &session, Writer &out);
    bool AnswerClose(Reader &in, Session &session, Writer &out);
    bool AnswerDeviceIoControl(Reader &in, Session &session, Writer &out);
    bool AnswerFileRequest(Op op, Reader &in, Writer &out);
    bool AnswerTreeSnapshot(Reader &in, Writer &out);
    bool AnswerSystemQuery(Op op, Reader &in, Writer &out);
    // Transfers, events and waits (HostServerTransfers.cpp):
    bool AnswerTransferStart(Op op, Reader &in, Session &session, Writer &out);
    bool AnswerOverlappedResult(int fd, Reader &in, Session &session, Writer &out);
    bool AnswerEventRequest(Op op, Reader &in, Session &session, Writer &out);
    bool AnswerWaitForEvents(int fd, Reader &in, Session &session, Writer &out);
    void StreamNotifications(Connection &connection);
    void ReleaseSession(const std::shared_ptr<Session> &session);
    void ReapFinished();

    platform::Host &m_host;
    ControlHandler m_control;
    Limits m_limits;
    std::unique_ptr<Budget> m_budget;
    std::atomic<bool> m_warnedFull{false};
    std::string m_socketPath;
    int m_listenFd = -1;
    std::thread m_acceptThread;
    std::atomic<bool> m_stopping{false};

    mutable std::mutex m_mutex;
    std::list<std::unique_ptr<Connection>> m_connections;
    std::map<uint64_t, std::weak_ptr<Session>> m_sessions;
    std::condition_variable m_stopped;
    bool m_stopRequested = false;
    uint64_t m_instance; // high bits of every wire handle, so handles of an earlier daemon never match
};

} // namespace benchwire
