#pragma once
// platform::Host served by the bench daemon over its local socket: what the programs use when a
// person runs them. Calls from several threads run side by side on a small pool of connections, so a
// worker waiting for a transfer never holds up the GUI thread's scans. What is stable between
// device-change notifications (the device-manager tree, registry values, the system directory) is
// cached and dropped on every notification, so a walk costs a few round trips, not thousands.
//
// Without a daemon the programs behave as on a PC with no cables: calls fail or find nothing, and
// one line on stderr says how to start the bench. A daemon that (re)starts later is picked up. A
// listener that does not answer (or runs as another user) is treated as no daemon: every request
// has a time-out, and after one the calls fail at once until the daemon answers again.
//
// Closes take no round trip of their own: they travel in front of the next request (of any thread),
// so the daemon has done them before it serves anything that follows. What a caller will ask next
// is asked in the same round trip where that is certain to change nothing anyone can see: opening a
// bridge device's control channel opens its two pipes too (the bench's driver has no share modes;
// pipes the caller does not take are closed with the channel), and a hub's per-port question is
// asked for the hub's following ports as well (answers kept until the hub is closed or the next
// device-change notification, like the cached device tree).

#include "Host.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>
#include <string>
#include <thread>
#include <vector>

namespace benchwire {

class Writer;

class SocketHost : public platform::Host {
public:
    explicit SocketHost(std::string socketPath);
    ~SocketHost() override;
    SocketHost(const SocketHost &) = delete;
    SocketHost &operator=(const SocketHost &) = delete;

    // True once a connection to the daemon has worked since the last failure.
    bool Connected() const { return m_connected; }
    // Requests sent and answered so far (for benchmarks: the cost of an operation in round trips).
    uint64_t RoundTrips() const { return m_roundTrips; }

    platform::Handle OpenFile(std::string_view name, uint32_t access, uint32_t share, bool overlapped) override;
    bool CloseHandle(platform::Handle handle) override;
    bool DeviceIoControl(platform::Handle handle, uint32_t code, void *buffer, uint32_t size,
                         uint32_t *bytesReturned) override;
    platform::IoStart ReadFile(platform::Handle handle, void *buffer, uint32_t size, platform::Overlapped &ov) override;
    platform::IoStart WriteFile(platform::Handle handle, const void *buffer, uint32_t size,
                                platform::Overlapped &ov) override;
    bool GetOverlappedResult(platform::Handle handle, platform::Overlapped &ov, uint32_t *bytesTransferred,
                             bool wait) override;
    bool CancelIo(platform::Handle handle) override;
    platform::Handle CreateEvent(bool signalled) override;
    bool SetEvent(platform::Handle event) override;
    bool ResetEvent(platform::Handle event) override;
    int WaitForEvents(std::span<const platform::Handle> events, bool waitAll, uint32_t timeoutMs) override;
    bool ReadWholeFile(std::string_view path, std::string &bytes) override;
    bool ReplaceFileContents(std::string_view path, std::string_view bytes) override;

    bool EnumeratePresentDevices(std::string_view enumerator, std::size_t idBufferBytes,
                                 std::vector<std::string> &instanceIds) override;
    platform::DevNode GetRootNode() override;
    platform::DevNode GetChild(platform::DevNode node) override;
    platform::DevNode GetSibling(platform::DevNode node) override;
    platform::DevNode GetParent(platform::DevNode node) override;
    bool GetNodeProperty(platform::DevNode node, uint32_t property, std::size_t bufferBytes,
                         std::string &value) override;
    bool GetNodeInstanceId(platform::DevNode node, std::size_t bufferBytes, std::string &id) override;
    bool IsDevicePresent(std::string_view instanceId) override;
    platform::InstallWait WaitNoPendingInstallEvents(uint32_t timeoutMs) override;

    bool ReadMachineRegistryString(std::string_view subKey, std::string_view valueName, std::size_t bufferBytes,
                                   std::string &value) override;
    std::string GetWindowsDirectory() override;
    uint32_t GetPlatformId() override;
    std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                        std::string_view defaultValue, std::size_t bufferBytes,
                                        std::string_view path) override;

    uint64_t SubscribeDeviceChanges(DeviceChangeCallback callback) override;
    void UnsubscribeDeviceChanges(uint64_t id) override;

    std::string NoDeviceAdvice() override { return "is the bench running? vbench start"; }
    // The daemon's "notices" command.
    std::string DeviceNotice() override;
    std::string GetModuleFileName() override;
    std::optional<platform::FileVersion> GetFileVersion(std::string_view path) override;

private:
    struct Node {
        platform::DevNode parent = 0, child = 0, sibling = 0;
        std::optional<std::string> driverKey, description, instanceId;
    };
    struct Cache {
        bool treeLoaded = false;
        platform::DevNode root = 0;
        std::map<platform::DevNode, Node> nodes;
        std::map<std::string, std::optional<std::string>> registry; // "subkey\0value" -> text or none
        bool systemLoaded = false;
        std::string windowsDirectory;
        uint32_t platformId = platform::PLATFORM_WIN32_NT;
    };

