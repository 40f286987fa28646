#include "UsbEmulator.h"

#include <umockdev.h>

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <condition_variable>
#include <functional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace bench {

namespace {

constexpr unsigned char kOutEndpoint = 0x02;
constexpr unsigned char kInEndpoint = 0x83;

std::string Hex(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    char two[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        text += two;
    }
    return text;
}

void Put16(std::vector<std::uint8_t>& v, std::uint16_t x)
{
    v.push_back(std::uint8_t(x));
    v.push_back(std::uint8_t(x >> 8));
}

// Device descriptor, then one configuration: a cable side's vendor interface with its two bulk
// endpoints, a hub's interface with its status endpoint, or an ordinary device's interface.
std::vector<std::uint8_t> Descriptors(const DeviceIdentity& id)
{
    std::vector<std::uint8_t> d{18, 1};
    Put16(d, 0x0200);
    d.push_back(id.hubPorts ? 9 : 0); // class
    d.push_back(0);
    d.push_back(id.hubPorts ? 1 : 0);
    d.push_back(64);
    Put16(d, id.vid);
    Put16(d, id.pid);
    Put16(d, id.revision);
    d.push_back(1), d.push_back(2), d.push_back(id.iSerial), d.push_back(1);
    const int endpoints = id.cableSide ? 2 : 1;
    std::vector<std::uint8_t> c{9, 2};
    Put16(c, std::uint16_t(9 + 9 + 7 * endpoints));
    c.insert(c.end(), {1, 1, 0, 0x80, 50});
    const std::uint8_t cls = id.hubPorts ? 9 : id.cableSide ? 0xFF : 3;
    c.insert(c.end(), {9, 4, 0, 0, std::uint8_t(endpoints), cls, 0, 0, 0});
    if (id.cableSide) {
        c.insert(c.end(), {7, 5, kInEndpoint, 2, 0x00, 0x02, 0});
        c.insert(c.end(), {7, 5, kOutEndpoint, 2, 0x00, 0x02, 0});
    } else {
        c.insert(c.end(), {7, 5, 0x81, 3, 0x08, 0x00, 12});
    }
    d.insert(d.end(), c.begin(), c.end());
    return d;
}

} // namespace

// ---------------------------------------------------------------------------------------------

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
    void AnswerVendorRequest(const std::shared_ptr<Node>& node, const std::shared_ptr<Urb>& urb);
    void RunLane(Node& node);
    void StopLane(Node& node);
    void Reap(UMockdevIoctlClient* client, Node& node);
    void Discard(UMockdevIoctlClient* client, const std::shared_ptr<Node>& node);
    bool StandardRequest(Node& node, std::uint8_t* setup, std::uint8_t* data, int& actual);
    void Finish(const std::shared_ptr<Node>& node, const std::shared_ptr<Urb>& urb, bool ok,
                const std::vector<std::uint8_t>& bytes, std::uint32_t count);

    void Sync();
    void AddDevice(DeviceId id, const std::string& parentSyspath, const std::string& name, int bus);
    void RemoveNode(const std::shared_ptr<Node>& node);
};

gboolean UsbEmulator::Impl::Ioctl(UMockdevIoctlClient* client)
{
    const std::shared_ptr<Node> node = NodeOf(client);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    // A device that left still hands back what finished before it went, then answers as gone.
    if (!node || (!node->present && (request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB))) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        if (!caps)
            return FALSE;
        *reinterpret_cast<guint32*>(caps->data) = USBDEVFS_CAP_NO_PACKET_SIZE_LIM; // one URB per transfer
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(caps);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL: // no kernel driver holds an emulated device
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return TRUE;
    case USBDEVFS_SUBMITURB:
        Submit(client, node);
        return TRUE;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        Reap(client, *node);
        return TRUE;
    case USBDEVFS_DISCARDURB:
        Discard(client, node);
        return TRUE;
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
}

