#include "UsbHost.h"

#include "DataDirectory.h"
#include "PcModel.h"
#include "SimHost.h"
#include "SysfsText.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

namespace platform {

namespace {

// The chip's bulk endpoints on interface 0: what the kit writes goes out on 0x02, what arrives from
// the other side comes in on 0x83.
constexpr unsigned char kWriteEndpoint = 0x02;
constexpr unsigned char kReadEndpoint = 0x83;
constexpr int kInterface = 0;
constexpr unsigned kControlTimeoutMs = 1000;
// How long libusb may take to deliver a cancellation before the caller is told the transfer ended
// anyway (a host controller gives a cancelled transfer back within milliseconds; a lost one must not
// hold the caller, nor Tamber's verdict after the data test's 2000 ms, for ever).
constexpr auto kCancelDeliveryLimit = std::chrono::milliseconds(1000);

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

// ---------------------------------------------------------------------------------------------
// One live device: its requests and transfers, and the claim of interface 0 while the kit uses it.

class UsbSide final : public pcmodel::PluggedDevice {
public:
    // `closeLater` closes a handle on a thread of the host's: libusb's own event thread must not
    // (libusb_close there waits for another thread's close).
    // `sayOnce(key, text)` says a text on stderr once per key.
    using SayOnce = std::function<void(const std::string& key, const std::string& text)>;
    // `reportAccess(node, refused)` after every open of the device node: refused for lack of permission.
    UsbSide(libusb_device* dev, std::function<void(const std::string&, bool)> reportAccess, SayOnce sayOnce,
            std::function<void(libusb_device_handle*)> closeLater)
        : m_dev(libusb_ref_device(dev)), m_reportAccess(std::move(reportAccess)), m_sayOnce(std::move(sayOnce)),
          m_io(std::make_shared<SideIo>())
    {
        m_io->closeLater = std::move(closeLater);
    }
    ~UsbSide() override
    {
        CancelAll();
        CloseOrLinger();
        libusb_unref_device(m_dev);
    }

    bool Acquire() override
    {
        std::lock_guard lock(m_openMutex);
        if (m_opens > 0) {
            ++m_opens;
            return true;
        }
        {
            // A handle kept open for a transfer libusb has not given back yet is taken up again (a
            // second handle could not claim the interface it still holds).
            std::lock_guard io(m_io->mutex);
            if (m_io->handle && m_io->lingering) {
                m_io->lingering = false;
                m_opens = 1;
                return true;
            }
        }
        libusb_device_handle* h = nullptr;
        const int r = libusb_open(m_dev, &h);
        if (r != 0) {
            if (r == LIBUSB_ERROR_ACCESS)
                m_reportAccess(Node(), true);
            return false;
        }
        // The kernel's own host-to-host network driver may hold the side: it gives way while the
        // kit uses the side and gets it back at the release.
        libusb_set_auto_detach_kernel_driver(h, 1);
        if (libusb_claim_interface(h, kInterface) != 0) {
            libusb_close(h);
            return false;
        }
        {
            std::lock_guard io(m_io->mutex);
            m_io->handle = h;
        }
        m_opens = 1;
        m_reportAccess(Node(), false);
        return true;
    }

    void Release() override
    {
        std::lock_guard lock(m_openMutex);
        if (m_opens == 0 || --m_opens > 0)
            return;
        CancelAll();
        CloseOrLinger();
    }

