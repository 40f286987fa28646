// Outside bytes on the USB path: what sysfs says of a device (an attribute's line, a hub's port count,
// the product text a device chose), and what a live device answers (vendor requests, short or failed,
// and pipe data) as the PC face and the kit's device layer take it: the chip scan and query, an EEPROM
// read, and the walk over hubs whose port count and texts came from sysfs.
//
// The first byte picks the path: even, sysfs texts; odd, a live device.

#include "PcModel.h"
#include "BridgeDevice.h"
#include "SimHost.h"
#include "SysfsText.h"
#include "UsbTreeWalker.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

// Hands out the fuzz input's bytes in order; zeros once it is used up.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    uint8_t Next() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::string_view Take(size_t n)
    {
        n = std::min(n, m_size - m_at);
        std::string_view out(reinterpret_cast<const char*>(m_data + m_at), n);
        m_at += n;
        return out;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

// A device that answers whatever the input says: success or failure, how many bytes, which bytes.
class FuzzDevice final : public pcmodel::PluggedDevice {
public:
    explicit FuzzDevice(Bytes& bytes) : m_bytes(bytes) {}
    bool ControlTransfer(uint8_t* buffer, uint32_t size, uint32_t* answered) override
    {
        std::lock_guard lock(m_mutex);
        *answered = 0;
        const uint8_t how = m_bytes.Next();
        if (how & 1)
            return false;
        const uint32_t room = size - 8;
        const uint32_t count = std::min<uint32_t>(room, m_bytes.Next());
        const std::string_view answer = m_bytes.Take(count);
        std::memcpy(buffer + 8, answer.data(), answer.size());
        *answered = uint32_t(answer.size());
        return true;
    }
    bool StartTransfer(uint64_t, bool read, uint32_t size, std::vector<uint8_t> data, Completion done) override
    {
        std::vector<uint8_t> answer;
        {
            std::lock_guard lock(m_mutex);
            if (m_bytes.Next() & 1)
                return false;
            if (read) {
                const std::string_view bytes = m_bytes.Take(std::min<uint32_t>(size, m_bytes.Next()));
                answer.assign(bytes.begin(), bytes.end());
            }
        }
        done(true, answer, read ? uint32_t(answer.size()) : uint32_t(data.size()));
        return true;
    }
    void CancelTransfers(uint64_t) override {}

private:
    std::mutex m_mutex;
    Bytes& m_bytes;
};

struct Setup {
    std::filesystem::path dir;
    std::unique_ptr<pcmodel::PcModel> face;
    std::unique_ptr<platform::SimHost> host;
    pcmodel::DeviceId root = 0;

    Setup()
    {
        char name[] = "/tmp/fuzz-usb-XXXXXX";
        dir = mkdtemp(name) ? name : "/tmp";
        pcmodel::PcOptions options;
        options.systemDirectory = dir;
        face = std::make_unique<pcmodel::PcModel>(options);
        face->WriteDriverInf({"USB\\VID_0C5E&PID_7730", "USB\\VID_0C5E&PID_7701"});
        host = std::make_unique<platform::SimHost>(*face);
        root = face->AddController(4);
    }
    ~Setup()
    {
        host.reset();
        face.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

// The PC face remembers every device it has seen (driver keys and registry values, as Windows does):
// a fresh one now and then keeps a long run's memory flat.
Setup& TheSetup()
{
    static std::unique_ptr<Setup> setup;
    static unsigned uses = 0;
    if (!setup || ++uses % 4096 == 0) {
        setup.reset();
        setup = std::make_unique<Setup>();
    }
    return *setup;
}

void SysfsTexts(std::string_view text)
{
    std::istringstream in{std::string(text)};
    const std::string line = platform::sysfs::FirstLine(in);
    if (line.size() > platform::sysfs::kAttributeLimit || line.find('\n') != std::string::npos)
        std::abort();
    const int ports = platform::sysfs::PortCount(line);
    if (ports < 0 || ports > 255)
        std::abort();
    if (const auto product = platform::sysfs::ProductText(text)) {
        // What it gives is already clean: a second pass changes nothing.
        if (platform::sysfs::ProductText(*product) != product)
            std::abort();
        for (unsigned char c : *product)
            if (c < 0x20 || c == 0x7F)
                std::abort();
    }
}

int AcceptAll(void*, UsbNodeInfo*) { return 1; }

void LiveDevice(Bytes& bytes)
{
    Setup& s = TheSetup();
    // A hub as sysfs described it, and the device on one of its ports (or beyond them).
    pcmodel::HubSpec hub;
    const int ports = platform::sysfs::PortCount(std::to_string(bytes.Next() % 12));
    hub.ports = ports > 0 ? ports : 4;
    hub.description = platform::sysfs::ProductText(bytes.Take(bytes.Next() % 64)).value_or("Generic USB Hub");
    const pcmodel::DeviceId hubId = s.face->AttachHub({s.root, 1}, hub);

    pcmodel::PluggedSpec spec;
    const uint8_t ids = bytes.Next();
    spec.vid = (ids & 1) ? 0x0C5E : uint16_t(bytes.Next() << 8 | bytes.Next());
    spec.pid = (ids & 2) ? ((ids & 4) ? 0x7730 : 0x7701) : uint16_t(bytes.Next() << 8 | bytes.Next());
    spec.revision = uint16_t(bytes.Next() << 8 | bytes.Next());
    spec.iSerial = bytes.Next();
    spec.description = platform::sysfs::ProductText(bytes.Take(bytes.Next() % 128));
    const int port = 1 + bytes.Next() % 8;
    if (port <= hub.ports) {
        try {
            s.face->Attach({hubId, port}, spec, std::make_shared<FuzzDevice>(bytes));
        } catch (const std::exception&) {
        }
    }

    (void)ScanBridgeDevices(0x7730, *s.host);
    {
        BridgeDevice device(*s.host);
        if (device.Open("\\\\.\\HOSTLNK-1")) {
            uint32_t model = 0, version = 0;
            (void)device.QueryChip(&model, &version);
            std::vector<uint8_t> eeprom(256);
            (void)device.ReadEeprom(eeprom.data(), 0, uint16_t(eeprom.size()));
            (void)device.SendPrepareRequest();
        }
    }
    UsbTreeWalker walker(*s.host);
    (void)walker.WalkAllControllers(&AcceptAll, nullptr);
    walker.ClearTree();
    s.face->Unplug({s.root, 1});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    Bytes bytes(data + 1, size - 1);
    if (data[0] % 2 == 0)
        SysfsTexts(bytes.Take(size - 1));
    else
        LiveDevice(bytes);
    return 0;
}