// GET_DESCRIPTOR for the device, its configuration and a few strings; the rest stalls.
bool UsbEmulator::Impl::StandardRequest(Node& node, std::uint8_t* setup, std::uint8_t* data, int& actual)
{
    const int length = setup[6] | setup[7] << 8;
    if (setup[0] != 0x80 || setup[1] != 6)
        return false;
    const int type = setup[3], index = setup[2];
    std::vector<std::uint8_t> answer;
    if (type == 1)
        answer.assign(node.descriptors.begin(), node.descriptors.begin() + 18);
    else if (type == 2 && index == 0)
        answer.assign(node.descriptors.begin() + 18, node.descriptors.end());
    else if (type == 3 && index == 0)
        answer = {4, 3, 0x09, 0x04};
    else if (type == 3 && index == 2 && node.identity.description) {
        const std::string& text = *node.identity.description;
        answer = {std::uint8_t(std::min<std::size_t>(2 + 2 * text.size(), 254)), 3};
        for (char ch : text)
            if (answer.size() + 2 <= 254)
                answer.push_back(std::uint8_t(ch)), answer.push_back(0);
    } else
        return false;
    actual = std::min<int>(length, int(answer.size()));
    std::memcpy(data, answer.data(), std::size_t(actual));
    return true;
}

// `keep` holds the node for the transfer's completion: the device may leave meanwhile, and its
// URBs must still finish and be reaped, or the program waits for them for ever.
void UsbEmulator::Impl::Submit(UMockdevIoctlClient* client, const std::shared_ptr<Node>& keep)
{
    Node& node = *keep;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!urbData) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto* u = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    if (u->buffer_length < 0 || u->buffer_length > (1 << 24)) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    UMockdevIoctlData* bufferData = umockdev_ioctl_data_resolve(urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                                                gsize(u->buffer_length), nullptr);
    if (!bufferData) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto urb = std::make_shared<Urb>();
    urb->data = urbData; // keeps its buffer resolved
    urb->buffer = bufferData->data;
    urb->length = u->buffer_length;
    urb->endpoint = u->endpoint;
    g_object_unref(bufferData);

    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (urb->length < 8 || 8 + (urb->buffer[6] | urb->buffer[7] << 8) > urb->length) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            g_object_unref(urbData);
            return;
        }
        const std::uint8_t type = urb->buffer[0];
        bool ok = false;
        int actual = 0;
        if ((type & 0x60) == 0x40 && node.identity.cableSide && world.ChipSilent(node.device)) {
            // Never answered: the URB waits for the host to give up on it (a discard).
            std::lock_guard lock(mutex);
            node.flying.push_back(urb);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
        if ((type & 0x60) == 0x40 && node.identity.cableSide) {
            bool queued = false;
            {
                std::lock_guard lock(mutex);
                if (node.present && !(node.lane && node.lane->stop)) {
                    if (!node.lane) {
                        node.lane = std::make_unique<ControlLane>();
                        node.lane->thread = std::thread([this, n = &node] { RunLane(*n); });
                    }
                    node.lane->jobs.push_back([this, keep, urb] { AnswerVendorRequest(keep, urb); });
                    node.lane->wake.notify_all();
                    queued = true;
                }
            }
            if (!queued)
                Finish(keep, urb, false, {}, 0);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
        if ((type & 0x60) == 0) {
            ok = StandardRequest(node, urb->buffer, urb->buffer + 8, actual);
        }
        Finish(keep, urb, ok, {}, std::uint32_t(actual));
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }

    if (u->type != USBDEVFS_URB_TYPE_BULK || !node.identity.cableSide ||
        (urb->endpoint != kOutEndpoint && urb->endpoint != kInEndpoint)) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        g_object_unref(urbData);
        return;
    }
    urb->bulk = true;
    const bool in = urb->endpoint == kInEndpoint;
    ObjectHandle pipe;
    {
        std::lock_guard lock(mutex);
        ObjectHandle& h = in ? node.readPipe : node.writePipe;
        if (!h)
            h = world.OpenSide(node.device, in ? SideChannel::ReadPipe : SideChannel::WritePipe);
        pipe = h;
        node.flying.push_back(urb);
    }
    auto done = [this, keep, urb](bool ok, const std::vector<std::uint8_t>& bytes, std::uint32_t count) {
        Finish(keep, urb, ok, bytes, count);
    };
    const bool started = pipe && (in ? world.Pc().StartRead(pipe, std::uint32_t(urb->length), done)
                                     : world.Pc().StartWrite(pipe, std::vector<std::uint8_t>(urb->buffer, urb->buffer + urb->length),
                                                        done));
    if (!started) {
        {
            std::lock_guard lock(mutex);
            node.flying.erase(std::remove(node.flying.begin(), node.flying.end(), urb), node.flying.end());
        }
        umockdev_ioctl_client_complete(client, -1, EPIPE);
        g_object_unref(urbData);
        urb->data = nullptr;
        return;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbEmulator::Impl::RunLane(Node& node)
{
    std::unique_lock lock(mutex);
    for (;;) {
        node.lane->wake.wait(lock, [&] { return node.lane->stop || !node.lane->jobs.empty(); });
        if (node.lane->jobs.empty())
            return; // stopped, and every request was answered
        auto job = std::move(node.lane->jobs.front());
        node.lane->jobs.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

void UsbEmulator::Impl::StopLane(Node& node)
{
    {
        std::lock_guard lock(mutex);
        if (!node.lane)
            return;
        node.lane->stop = true;
        node.lane->wake.notify_all();
    }
    if (node.lane->thread.joinable())
        node.lane->thread.join();
}

// On the node's lane: the setup packet and the data area are the vendor request's own buffer.
void UsbEmulator::Impl::AnswerVendorRequest(const std::shared_ptr<Node>& keep, const std::shared_ptr<Urb>& urb)
{
    Node& node = *keep;
    const int length = urb->buffer[6] | urb->buffer[7] << 8;
    const std::uint8_t type = urb->buffer[0];
    ObjectHandle control;
    {
        std::lock_guard lock(mutex);
        if (node.present && !node.control)
            node.control = world.OpenSide(node.device, SideChannel::Control);
        control = node.present ? node.control : 0;
    }
    const bool ok = control && world.Pc().DeviceRequest(control, platform::IOCTL_VENDOR_REQUEST, urb->buffer,
                                                   std::uint32_t(8 + length), nullptr);
    int actual = ok ? length : 0;
    {
        std::lock_guard lock(mutex);
        if ((type & 0x80) && node.answerLimit >= 0 && actual > node.answerLimit) {
            std::fill(urb->buffer + 8 + node.answerLimit, urb->buffer + 8 + actual, std::uint8_t(0));
            actual = node.answerLimit;
        }
    }
    Finish(keep, urb, ok, {}, std::uint32_t(actual));
}

// Runs with the bench's lock held for bulk transfers: records only.
void UsbEmulator::Impl::Finish(const std::shared_ptr<Node>& node, const std::shared_ptr<Urb>& urb, bool ok,
                               const std::vector<std::uint8_t>& bytes, std::uint32_t count)
{
    std::lock_guard lock(mutex);
    if (urb->finished || !node)
        return;
    urb->finished = true;
    if (urb->bulk && ok && urb->endpoint == kInEndpoint)
        std::memcpy(urb->buffer, bytes.data(), std::min<std::size_t>(bytes.size(), std::size_t(urb->length)));
    urb->actual = ok ? int(count) : 0;
    urb->status = ok ? 0 : urb->discarded ? -ENOENT : urb->bulk ? (node->present ? -EPROTO : -ESHUTDOWN) : -EPIPE;
    node->flying.erase(std::remove(node->flying.begin(), node->flying.end(), urb), node->flying.end());
    node->done.push_back(urb);
}

void UsbEmulator::Impl::Reap(UMockdevIoctlClient* client, Node& node)
{
    std::shared_ptr<Urb> urb;
    {
        std::lock_guard lock(mutex);
        if (!node.done.empty()) {
            urb = node.done.front();
            node.done.pop_front();
        }
    }
    if (!urb) {
        umockdev_ioctl_client_complete(client, -1, node.present ? EAGAIN : ENODEV);
        return;
    }
    auto* u = reinterpret_cast<usbdevfs_urb*>(urb->data->data);
    u->status = urb->status;
    u->actual_length = urb->actual;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
    if (pointer) {
        umockdev_ioctl_data_set_ptr(pointer, 0, urb->data);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(pointer);
    } else {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
    }
    g_object_unref(urb->data);
    urb->data = nullptr;
}

void UsbEmulator::Impl::Discard(UMockdevIoctlClient* client, const std::shared_ptr<Node>& keep)
{
    Node& node = *keep;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const gulong address = *reinterpret_cast<gulong*>(arg->data);
    std::shared_ptr<Urb> urb;
    ObjectHandle pipe = 0;
    {
        std::lock_guard lock(mutex);
        for (auto& f : node.flying)
            if (f->data && f->data->client_addr == address)
                urb = f;
        if (urb) {
            urb->discarded = true;
            urb->held = node.holdDiscards;
            pipe = urb->endpoint == kInEndpoint ? node.readPipe : node.writePipe;
        }
    }
    if (!urb) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    if (!urb->bulk)
        Finish(keep, urb, false, {}, 0); // a control request nobody answers: given back as discarded
    else if (!urb->held)
        world.Pc().Cancel(pipe); // one transfer at a time per pipe: this one finishes as discarded
    umockdev_ioctl_client_complete(client, 0, 0);
}

// ---------------------------------------------------------------------------------------------
// The topology

void UsbEmulator::Impl::AddDevice(DeviceId id, const std::string& parentSyspath, const std::string& name, int bus)
{
    const std::optional<DeviceIdentity> identity = world.Identity(id);
    if (!identity)
        return;
    auto node = std::make_shared<Node>();
    node->device = id;
    node->identity = *identity;
    node->bus = bus;
    node->descriptors = Descriptors(*identity);
    const int address = ChooseAddress(bus);
    if (address == 0) {
        std::fprintf(stderr, "usbemu: bus %d has no free device number for %s\n", bus, name.c_str());
        return;
    }
    node->address = address;
    char devnode[64];
    std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/%03d/%03d", bus, address);
    node->devnode = devnode;
    node->syspath = parentSyspath + "/" + name;
    std::shared_ptr<Node> previous;
    {
        std::lock_guard lock(mutex);
        std::shared_ptr<Node>& slot = nodes[node->devnode];
        previous = std::exchange(slot, node);
        byDevice[id] = node;
        // What an earlier device of this number left unreaped nobody can reap any more.
        if (previous) {
            for (auto& urb : previous->flying)
                if (urb->data)
                    g_object_unref(std::exchange(urb->data, nullptr));
            for (auto& urb : previous->done)
                if (urb->data)
                    g_object_unref(std::exchange(urb->data, nullptr));
        }
    }
    umockdev_testbed_attach_ioctl(testbed, devnode, handler, nullptr);
    std::string text = "P: " + node->syspath.substr(4) + "\n"; // without the leading /sys
    text += "N: " + node->devnode.substr(5) + "\n";
    text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    text += "E: DEVNAME=" + node->devnode + "\n";
    char line[160];
    std::snprintf(line, sizeof line, "E: BUSNUM=%03d\nE: DEVNUM=%03d\nE: PRODUCT=%x/%x/%x\n", bus, address,
                  identity->vid, identity->pid, identity->revision);
    text += line;
    std::snprintf(line, sizeof line,
                  "A: busnum=%d\\n\nA: devnum=%d\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n"
                  "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bcdDevice=%04x\\n\nA: maxchild=%d\\n\n",
                  bus, address, identity->vid, identity->pid, identity->revision,
                  hidePortCounts ? 0 : identity->hubPorts);
    text += line;
    if (identity->description) {
        std::string product = *identity->description;
        std::replace(product.begin(), product.end(), '\n', ' ');
        text += "A: product=" + product + "\\n\n";
    }
    text += "H: descriptors=" + Hex(node->descriptors) + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, text.c_str(), &error)) {
        std::fprintf(stderr, "usbemu: cannot add %s: %s\n", node->syspath.c_str(), error ? error->message : "?");
        g_clear_error(&error);
    }
}

void UsbEmulator::Impl::RemoveNode(const std::shared_ptr<Node>& node)
{
    ObjectHandle handles[3];
    {
        std::lock_guard lock(mutex);
        node->present = false;
        handles[0] = node->control, handles[1] = node->readPipe, handles[2] = node->writePipe;
        node->control = node->readPipe = node->writePipe = 0;
        byDevice.erase(node->device); // its node stays until the end: an open file may still reap
    }
    for (ObjectHandle h : handles)
        if (h)
            world.Pc().Close(h);
    StopLane(*node); // what it still holds fails: the device is gone
    // The node's listening socket goes with the device (it was one descriptor per plug-in kept for
    // ever); its number is free for the bus to give again.
    umockdev_testbed_detach_ioctl(testbed, node->devnode.c_str(), nullptr);
    {
        std::lock_guard lock(mutex);
        usedAddresses[node->bus].erase(node->address);
    }
    // Control requests a silent chip never answered end with the device.
    std::vector<std::shared_ptr<Urb>> unanswered;
    {
        std::lock_guard lock(mutex);
        for (const auto& urb : node->flying)
            if (!urb->bulk)
                unanswered.push_back(urb);
    }
    for (const auto& urb : unanswered)
        Finish(node, urb, false, {}, 0);
    umockdev_testbed_uevent(testbed, node->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, node->syspath.c_str());
}

void UsbEmulator::Impl::Sync()
{
    std::lock_guard lock(syncMutex);
    // What the bench holds now: bench device -> (parent syspath, kernel name, bus), parents first.
    struct Wanted {
        DeviceId id;
        std::string parent, name;
        int bus;
    };
    std::vector<Wanted> wanted;
    const std::vector<DeviceId> roots = world.RootHubs();
    for (std::size_t i = 0; i < roots.size(); ++i) {
        const int bus = int(i + 1);
        const std::string controller = "/sys/devices/pci0000:00/0000:00:14." + std::to_string(i);
        wanted.push_back({roots[i], controller, "usb" + std::to_string(bus), bus});
        // Breadth first, so a hub comes before what is plugged into it.
        struct Pending {
            DeviceId hub;
            std::string syspath, name;
        };
        std::deque<Pending> hubs{{roots[i], controller + "/usb" + std::to_string(bus), ""}};
        while (!hubs.empty()) {
            const Pending hub = hubs.front();
            hubs.pop_front();
            const int ports = world.PortCount(hub.hub);
            for (int p = 1; p <= ports; ++p) {
                PortState state;
                try {
                    state = world.Port({hub.hub, p});
                } catch (const std::exception&) {
                    break; // the hub left meanwhile
                }
                if (state.kind == PortState::Empty)
                    continue;
                const std::string name =
                    hub.name.empty() ? std::to_string(bus) + "-" + std::to_string(p) : hub.name + "." + std::to_string(p);
                wanted.push_back({state.device, hub.syspath, name, bus});
                if (state.kind == PortState::Hub)
                    hubs.push_back({state.device, hub.syspath + "/" + name, name});
            }
        }
    }
    std::set<DeviceId> keep;
    for (const Wanted& w : wanted)
        keep.insert(w.id);
    std::vector<std::shared_ptr<Node>> gone;
    {
        std::lock_guard lock2(mutex);
        for (auto& [id, node] : byDevice)
            if (!keep.count(id))
                gone.push_back(node);
    }
    // Deepest first, so no device is removed before what hangs below it.
    std::sort(gone.begin(), gone.end(), [](const auto& a, const auto& b) { return a->syspath.size() > b->syspath.size(); });
    for (const auto& node : gone)
        RemoveNode(node);
    for (const Wanted& w : wanted) {
        bool known;
        {
            std::lock_guard lock2(mutex);
            known = byDevice.count(w.id) > 0;
        }
        if (!known) {
            AddDevice(w.id, w.parent, w.name, w.bus);
        }
    }
}

// ---------------------------------------------------------------------------------------------

UsbEmulator::UsbEmulator(Bench& world) : m(std::make_unique<Impl>(world))
{
    m->testbed = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(m->testbed);
    m->root = root;
    g_free(root);
    m->handler = umockdev_ioctl_base_new();
    g_signal_connect(m->handler, "handle-ioctl", G_CALLBACK(&Impl::HandleIoctl), m.get());
    m->Sync();
    m->subscription = world.Pc().Subscribe([impl = m.get()](platform::DeviceChange) { impl->Sync(); });
}

UsbEmulator::~UsbEmulator()
{
    m->world.Pc().Unsubscribe(m->subscription);
    std::vector<std::shared_ptr<Impl::Node>> present, all;
    {
        std::lock_guard lock(m->mutex);
        for (auto& [id, node] : m->byDevice)
            present.push_back(node);
        for (auto& [path, node] : m->nodes)
            all.push_back(node);
    }
    std::sort(present.begin(), present.end(),
              [](const auto& a, const auto& b) { return a->syspath.size() > b->syspath.size(); });
    for (const auto& node : present)
        m->RemoveNode(node); // detaches its node
    // URBs nobody reaped any more (their program ended or closed the device first).
    for (const auto& node : all) {
        std::lock_guard lock(m->mutex);
        for (auto& urb : node->flying)
            if (urb->data)
                g_object_unref(std::exchange(urb->data, nullptr));
        for (auto& urb : node->done)
            if (urb->data)
                g_object_unref(std::exchange(urb->data, nullptr));
    }
    g_object_unref(m->testbed);
    g_object_unref(m->handler);
}

namespace {

constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";

} // namespace

std::string UsbEmulator::PreloadValue()
{
    std::string preload = kPreloadLibrary;
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old && std::string(old).find(preload) == std::string::npos)
        preload += std::string(":") + old;
    return preload;
}