    bool ControlTransfer(std::uint8_t* buffer, std::uint32_t size, std::uint32_t* answered) override
    {
        if (answered)
            *answered = 0;
        if (!buffer || size < 8)
            return false;
        const std::uint16_t value = std::uint16_t(buffer[2] | buffer[3] << 8);
        const std::uint16_t index = std::uint16_t(buffer[4] | buffer[5] << 8);
        const std::uint16_t length = std::uint16_t(buffer[6] | buffer[7] << 8);
        if (8u + length > size)
            return false;
        std::lock_guard lock(m_openMutex); // keeps the handle open for the request
        libusb_device_handle* h;
        {
            std::lock_guard io(m_io->mutex);
            h = m_opens > 0 ? m_io->handle : nullptr;
        }
        if (!h)
            return false;
        const int r = libusb_control_transfer(h, buffer[0], buffer[1], value, index, buffer + 8, length,
                                              kControlTimeoutMs);
        if (r < 0)
            return false;
        if (answered)
            *answered = std::uint32_t(r);
        if ((buffer[0] & LIBUSB_ENDPOINT_IN) && std::uint32_t(r) < length) {
            // A short answer to a request that needs more fails: nothing of an earlier answer may
            // pass for the missing bytes.
            std::fill(buffer + 8 + r, buffer + 8 + length, std::uint8_t(0));
            char text[160];
            std::snprintf(text, sizeof text,
                          "qt7730: %s answered %d of the %u bytes of vendor request 0x%02X; the request failed\n",
                          Node().c_str(), r, unsigned(length), unsigned(buffer[1]));
            m_sayOnce(Node() + "/" + std::to_string(buffer[1]), text);
            return false;
        }
        return true;
    }

    bool StartTransfer(std::uint64_t tag, bool read, std::uint32_t size, std::vector<std::uint8_t> data,
                       Completion done) override
    {
        if (size > std::uint32_t(INT32_MAX))
            return false;
        auto x = std::make_unique<Transfer>();
        x->io = m_io;
        x->tag = tag;
        x->read = read;
        x->size = size;
        x->buffer = read ? std::vector<std::uint8_t>(size) : std::move(data);
        x->done = std::move(done);
        if (size == 0) {
            x->done(true, {}, 0);
            return true;
        }
        std::lock_guard lock(m_io->mutex);
        if (!m_io->handle || m_io->lingering)
            return false;
        x->transfer = libusb_alloc_transfer(0);
        if (!x->transfer)
            return false;
        Transfer* raw = x.get();
        libusb_fill_bulk_transfer(raw->transfer, m_io->handle, read ? kReadEndpoint : kWriteEndpoint,
                                  raw->buffer.data(), int(size), &UsbSide::Completed, raw, 0);
        if (libusb_submit_transfer(raw->transfer) != 0) {
            libusb_free_transfer(raw->transfer);
            return false;
        }
        m_io->transfers.push_back(std::move(x));
        return true;
    }

    // Bounded whatever libusb or the device do: a cancellation not delivered within the limit is
    // told to the caller here (cancelled, nothing arrived), and the transfer's own buffer waits for
    // libusb alone; what it brings later reaches no caller.
    void CancelTransfers(std::uint64_t tag) override
    {
        std::unique_lock lock(m_io->mutex);
        for (auto& x : m_io->transfers)
            if (x->tag == tag && !x->told && !x->cancelling) {
                x->cancelling = true;
                // NOT_FOUND: it is completing already, and its completion is on its way.
                libusb_cancel_transfer(x->transfer);
            }
        auto pending = [&] {
            return std::any_of(m_io->transfers.begin(), m_io->transfers.end(),
                               [&](const auto& x) { return x->tag == tag && !x->told; });
        };
        if (m_io->finished.wait_for(lock, kCancelDeliveryLimit, [&] { return !pending(); }))
            return;
        static const std::vector<std::uint8_t> kNothing;
        for (auto& x : m_io->transfers)
            if (x->tag == tag && !x->told) {
                x->told = true;
                x->done(false, kNothing, 0);
            }
    }

private:
    struct Transfer;
    // What a side's transfers share with it; a transfer libusb still holds keeps it alive past the
    // side itself.
    struct SideIo {
        std::mutex mutex;
        libusb_device_handle* handle = nullptr;
        // Closed and kept for a transfer libusb has not given back: the last one closes it.
        bool lingering = false;
        std::function<void(libusb_device_handle*)> closeLater;
        std::vector<std::unique_ptr<Transfer>> transfers;
        std::condition_variable finished;
    };
    struct Transfer {
        std::shared_ptr<SideIo> io;
        std::uint64_t tag = 0;
        bool read = false;
        std::uint32_t size = 0;
        std::vector<std::uint8_t> buffer; // libusb's to write into, never the caller's
        Completion done;
        libusb_transfer* transfer = nullptr;
        bool cancelling = false;
        bool told = false; // `done` has run: nothing more reaches the caller
    };

