// The USB backend's topology mirror: libusb's devices as the PC model's controllers, hubs and
// plugged devices, brought into step at every device change.

#include "UsbHostImpl.h"

#include "SysfsText.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <utility>

namespace platform {


namespace {


std::string ReadSysfs(const std::string& device, const char* attribute)
{
    std::ifstream in("/sys/bus/usb/devices/" + device + "/" + attribute);
    return sysfs::FirstLine(in);
}

// The kernel's name of a device: "usbB" for a root hub, "B-p1.p2..." below it.
std::string SysfsName(libusb_device* dev)
{
    std::uint8_t ports[8];
    const int depth = libusb_get_port_numbers(dev, ports, sizeof ports);
    const int bus = libusb_get_bus_number(dev);
    // Appended piece by piece: GCC 12 at -O3 mistakes `"literal" + std::string&&` for an
    // overlapping copy (-Wrestrict).
    std::string name;
    if (depth <= 0) {
        name.append("usb").append(std::to_string(bus));
        return name;
    }
    name.append(std::to_string(bus)).append("-").append(std::to_string(ports[0]));
    for (int i = 1; i < depth; ++i)
        name.append(".").append(std::to_string(ports[i]));
    return name;
}

} // namespace

struct UsbHost::Impl::Live {
    libusb_device* dev;
    std::string name;
    int depth;
};

void UsbHost::Impl::Sync()
{
    std::lock_guard lock(syncMutex);
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0)
        return;
    const std::vector<Live> live = LiveDevices(list, count);
    std::map<std::string, const Live*> byName;
    for (const Live& l : live)
        byName[l.name] = &l;
    DropStale(byName);
    for (const Live& l : live)
        MirrorNew(l);
    libusb_free_device_list(list, 1);
}

// libusb's devices with their kernel names, parents before what hangs below them.
std::vector<UsbHost::Impl::Live> UsbHost::Impl::LiveDevices(libusb_device** list, ssize_t count) const
{
    std::vector<Live> live;
    for (ssize_t i = 0; i < count; ++i) {
        std::uint8_t ports[8];
        const int depth = libusb_get_port_numbers(list[i], ports, sizeof ports);
        live.push_back({list[i], SysfsName(list[i]), std::max(depth, 0)});
    }
    std::sort(live.begin(), live.end(), [](const Live& a, const Live& b) {
        return a.depth != b.depth ? a.depth < b.depth : a.name < b.name;
    });
    return live;
}

// Gone, or a different device on the same port: out of the mirror (with what hangs below it).
void UsbHost::Impl::DropStale(const std::map<std::string, const Live*>& byName)
{
    for (auto it = mirrored.begin(); it != mirrored.end();) {
        auto found = byName.find(it->first);
        bool same = found != byName.end() && libusb_get_bus_number(found->second->dev) == it->second.bus &&
                    libusb_get_device_address(found->second->dev) == it->second.address;
        // A hub whose port count reads otherwise now (it read 0 while the hub was still starting) is
        // mirrored again with it, so a device on a port beyond the first count is found.
        if (same && it->second.hubPorts >= 0) {
            const int ports = sysfs::PortCount(ReadSysfs(it->first, "maxchild"));
            same = ports == 0 || ports == it->second.hubPorts;
        }
        if (same) {
            ++it;
            continue;
        }
        try {
            if (face->PortCount(it->second.parentHub) >= it->second.port &&
                face->Port({it->second.parentHub, it->second.port}).device == it->second.id)
                face->Unplug({it->second.parentHub, it->second.port});
        } catch (const std::exception&) {
            // its hub went first
        }
        {
            char node[64];
            std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", it->second.bus, it->second.address);
            std::lock_guard report(reportMutex);
            refusedNodes.erase(node);
        }
        it = mirrored.erase(it);
    }
    // Whatever a removed hub took with it is gone too.
    for (auto it = mirrored.begin(); it != mirrored.end();)
        it = face->Identity(it->second.id) ? std::next(it) : mirrored.erase(it);
}

// A live device the mirror does not hold yet: a root hub's controller, a hub, or a plugged device.
void UsbHost::Impl::MirrorNew(const Live& l)
{
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(l.dev, &desc) != 0)
        return;
    const int bus = libusb_get_bus_number(l.dev);
    const int hubPorts = sysfs::PortCount(ReadSysfs(l.name, "maxchild"));
    if (l.depth == 0) {
        if (!rootHubs.count(bus))
            rootHubs[bus] = face->AddController(hubPorts > 0 ? hubPorts : 4);
        return;
    }
    if (mirrored.count(l.name))
        return;
    int port = 0;
    const pcmodel::DeviceId parent = ParentOf(l, bus, port);
    if (!parent || port < 1 || port > face->PortCount(parent))
        return;
    const std::optional<std::string> product = sysfs::ProductText(ReadSysfs(l.name, "product"));
    try {
        pcmodel::DeviceId id;
        if (desc.bDeviceClass == LIBUSB_CLASS_HUB) {
            pcmodel::HubSpec hub;
            hub.ports = hubPorts > 0 ? hubPorts : 4;
            hub.vid = desc.idVendor, hub.pid = desc.idProduct;
            hub.description = product.value_or("Generic USB Hub");
            id = face->AttachHub({parent, port}, hub);
        } else {
            pcmodel::PluggedSpec spec;
            spec.vid = desc.idVendor, spec.pid = desc.idProduct, spec.revision = desc.bcdDevice;
            spec.iSerial = desc.iSerialNumber;
            spec.description = product;
            auto side = MakeUsbSide(
                l.dev, [this](const std::string& node, bool refused) { ReportAccess(node, refused); },
                [this](const std::string& key, const std::string& text) { SayOnce(key, text); },
                [this](libusb_device_handle* h) { CloseLater(h); });
            id = face->Attach({parent, port}, spec, std::move(side));
        }
        mirrored[l.name] = Mirrored{id, parent, port, bus, libusb_get_device_address(l.dev),
                                    desc.bDeviceClass == LIBUSB_CLASS_HUB ? hubPorts : -1};
    } catch (const std::exception&) {
        // beyond what the PC face presents (hubs nested too deep): left out
    }
}

// The mirrored hub a live device hangs on (0: none yet), and its port there.
pcmodel::DeviceId UsbHost::Impl::ParentOf(const Live& l, int bus, int& port) const
{
    const auto cut = l.name.find_last_of(".-");
    const std::string parentName = l.depth == 1 ? "usb" + std::to_string(bus) : l.name.substr(0, cut);
    port = std::atoi(l.name.c_str() + cut + 1);
    if (l.depth == 1) {
        auto root = rootHubs.find(bus);
        return root == rootHubs.end() ? 0 : root->second;
    }
    if (auto p = mirrored.find(parentName); p != mirrored.end())
        return p->second.id;
    return 0;
}

} // namespace platform