    // One request, one answer, on a pooled connection. False when the daemon cannot be reached or
    // does not answer in time. A request that may take a while (a modelled latency, a wait) does
    // not carry closes: they are sent, and answered, first.
    enum class Speed { Quick, MayWait };
    bool Call(const std::string &frame, std::string &answer, Speed speed = Speed::Quick);
    bool Exchange(const std::string &frame, std::string &answer);
    void FlushCloses();
    // Several requests in one round trip; their answers in order. False when the daemon cannot be
    // reached or answers out of form.
    bool CallBatch(const std::vector<std::string> &requests, std::vector<std::string> &answers);
    platform::Handle OpenBridgeDevice(std::string_view name, uint32_t access, uint32_t share);
    bool HubPortQuery(platform::Handle hub, uint32_t code, void *buffer, uint32_t size, uint32_t *bytesReturned,
                      bool &answered);
    void DropAhead(platform::Handle closed);
    // A request answered by one flag byte, or by one handle.
    bool CallForFlag(const Writer &request, Speed speed = Speed::Quick);
    platform::Handle CallForHandle(const Writer &request);
    // Starts an overlapped transfer; the daemon's token goes into `ov`.
    platform::IoStart StartTransfer(const Writer &request, platform::Overlapped &ov);
    // A connection that has greeted the daemon, or -1 with the reason; `busy` says whether the daemon
    // refused at one of its bounds (it is there).
    int Connect(std::string &reason, bool *busy = nullptr);
    int ConnectPatiently(std::string &reason, bool &busy);
    void Release(int fd, bool healthy);
    // Says once that the daemon is not there; a daemon refusing at a bound (`busy`) is said to be busy.
    void ReportDown(const std::string &reason, bool busy = false);
    void NotificationLoop();
    void Invalidate();
    void Dispatch(platform::DeviceChange change);
    bool LoadTree(Cache &cache);
    const Node *FindNode(platform::DevNode node);

    const std::string m_socketPath;
    const uint64_t m_sessionKey;
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_warned{false};
    // After a daemon failed to answer in time, calls fail at once until the notification stream
    // reaches it again, so a silent listener costs one time-out, not one per call.
    std::atomic<bool> m_silent{false};
    std::atomic<uint64_t> m_roundTrips{0};

    // Handles this client holds (closing an unknown one fails at once), and closes not yet sent.
    std::mutex m_closeMutex;
    std::condition_variable m_closesDone;
    std::set<uint64_t> m_open;
    std::vector<uint64_t> m_pendingCloses;
    int m_closesInFlight = 0;
    void Opened(platform::Handle handle);

    // Asked ahead (see above), under m_closeMutex.
    struct SpareOpen {
        platform::Handle handle = platform::INVALID_HANDLE;
        platform::Handle owner = platform::INVALID_HANDLE;
    };
    std::map<std::string, SpareOpen> m_spareOpens; // pipe name -> handle opened with its channel
    struct PortAnswer {
        bool ok = false;
        uint32_t returned = 0;
        std::string data;
    };
    // (hub handle, code, buffer size, port) -> the hub's answer
    std::map<std::tuple<platform::Handle, uint32_t, uint32_t, uint32_t>, PortAnswer> m_portAnswers;
    std::map<platform::Handle, uint32_t> m_hubPorts; // from node-information answers
    uint64_t m_aheadGeneration = 0; // bumped by every notification: answers asked before it are dropped

    std::mutex m_poolMutex;
    std::condition_variable m_poolFreed;
    std::vector<int> m_idle;
    std::size_t m_requestConnections = 0; // open for requests: in use or idle in the pool

    std::mutex m_cacheMutex;
    Cache m_cache;
    uint64_t m_generation = 0; // bumped by every invalidation, so a load that raced one is dropped

    // Outstanding overlapped reads: where their data goes. As on the real system, a read's buffer
    // holds the data once its event is seen signalled, so a wait that reports a read's event pulls
    // the data over and keeps the result for the caller's GetOverlappedResult.
    struct PendingRead {
        platform::Handle handle = platform::INVALID_HANDLE;
        void *buffer = nullptr;
        uint32_t size = 0;
        platform::Handle event = platform::INVALID_HANDLE;
    };
    struct Result {
        platform::Handle handle = platform::INVALID_HANDLE;
        bool ok = false;
        uint32_t count = 0;
    };
    std::mutex m_transferMutex;
    std::map<uint64_t, PendingRead> m_readBuffers;
    std::map<uint64_t, Result> m_collected;
    // Asks the daemon for a transfer's result; copies a finished read's data into its buffer.
    bool Collect(uint64_t token, bool wait, Result &result, bool &finished);
    void PullFinishedReads(std::span<const platform::Handle> events);

    std::mutex m_subscriberMutex;
    std::condition_variable m_subscriberIdle;
    std::map<uint64_t, DeviceChangeCallback> m_subscribers;
    uint64_t m_nextSubscriber = 1;
    std::thread::id m_dispatchingThread;
    bool m_dispatching = false;

    std::atomic<bool> m_stopping{false};
    std::mutex m_notifyMutex;
    std::condition_variable m_notifyWake;
    int m_notifyFd = -1;
    std::thread m_notifyThread;
};

} // namespace benchwire
