// The USB backend's live device: opens (the claim of interface 0 while the kit uses the device),
// control transfers, and bulk transfers with their bounded cancellation.

#include "UsbSide.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace platform {

namespace {

// The chip's bulk endpoints on interface 0: what the kit writes goes out on 0x02, what arrives from
// the other side comes in on 0x83.
constexpr unsigned char kWriteEndpoint = 0x02;
constexpr unsigned char kReadEndpoint = 0x83;
constexpr unsigned kControlTimeoutMs = 1000;
// How long libusb may take to deliver a cancellation before the caller is told the transfer ended
// anyway (a host controller gives a cancelled transfer back within milliseconds; a lost one must not
// hold the caller, nor Tamber's verdict after the data test's 2000 ms, for ever).
constexpr auto kCancelDeliveryLimit = std::chrono::milliseconds(1000);

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
        if (libusb_claim_interface(h, kUsbInterface) != 0) {
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
        libusb_release_interface(h, kUsbInterface);
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

} // namespace

std::shared_ptr<pcmodel::PluggedDevice> MakeUsbSide(
    libusb_device* dev, std::function<void(const std::string& node, bool refused)> reportAccess,
    std::function<void(const std::string& key, const std::string& text)> sayOnce,
    std::function<void(libusb_device_handle*)> closeLater)
{
    return std::make_shared<UsbSide>(dev, std::move(reportAccess), std::move(sayOnce), std::move(closeLater));
}

} // namespace platform
