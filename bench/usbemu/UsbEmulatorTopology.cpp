// The USB emulator's topology mirror: the bench's controllers, hubs and devices as emulated sysfs
// entries and device nodes, added and removed as the bench changes (hot-plug uevents).

#include "UsbEmulatorImpl.h"

#include <algorithm>
#include <initializer_list>
#include <cstdio>
#include <utility>

namespace bench {

namespace {

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

// Appends bytes one by one: GCC 12's overflow check misreads vector::insert of a short list in
// optimised builds.
void Append(std::vector<std::uint8_t>& v, std::initializer_list<std::uint8_t> bytes)
{
    for (std::uint8_t b : bytes)
        v.push_back(b);
}

// Device descriptor, then one configuration: a cable side's vendor interface with its two bulk
// endpoints, a hub's interface with its status endpoint, or an ordinary device's interface.
std::vector<std::uint8_t> Descriptors(const DeviceIdentity& id)
{
    std::vector<std::uint8_t> d{18, 1};
    d.reserve(18 + 9 + 9 + 7 * 2);
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
    Append(c, {1, 1, 0, 0x80, 50});
    const std::uint8_t cls = id.hubPorts ? 9 : id.cableSide ? 0xFF : 3;
    Append(c, {9, 4, 0, 0, std::uint8_t(endpoints), cls, 0, 0, 0});
    if (id.cableSide) {
        Append(c, {7, 5, kInEndpoint, 2, 0x00, 0x02, 0});
        Append(c, {7, 5, kOutEndpoint, 2, 0x00, 0x02, 0});
    } else {
        Append(c, {7, 5, 0x81, 3, 0x08, 0x00, 12});
    }
    for (std::uint8_t b : c)
        d.push_back(b);
    return d;
}

} // namespace

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
        if (previous)
            ReleaseUrbs(*previous);
    }
    umockdev_testbed_attach_ioctl(testbed, devnode, handler, nullptr);
    const std::string text = NodeText(*node);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, text.c_str(), &error)) {
        std::fprintf(stderr, "usbemu: cannot add %s: %s\n", node->syspath.c_str(), error ? error->message : "?");
        g_clear_error(&error);
    }
}

void UsbEmulator::Impl::ReleaseUrbs(Node& node)
{
    for (auto& urb : node.flying)
        if (urb->data)
            g_object_unref(std::exchange(urb->data, nullptr));
    for (auto& urb : node.done)
        if (urb->data)
            g_object_unref(std::exchange(urb->data, nullptr));
}

// The device's entry in umockdev's text form: its sysfs attributes, uevent properties and descriptors.
std::string UsbEmulator::Impl::NodeText(const Node& node) const
{
    const DeviceIdentity* identity = &node.identity;
    const int bus = node.bus, address = node.address;
    std::string text = "P: " + node.syspath.substr(4) + "\n"; // without the leading /sys
    text += "N: " + node.devnode.substr(5) + "\n";
    text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    text += "E: DEVNAME=" + node.devnode + "\n";
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
    text += "H: descriptors=" + Hex(node.descriptors) + "\n";
    return text;
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

struct UsbEmulator::Impl::Wanted {
    DeviceId id;
    std::string parent, name;
    int bus;
};

// What the bench holds now: bench device -> (parent syspath, kernel name, bus), parents first.
std::vector<UsbEmulator::Impl::Wanted> UsbEmulator::Impl::WantedDevices()
{
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
    return wanted;
}

void UsbEmulator::Impl::Sync()
{
    std::lock_guard lock(syncMutex);
    const std::vector<Wanted> wanted = WantedDevices();
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

} // namespace bench