    std::string Node() const
    {
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", libusb_get_bus_number(m_dev),
                      libusb_get_device_address(m_dev));
        return node;
    }

    void CancelAll()
    {
        std::set<std::uint64_t> tags;
        {
            std::lock_guard lock(m_io->mutex);
            for (auto& x : m_io->transfers)
                if (!x->told)
                    tags.insert(x->tag);
        }
        for (std::uint64_t tag : tags)
            CancelTransfers(tag);
    }

    // Every transfer has been told; the handle is closed now, or by the last transfer libusb gives back.
    void CloseOrLinger()
    {
        libusb_device_handle* h;
        {
            std::lock_guard io(m_io->mutex);
            if (!m_io->handle)
                return;
            if (!m_io->transfers.empty()) {
                m_io->lingering = true;
                return;
            }
            h = std::exchange(m_io->handle, nullptr);
        }
        libusb_release_interface(h, kInterface);
        libusb_close(h);
    }

    // On libusb's event thread. A read completes at a short packet, with the bytes received, as the
    // driver's pipes do: it is never submitted again, so a cancel always finds it or its completion.
    static void LIBUSB_CALL Completed(libusb_transfer* transfer)
    {
        auto* x = static_cast<Transfer*>(transfer->user_data);
        const std::shared_ptr<SideIo> io = x->io;
        std::unique_lock lock(io->mutex);
        const bool ok = transfer->status == LIBUSB_TRANSFER_COMPLETED;
        const std::uint32_t count = std::uint32_t(std::clamp(transfer->actual_length, 0, int(x->size)));
        auto it = std::find_if(io->transfers.begin(), io->transfers.end(), [&](const auto& t) { return t.get() == x; });
        std::unique_ptr<Transfer> owned = std::move(*it);
        io->transfers.erase(it);
        libusb_free_transfer(transfer);
        if (!owned->told) {
            owned->told = true;
            // A cancelled read hands over what had arrived before the cancel.
            if (owned->read)
                owned->buffer.resize(count);
            static const std::vector<std::uint8_t> kNothing;
            owned->done(ok, owned->read ? owned->buffer : kNothing, count);
        }
        if (io->lingering && io->transfers.empty()) {
            io->lingering = false;
            io->closeLater(std::exchange(io->handle, nullptr));
        }
        io->finished.notify_all();
    }

    libusb_device* m_dev;
    std::function<void(const std::string&, bool)> m_reportAccess;
    SayOnce m_sayOnce;
    std::mutex m_openMutex; // opens, closes and control requests
    int m_opens = 0;
    std::shared_ptr<SideIo> m_io;
};

// ---------------------------------------------------------------------------------------------

struct UsbHost::Impl {
    libusb_context* ctx = nullptr;
    std::unique_ptr<pcmodel::PcModel> face;
    std::unique_ptr<SimHost> host;

    // The mirror: the kernel's name of each device -> the PC model's device standing for it, and which
    // live device (bus and address) it was.
    struct Mirrored {
        pcmodel::DeviceId id = 0;
        pcmodel::DeviceId parentHub = 0;
        int port = 0;
        int bus = 0, address = 0;
        int hubPorts = -1; // a hub: the port count its sysfs entry gave (0: none, 4 taken); -1: not a hub
    };
    std::mutex syncMutex;
    std::map<std::string, Mirrored> mirrored;
    std::map<int, pcmodel::DeviceId> rootHubs; // bus -> root hub

    std::mutex reportMutex;
    std::set<std::string> reportedNodes;

    // Handles a side kept open for a transfer libusb gave back late: the watcher closes them.
    std::vector<libusb_device_handle*> toClose; // guarded by watchMutex
    void CloseLater(libusb_device_handle* h)
    {
        {
            std::lock_guard lock(watchMutex);
            toClose.push_back(h);
        }
        watchWake.notify_all();
    }
    void CloseHandles()
    {
        std::vector<libusb_device_handle*> handles;
        {
            std::lock_guard lock(watchMutex);
            handles.swap(toClose);
        }
        for (libusb_device_handle* h : handles) {
            libusb_release_interface(h, kInterface);
            libusb_close(h);
        }
    }