void UsbEmulator::RunUnderPreload(char** argv)
{
    const char* current = std::getenv("LD_PRELOAD");
    if (current && std::strstr(current, kPreloadLibrary))
        return;
    const std::string old = current ? current : "";
    ::setenv("LD_PRELOAD", PreloadValue().c_str(), 1);
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime insists on coming first among the libraries; the preload one is ahead.
    std::string options = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    options += std::string(options.empty() ? "" : ":") + "verify_asan_link_order=0";
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
#endif
    ::execv("/proc/self/exe", argv);
    std::fprintf(stderr, "%s: cannot restart with %s (%s); programs inside the emulated USB stack will not see "
                         "cables plugged or unplugged while they run\n",
                 argv[0], kPreloadLibrary, std::strerror(errno));
    if (old.empty())
        ::unsetenv("LD_PRELOAD");
    else
        ::setenv("LD_PRELOAD", old.c_str(), 1);
}

std::map<std::string, std::string> UsbEmulator::Environment() const
{
    std::map<std::string, std::string> env;
    env["UMOCKDEV_DIR"] = m->root;
    env["LD_PRELOAD"] = PreloadValue();
    return env;
}

void UsbEmulator::Sync() { m->Sync(); }

void UsbEmulator::HoldDiscards(DeviceId device, bool held)
{
    std::vector<ObjectHandle> pipes;
    {
        std::lock_guard lock(m->mutex);
        auto it = m->byDevice.find(device);
        if (it == m->byDevice.end())
            return;
        Impl::Node& node = *it->second;
        node.holdDiscards = held;
        if (!held)
            for (auto& urb : node.flying)
                if (urb->held) {
                    urb->held = false;
                    pipes.push_back(urb->endpoint == kInEndpoint ? node.readPipe : node.writePipe);
                }
    }
    for (ObjectHandle pipe : pipes)
        m->world.Pc().Cancel(pipe);
}

