// The USB emulator's usbfs requests, answered on umockdev's worker thread: control transfers (a
// cable side's vendor requests on the node's own lane), bulk transfers through the side's pipes,
// reaping and discarding.

#include "UsbEmulatorImpl.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace bench {

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
    const std::shared_ptr<Urb> urb = ResolveUrb(client);
    if (!urb)
        return;
    const auto* u = reinterpret_cast<const usbdevfs_urb*>(urb->data->data);
    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        SubmitControl(client, keep, urb);
        return;
    }
    if (u->type != USBDEVFS_URB_TYPE_BULK || !keep->identity.cableSide ||
        (urb->endpoint != kOutEndpoint && urb->endpoint != kInEndpoint)) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        g_object_unref(urb->data);
        return;
    }
    SubmitBulk(client, keep, urb);
}

// The client's URB with its buffer resolved, or null when the request was refused (and answered).
std::shared_ptr<UsbEmulator::Impl::Urb> UsbEmulator::Impl::ResolveUrb(UMockdevIoctlClient* client)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!urbData) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return nullptr;
    }
    auto* u = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    if (u->buffer_length < 0 || u->buffer_length > (1 << 24)) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return nullptr;
    }
    UMockdevIoctlData* bufferData = umockdev_ioctl_data_resolve(urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                                                gsize(u->buffer_length), nullptr);
    if (!bufferData) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return nullptr;
    }
    auto urb = std::make_shared<Urb>();
    urb->data = urbData; // keeps its buffer resolved
    urb->buffer = bufferData->data;
    urb->length = u->buffer_length;
    urb->endpoint = u->endpoint;
    g_object_unref(bufferData);
    return urb;
}

void UsbEmulator::Impl::SubmitControl(UMockdevIoctlClient* client, const std::shared_ptr<Node>& keep,
                                      const std::shared_ptr<Urb>& urb)
{
    Node& node = *keep;
    if (urb->length < 8 || 8 + (urb->buffer[6] | urb->buffer[7] << 8) > urb->length) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        g_object_unref(urb->data);
        return;
    }
    const std::uint8_t type = urb->buffer[0];
    const bool vendor = (type & 0x60) == 0x40 && node.identity.cableSide;
    if (vendor && world.ChipSilent(node.device)) {
        // Never answered: the URB waits for the host to give up on it (a discard).
        std::lock_guard lock(mutex);
        node.flying.push_back(urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    if (vendor) {
        if (!QueueVendorRequest(keep, urb))
            Finish(keep, urb, false, {}, 0);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    bool ok = false;
    int actual = 0;
    if ((type & 0x60) == 0)
        ok = StandardRequest(node, urb->buffer, urb->buffer + 8, actual);
    Finish(keep, urb, ok, {}, std::uint32_t(actual));
    umockdev_ioctl_client_complete(client, 0, 0);
}

// Hands a vendor request to the node's lane (started at its first one); false when the device is
// leaving and its lane takes no more.
bool UsbEmulator::Impl::QueueVendorRequest(const std::shared_ptr<Node>& keep, const std::shared_ptr<Urb>& urb)
{
    Node& node = *keep;
    std::lock_guard lock(mutex);
    if (!node.present || (node.lane && node.lane->stop))
        return false;
    if (!node.lane) {
        node.lane = std::make_unique<ControlLane>();
        node.lane->thread = std::thread([this, n = &node] { RunLane(*n); });
    }
    node.lane->jobs.push_back([this, keep, urb] { AnswerVendorRequest(keep, urb); });
    node.lane->wake.notify_all();
    return true;
}

void UsbEmulator::Impl::SubmitBulk(UMockdevIoctlClient* client, const std::shared_ptr<Node>& keep,
                                   const std::shared_ptr<Urb>& urb)
{
    Node& node = *keep;
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
        g_object_unref(urb->data);
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

} // namespace bench