    std::atomic<bool> stopping{false};
    std::thread events;
    std::thread watcher;
    std::mutex watchMutex;
    std::condition_variable watchWake;
    bool dirty = false;
    libusb_hotplug_callback_handle hotplug = 0;
    bool hotplugRegistered = false;

    void SayOnce(const std::string& key, const std::string& text)
    {
        std::lock_guard lock(reportMutex);
        if (reportedNodes.insert(key).second)
            std::fputs(text.c_str(), stderr);
    }

    std::set<std::string> refusedNodes; // device nodes whose last open was refused for lack of permission

    void ReportAccess(const std::string& node, bool refused)
    {
        std::lock_guard lock(reportMutex);
        if (!refused) {
            refusedNodes.erase(node);
            return;
        }
        refusedNodes.insert(node);
        if (!reportedNodes.insert(node).second)
            return;
        std::fprintf(stderr,
                     "qt7730: no permission to open %s; add the operator to the group of the kit's udev rules "
                     "(%s), or add a rule for this device's vendor/product ID, then plug it in again\n",
                     node.c_str(), "/lib/udev/rules.d/70-qt7730-mfg-kit.rules");
    }

    static int LIBUSB_CALL HotplugEvent(libusb_context*, libusb_device*, libusb_hotplug_event, void* user)
    {
        auto* self = static_cast<Impl*>(user);
        {
            std::lock_guard lock(self->watchMutex);
            self->dirty = true;
        }
        self->watchWake.notify_all();
        return 0;
    }

    void Sync();
};

void UsbHost::Impl::Sync()
{
    std::lock_guard lock(syncMutex);
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0)
        return;
    struct Live {
        libusb_device* dev;
        std::string name;
        int depth;
    };
    std::vector<Live> live;
    for (ssize_t i = 0; i < count; ++i) {
        std::uint8_t ports[8];
        const int depth = libusb_get_port_numbers(list[i], ports, sizeof ports);
        live.push_back({list[i], SysfsName(list[i]), std::max(depth, 0)});
    }
    std::sort(live.begin(), live.end(), [](const Live& a, const Live& b) {
        return a.depth != b.depth ? a.depth < b.depth : a.name < b.name;
    });
    std::map<std::string, const Live*> byName;
    for (const Live& l : live)
        byName[l.name] = &l;

    // Gone, or a different device on the same port: out of the mirror (with what hangs below it).
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

    for (const Live& l : live) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(l.dev, &desc) != 0)
            continue;
        const int bus = libusb_get_bus_number(l.dev);
        const int hubPorts = sysfs::PortCount(ReadSysfs(l.name, "maxchild"));
        if (l.depth == 0) {
            if (!rootHubs.count(bus))
                rootHubs[bus] = face->AddController(hubPorts > 0 ? hubPorts : 4);
            continue;
        }
        if (mirrored.count(l.name))
            continue;
        const auto cut = l.name.find_last_of(".-");
        const std::string parentName = l.depth == 1 ? "usb" + std::to_string(bus) : l.name.substr(0, cut);
        const int port = std::atoi(l.name.c_str() + cut + 1);
        pcmodel::DeviceId parent = 0;
        if (l.depth == 1) {
            auto root = rootHubs.find(bus);
            parent = root == rootHubs.end() ? 0 : root->second;
        } else if (auto p = mirrored.find(parentName); p != mirrored.end()) {
            parent = p->second.id;
        }
        if (!parent || port < 1 || port > face->PortCount(parent))
            continue;
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
                auto side = std::make_shared<UsbSide>(
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
    libusb_free_device_list(list, 1);
}

// ---------------------------------------------------------------------------------------------

