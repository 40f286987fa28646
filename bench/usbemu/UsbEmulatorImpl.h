#pragma once
// Inside the USB emulator (private to bench/usbemu): its state, shared by the usbfs request half
// (UsbEmulatorRequests.cpp), the topology mirror (UsbEmulatorTopology.cpp) and the public face
// (UsbEmulator.cpp).

#include "UsbEmulator.h"

#include <umockdev.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace bench {

constexpr unsigned char kOutEndpoint = 0x02;
constexpr unsigned char kInEndpoint = 0x83;

struct UsbEmulator::Impl {
    Bench& world;
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    std::uint64_t subscription = 0;
    std::string root;

    // One submitted URB, until it is reaped.
    struct Urb {
        UMockdevIoctlData* data = nullptr; // the client's struct usbdevfs_urb (resolved, with its buffer)
        std::uint8_t* buffer = nullptr;    // the local copy of its buffer
        int length = 0;
        unsigned char endpoint = 0;
        bool bulk = false;
        bool finished = false, discarded = false, held = false;
        int status = 0, actual = 0;
    };

    // A cable side's vendor requests are answered on a thread of the node's own, as a host controller
    // serves each device's control pipe apart: one chip's wire time never holds up another's (the
    // usbfs requests themselves arrive on umockdev's one worker thread).
    struct ControlLane {
        std::thread thread;
        std::deque<std::function<void()>> jobs; // guarded by Impl::mutex
        std::condition_variable wake;
        bool stop = false;
    };

    // One emulated device node.
    struct Node {
        DeviceId device = 0;
        std::string syspath, devnode;
        int bus = 0;
        int address = 0;
        DeviceIdentity identity;
        std::vector<std::uint8_t> descriptors;
        bool present = true;
        bool holdDiscards = false;
        int answerLimit = -1; // vendor IN answers carry at most this many bytes (-1: no limit)
        ObjectHandle control = 0, readPipe = 0, writePipe = 0;
        std::vector<std::shared_ptr<Urb>> flying; // submitted, not yet finished
        std::deque<std::shared_ptr<Urb>> done;    // finished, to be reaped in order
        std::unique_ptr<ControlLane> lane;        // started at the first vendor request
    };

    std::mutex mutex; // a leaf lock: never held while calling the bench
    std::map<std::string, std::shared_ptr<Node>> nodes;   // device node path -> node
    std::map<DeviceId, std::shared_ptr<Node>> byDevice;
    // Device numbers as the kernel hands them out: per bus, the next free one after the last given,
    // from 1 to 127, wrapping round (so a number comes back only after the others were tried).
    std::map<int, std::set<int>> usedAddresses;            // bus -> numbers of its present devices
    std::map<int, int> nextAddress;                        // bus -> where the search starts
    int ChooseAddress(int bus)
    {
        std::set<int>& used = usedAddresses[bus];
        int& next = nextAddress[bus];
        for (int i = 0; i < 127; ++i) {
            const int address = (std::max(next, 1) - 1 + i) % 127 + 1;
            if (used.insert(address).second) {
                next = address >= 127 ? 1 : address + 1;
                return address;
            }
        }
        return 0; // 127 devices on the bus: the kernel refuses the next one too
    }
    bool hidePortCounts = false;
    std::mutex syncMutex;

    explicit Impl(Bench& w) : world(w) {}

    static gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
    {
        return static_cast<Impl*>(self)->Ioctl(client);
    }

    std::shared_ptr<Node> NodeOf(UMockdevIoctlClient* client)
    {
        std::lock_guard lock(mutex);
        auto it = nodes.find(umockdev_ioctl_client_get_devnode(client));
        return it == nodes.end() ? nullptr : it->second;
    }

    gboolean Ioctl(UMockdevIoctlClient* client);
    void Submit(UMockdevIoctlClient* client, const std::shared_ptr<Node>& keep);
    std::shared_ptr<Urb> ResolveUrb(UMockdevIoctlClient* client);
    void SubmitControl(UMockdevIoctlClient* client, const std::shared_ptr<Node>& keep,
                       const std::shared_ptr<Urb>& urb);
    bool QueueVendorRequest(const std::shared_ptr<Node>& keep, const std::shared_ptr<Urb>& urb);
    void SubmitBulk(UMockdevIoctlClient* client, const std::shared_ptr<Node>& keep, const std::shared_ptr<Urb>& urb);
    void AnswerVendorRequest(const std::shared_ptr<Node>& node, const std::shared_ptr<Urb>& urb);
    void RunLane(Node& node);
    void StopLane(Node& node);
    void Reap(UMockdevIoctlClient* client, Node& node);
    void Discard(UMockdevIoctlClient* client, const std::shared_ptr<Node>& node);
    bool StandardRequest(Node& node, std::uint8_t* setup, std::uint8_t* data, int& actual);
    void Finish(const std::shared_ptr<Node>& node, const std::shared_ptr<Urb>& urb, bool ok,
                const std::vector<std::uint8_t>& bytes, std::uint32_t count);

    void Sync();
    struct Wanted; // a device the bench holds now, where the emulated sysfs is to show it
    std::vector<Wanted> WantedDevices();
    std::string NodeText(const Node& node) const;
    void AddDevice(DeviceId id, const std::string& parentSyspath, const std::string& name, int bus);
    void RemoveNode(const std::shared_ptr<Node>& node);
    // Lets go of the client data of a node's URBs that nobody can reap any more (mutex held).
    static void ReleaseUrbs(Node& node);
};
} // namespace bench