void UsbEmulator::ShortenAnswers(DeviceId device, int bytes)
{
    std::lock_guard lock(m->mutex);
    if (auto it = m->byDevice.find(device); it != m->byDevice.end())
        it->second->answerLimit = bytes;
}

void UsbEmulator::HidePortCounts(bool hidden)
{
    std::lock_guard lock(m->syncMutex);
    m->hidePortCounts = hidden;
}

void UsbEmulator::ShowPortCount(DeviceId hub)
{
    std::string syspath;
    int ports = 0;
    {
        std::lock_guard lock(m->mutex);
        auto it = m->byDevice.find(hub);
        if (it == m->byDevice.end())
            return;
        syspath = it->second->syspath;
        ports = it->second->identity.hubPorts;
    }
    umockdev_testbed_set_attribute(m->testbed, syspath.c_str(), "maxchild", std::to_string(ports).c_str());
}

void UsbEmulator::DenyAccess(DeviceId device, bool denied)
{
    std::string devnode;
    {
        std::lock_guard lock(m->mutex);
        auto it = m->byDevice.find(device);
        if (it == m->byDevice.end())
            return;
        devnode = it->second->devnode;
    }
    // The node becomes a plain file nobody may open (the emulated stack cannot refuse an open on its
    // own); every other node stays open to all, so an unprivileged look sees only this refusal.
    const std::string path = m->root + devnode;
    if (denied) {
        umockdev_testbed_detach_ioctl(m->testbed, devnode.c_str(), nullptr);
        ::unlink(path.c_str());
        if (FILE* f = std::fopen(path.c_str(), "w"))
            std::fclose(f);
        ::chmod(path.c_str(), 0);
    } else {
        ::chmod(path.c_str(), 0666);
        umockdev_testbed_attach_ioctl(m->testbed, devnode.c_str(), m->handler, nullptr);
    }
    std::error_code error;
    ::chmod(m->root.c_str(), 0755);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m->root, error)) {
        if (entry.is_directory(error))
            ::chmod(entry.path().c_str(), 0755);
        else if (entry.path() != path || !denied)
            ::chmod(entry.path().c_str(), 0666);
    }
}

} // namespace bench