UsbHost::UsbHost() : m(std::make_unique<Impl>())
{
    pcmodel::PcOptions options;
    options.systemDirectory = StationDataDirectory(); // where Quillon may add IDs to the INF
    const char* infName = std::getenv("QT7730_INF_NAME");
    options.driverInfName = infName && *infName ? infName : "qt7730.inf";
    m->face = std::make_unique<pcmodel::PcModel>(options);
    m->host = std::make_unique<SimHost>(*m->face);
    if (libusb_init(&m->ctx) != 0) {
        m->ctx = nullptr;
        std::fprintf(stderr, "qt7730: libusb could not start; no USB devices are shown\n");
        return;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) &&
        libusb_hotplug_register_callback(m->ctx,
                                         LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                                         LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                         LIBUSB_HOTPLUG_MATCH_ANY, &Impl::HotplugEvent, m.get(),
                                         &m->hotplug) == LIBUSB_SUCCESS)
        m->hotplugRegistered = true;
    m->Sync();
    m->events = std::thread([impl = m.get()] {
        timeval tick{0, 200000};
        while (!impl->stopping.load())
            libusb_handle_events_timeout_completed(impl->ctx, &tick, nullptr);
    });
    m->watcher = std::thread([impl = m.get()] {
        std::unique_lock lock(impl->watchMutex);
        while (!impl->stopping.load()) {
            // Without hot-plug events the topology is looked at once a second.
            impl->watchWake.wait_for(lock, std::chrono::seconds(1), [&] {
                return impl->dirty || impl->stopping.load() || !impl->toClose.empty();
            });
            if (impl->stopping.load())
                break;
            if (!impl->toClose.empty()) {
                lock.unlock();
                impl->CloseHandles();
                lock.lock();
            }
            const bool look = impl->dirty || !impl->hotplugRegistered;
            impl->dirty = false;
            if (!look)
                continue;
            lock.unlock();
            impl->Sync();
            lock.lock();
        }
    });
}

UsbHost::~UsbHost()
{
    {
        std::lock_guard lock(m->watchMutex);
        m->stopping = true;
    }
    m->watchWake.notify_all();
    if (m->watcher.joinable())
        m->watcher.join();
    // Handles the callers left open are closed (their transfers cancelled) while events still flow.
    m->host.reset();
    m->face.reset();
    m->CloseHandles();
    if (m->ctx) {
        if (m->hotplugRegistered)
            libusb_hotplug_deregister_callback(m->ctx, m->hotplug); // wakes the event thread
        if (m->events.joinable())
            m->events.join();
        m->CloseHandles(); // given back while the event thread ended
        libusb_exit(m->ctx);
    }
}

bool UsbHost::Started() const { return m->ctx != nullptr; }

void UsbHost::Rescan()
{
    if (m->ctx)
        m->Sync();
}

Host& UsbHost::Face() { return *m->host; }

Handle UsbHost::OpenFile(std::string_view name, std::uint32_t access, std::uint32_t share, bool overlapped)
{
    return Face().OpenFile(name, access, share, overlapped);
}
bool UsbHost::CloseHandle(Handle handle) { return Face().CloseHandle(handle); }
bool UsbHost::DeviceIoControl(Handle handle, std::uint32_t code, void* buffer, std::uint32_t size,
                              std::uint32_t* bytesReturned)
{
    return Face().DeviceIoControl(handle, code, buffer, size, bytesReturned);
}
IoStart UsbHost::ReadFile(Handle handle, void* buffer, std::uint32_t size, Overlapped& ov)
{
    return Face().ReadFile(handle, buffer, size, ov);
}
IoStart UsbHost::WriteFile(Handle handle, const void* buffer, std::uint32_t size, Overlapped& ov)
{
    return Face().WriteFile(handle, buffer, size, ov);
}
bool UsbHost::GetOverlappedResult(Handle handle, Overlapped& ov, std::uint32_t* bytesTransferred, bool wait)
{
    return Face().GetOverlappedResult(handle, ov, bytesTransferred, wait);
}
bool UsbHost::CancelIo(Handle handle) { return Face().CancelIo(handle); }
Handle UsbHost::CreateEvent(bool signalled) { return Face().CreateEvent(signalled); }
bool UsbHost::SetEvent(Handle event) { return Face().SetEvent(event); }
bool UsbHost::ResetEvent(Handle event) { return Face().ResetEvent(event); }
int UsbHost::WaitForEvents(std::span<const Handle> events, bool waitAll, std::uint32_t timeoutMs)
{
    return Face().WaitForEvents(events, waitAll, timeoutMs);
}
bool UsbHost::ReadWholeFile(std::string_view path, std::string& bytes) { return Face().ReadWholeFile(path, bytes); }
bool UsbHost::ReplaceFileContents(std::string_view path, std::string_view bytes)
{
    return Face().ReplaceFileContents(path, bytes);
}
bool UsbHost::EnumeratePresentDevices(std::string_view enumerator, std::size_t idBufferBytes,
                                      std::vector<std::string>& instanceIds)
{
    return Face().EnumeratePresentDevices(enumerator, idBufferBytes, instanceIds);
}
DevNode UsbHost::GetRootNode() { return Face().GetRootNode(); }
DevNode UsbHost::GetChild(DevNode node) { return Face().GetChild(node); }
DevNode UsbHost::GetSibling(DevNode node) { return Face().GetSibling(node); }
DevNode UsbHost::GetParent(DevNode node) { return Face().GetParent(node); }
bool UsbHost::GetNodeProperty(DevNode node, std::uint32_t property, std::size_t bufferBytes, std::string& value)
{
    return Face().GetNodeProperty(node, property, bufferBytes, value);
}
bool UsbHost::GetNodeInstanceId(DevNode node, std::size_t bufferBytes, std::string& id)
{
    return Face().GetNodeInstanceId(node, bufferBytes, id);
}
bool UsbHost::IsDevicePresent(std::string_view instanceId) { return Face().IsDevicePresent(instanceId); }
InstallWait UsbHost::WaitNoPendingInstallEvents(std::uint32_t timeoutMs)
{
    return Face().WaitNoPendingInstallEvents(timeoutMs);
}
bool UsbHost::ReadMachineRegistryString(std::string_view subKey, std::string_view valueName, std::size_t bufferBytes,
                                        std::string& value)
{
    return Face().ReadMachineRegistryString(subKey, valueName, bufferBytes, value);
}
std::string UsbHost::GetWindowsDirectory() { return Face().GetWindowsDirectory(); }
std::uint32_t UsbHost::GetPlatformId() { return Face().GetPlatformId(); }
std::string UsbHost::GetPrivateProfileString(std::string_view section, std::string_view key,
                                             std::string_view defaultValue, std::size_t bufferBytes,
                                             std::string_view path)
{
    return Face().GetPrivateProfileString(section, key, defaultValue, bufferBytes, path);
}
std::uint64_t UsbHost::SubscribeDeviceChanges(DeviceChangeCallback callback)
{
    return Face().SubscribeDeviceChanges(std::move(callback));
}
void UsbHost::UnsubscribeDeviceChanges(std::uint64_t id) { Face().UnsubscribeDeviceChanges(id); }
namespace {

std::string RefusedAdvice(const std::set<std::string>& refused)
{
    std::string nodes;
    for (const std::string& node : refused)
        nodes += (nodes.empty() ? "" : ", ") + node;
    return "a cable side is plugged in but this user may not open it: " + nodes +
           "; add the user to the group plugdev (sudo adduser NAME plugdev, then log in again) and plug the cable "
           "in again";
}

} // namespace

std::string UsbHost::NoDeviceAdvice()
{
    std::set<std::string> refused;
    {
        std::lock_guard lock(m->reportMutex);
        refused = m->refusedNodes;
    }
    if (refused.empty())
        return "no cable side with an ID of the kit's INF " + m->face->DriverInfPath().string() +
               " is plugged into this PC: plug in a cable, or add its IDs to the INF with Quillon";
    return RefusedAdvice(refused);
}

std::string UsbHost::DeviceNotice()
{
    std::set<std::string> refused;
    {
        std::lock_guard lock(m->reportMutex);
        refused = m->refusedNodes;
    }
    const std::string full = m->face->DeviceObjectNotice();
    if (refused.empty())
        return full;
    return RefusedAdvice(refused) + (full.empty() ? "" : "\n" + full);
}

std::string UsbHost::GetModuleFileName() { return Face().GetModuleFileName(); }
std::optional<FileVersion> UsbHost::GetFileVersion(std::string_view path) { return Face().GetFileVersion(path); }

} // namespace platform
