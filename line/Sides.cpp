#include "Sides.h"

#include "UsbTreeWalker.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <system_error>
#include <thread>

namespace line {

using platform::Handle;
using platform::INVALID_HANDLE;

std::string ChipName(uint32_t model)
{
    if (model == CHIP_MODEL_QT7730)
        return "QT7730";
    if (model == CHIP_MODEL_QT7701)
        return "QT7701";
    char text[16];
    std::snprintf(text, sizeof text, "%04X", model);
    return text;
}

std::vector<BridgeSide> FindBridgeSides(platform::Host &host, bool readEeprom)
{
    // All 32 objects are asked at once: with a chip that takes a millisecond per request, asking one
    // after the other would cost a full line of cables 32 ms (a second with their EEPROMs).
    std::array<std::optional<BridgeSide>, kMaxDeviceObjects> found;
    auto probe = [&host, readEeprom, &found](int n) {
        BridgeSide side;
        side.number = n;
        side.name = "\\\\.\\HOSTLNK-" + std::to_string(n);
        BridgeDevice device(host);
        if (!device.Open(side.name))
            return;
        side.chipAnswered = device.QueryChip(&side.chipModel, &side.chipVersion);
        if (readEeprom) {
            std::array<uint8_t, EepromImage::kEepromSize> bytes{};
            if (device.ReadEeprom(bytes.data(), 0, EepromImage::kEepromSize))
                side.eeprom = bytes;
        }
        found[std::size_t(n - 1)] = std::move(side);
    };
    std::vector<std::thread> threads;
    for (int n = 1; n <= kMaxDeviceObjects; ++n) {
        try {
            threads.emplace_back(probe, n);
        } catch (const std::system_error &) {
            probe(n); // no thread to be had: ask it here
        }
    }
    for (std::thread &t : threads)
        t.join();
    std::vector<BridgeSide> sides;
    for (auto &side : found)
        if (side)
            sides.push_back(std::move(*side));
    return sides;
}

namespace {

constexpr std::size_t kTokenSize = 40; // tag, 16 hex digits, index, padding
constexpr std::size_t kReadSize = 64;
constexpr const char *kTokenTag = "<QT7730-PAIR ";

// One side's pipes during the pairing, with what its read has found so far. Not movable: the
// backend holds the address of its Overlapped and buffer while a transfer is in flight.
struct Probe {
    platform::Host &host;
    Handle readPipe = INVALID_HANDLE, writePipe = INVALID_HANDLE;
    platform::Overlapped readOv, writeOv;
    bool reading = false, writing = false;
    std::array<uint8_t, kReadSize> readBuffer{};
    std::string token;  // what this side writes
    std::string found;  // the unread tail of what arrived
    int heardFrom = -1; // the index of the side whose token arrived here

    explicit Probe(platform::Host &h) : host(h) {}
    Probe(const Probe &) = delete;
    Probe &operator=(const Probe &) = delete;
    ~Probe()
    {
        Stop();
        for (Handle h : {readOv.event, writeOv.event, readPipe, writePipe})
            if (h != INVALID_HANDLE)
                host.CloseHandle(h);
    }
    // Opens the read pipe, the write pipe or both of the device `name`; true when all of them opened.
    bool Open(const std::string &name, bool read, bool write)
    {
        bool ok = true;
        if (read) {
            readPipe = host.OpenFile(name + "\\3", platform::ACCESS_READ, platform::SHARE_READ, true);
            readOv.event = host.CreateEvent(false);
            ok = readPipe != INVALID_HANDLE && readOv.event != INVALID_HANDLE;
        }
        if (write) {
            writePipe = host.OpenFile(name + "\\2", platform::ACCESS_WRITE, platform::SHARE_WRITE, true);
            writeOv.event = host.CreateEvent(false);
            ok = ok && writePipe != INVALID_HANDLE && writeOv.event != INVALID_HANDLE;
        }
        return ok;
    }
    bool StartRead()
    {
        host.ResetEvent(readOv.event);
        reading = host.ReadFile(readPipe, readBuffer.data(), uint32_t(readBuffer.size()), readOv) !=
                  platform::IoStart::Failed;
        return reading;
    }
    void StartWrite()
    {
        host.ResetEvent(writeOv.event);
        writing = host.WriteFile(writePipe, token.data(), uint32_t(token.size()), writeOv) != platform::IoStart::Failed;
    }
    // Collects a finished read; false when it failed.
    bool CollectRead()
    {
        uint32_t got = 0;
        reading = false;
        if (!host.GetOverlappedResult(readPipe, readOv, &got, true))
            return false;
        found.append(reinterpret_cast<const char *>(readBuffer.data()), std::min<std::size_t>(got, kReadSize));
        return true;
    }
    // Cancels and collects whatever is still in flight; afterwards nothing refers to this probe.
    void Stop()
    {
        if (reading) {
            host.CancelIo(readPipe);
            host.GetOverlappedResult(readPipe, readOv, nullptr, true);
            reading = false;
        }
        if (writing) {
            host.CancelIo(writePipe);
            host.GetOverlappedResult(writePipe, writeOv, nullptr, true);
            writing = false;
        }
    }
};

std::string MakeToken(const std::string &nonce, std::size_t index)
{
    char text[kTokenSize + 1];
    static_assert(13 + 16 + 4 <= kTokenSize);
    std::snprintf(text, sizeof text, "%s%s %02zu>", kTokenTag, nonce.c_str(), index);
    std::string token(text);
    token.resize(kTokenSize, '.');
    return token;
}

// The index carried by a token of this run found in `data`, or -1; consumed bytes are dropped and a
// possible token start is kept for the next read.
int TakeToken(std::string &data, const std::string &prefix, std::size_t count)
{
    for (;;) {
        const std::size_t at = data.find(prefix);
        if (at == std::string::npos) {
            // Keep only what could still be the start of a token.
            if (data.size() > prefix.size())
                data.erase(0, data.size() - prefix.size());
            return -1;
        }
        if (data.size() < at + prefix.size() + 3) {
            data.erase(0, at);
            return -1;
        }
        const char *digits = data.c_str() + at + prefix.size();
        if (std::isdigit(static_cast<unsigned char>(digits[0])) && std::isdigit(static_cast<unsigned char>(digits[1])) &&
            digits[2] == '>') {
            const std::size_t index = std::size_t((digits[0] - '0') * 10 + (digits[1] - '0'));
            data.erase(0, at + prefix.size() + 3);
            if (index < count)
                return int(index);
            continue;
        }
        data.erase(0, at + 1);
    }
}

// Every reader has a read in flight before the first token leaves; then each writer writes a token
// naming it. For each reader: the index of the writer whose token arrived there, -1 when none did.
// Without `writers`, the readers write too (each its own token, which does not count where it arrives).
std::vector<int> ExchangeTokens(platform::Host &host, const std::vector<std::string> &readers,
                                const std::vector<std::string> *writers, std::chrono::milliseconds wait)
{
    std::random_device random;
    char nonce[20];
    std::snprintf(nonce, sizeof nonce, "%08X%08X", unsigned(random()), unsigned(random()));
    const std::string prefix = std::string(kTokenTag) + nonce + " ";

    std::vector<std::unique_ptr<Probe>> probes, senders;
    for (std::size_t i = 0; i < readers.size(); ++i) {
        probes.push_back(std::make_unique<Probe>(host));
        probes.back()->token = MakeToken(nonce, i);
        if (probes.back()->Open(readers[i], true, !writers))
            probes.back()->StartRead();
    }
    if (writers) {
        for (std::size_t i = 0; i < writers->size(); ++i) {
            senders.push_back(std::make_unique<Probe>(host));
            senders.back()->token = MakeToken(nonce, i);
            if (senders.back()->Open((*writers)[i], false, true))
                senders.back()->StartWrite();
        }
    } else {
        // Every read is in flight before the first token leaves.
        for (auto &p : probes)
            if (p->reading)
                p->StartWrite();
    }
    const std::size_t count = writers ? writers->size() : readers.size();

    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        std::vector<Handle> events;
        std::vector<std::size_t> owners;
        for (std::size_t i = 0; i < probes.size(); ++i)
            if (probes[i]->reading && probes[i]->heardFrom < 0) {
                events.push_back(probes[i]->readOv.event);
                owners.push_back(i);
            }
        const auto now = std::chrono::steady_clock::now();
        if (events.empty() || now >= deadline)
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        const int signalled = host.WaitForEvents(events, false, uint32_t(left));
        if (signalled < 0 || std::size_t(signalled) >= owners.size())
            break; // timed out (or the wait failed): the rest stay unheard
        Probe &p = *probes[owners[std::size_t(signalled)]];
        if (!p.CollectRead())
            continue; // the read failed: this side hears nothing more
        const int from = TakeToken(p.found, prefix, count);
        if (from >= 0 && (writers || std::size_t(from) != owners[std::size_t(signalled)]))
            p.heardFrom = from;
        else
            p.StartRead(); // not a token yet: read on
    }
    std::vector<int> heard;
    for (auto &p : probes) {
        p->Stop();
        heard.push_back(p->heardFrom);
    }
    for (auto &p : senders)
        p->Stop();
    return heard;
}

} // namespace

Pairing PairByData(platform::Host &host, const std::vector<BridgeSide> &sides, std::chrono::milliseconds wait)
{
    Pairing result;
    std::vector<std::string> names;
    for (const BridgeSide &side : sides)
        names.push_back(side.name);
    const std::vector<int> heardFrom = ExchangeTokens(host, names, nullptr, wait);

    // Both directions agreeing pair first; then a side heard one way only, when its partner is free.
    std::vector<int> partner(sides.size(), -1);
    for (std::size_t i = 0; i < sides.size(); ++i) {
        const int j = heardFrom[i];
        if (j >= 0 && heardFrom[std::size_t(j)] == int(i))
            partner[i] = j;
    }
    for (std::size_t i = 0; i < sides.size(); ++i) {
        const int j = heardFrom[i];
        if (j >= 0 && partner[i] < 0 && partner[std::size_t(j)] < 0 && heardFrom[std::size_t(j)] < 0) {
            partner[i] = j;
            partner[std::size_t(j)] = int(i);
        }
    }
    for (std::size_t i = 0; i < sides.size(); ++i) {
        if (partner[i] < 0)
            result.unpaired.push_back(sides[i]);
        else if (std::size_t(partner[i]) > i)
            result.cables.push_back({sides[i], sides[std::size_t(partner[i])]});
    }
    std::sort(result.cables.begin(), result.cables.end(),
              [](const CablePair &x, const CablePair &y) { return x.a.number < y.a.number; });
    return result;
}

void LocateSides(platform::Host &host, Pairing &pairing, std::chrono::milliseconds wait)
{
    if (pairing.cables.empty())
        return;
    // The walk's ports with a driver and a device path that answer as a bridge chip.
    struct Port {
        std::string path, location;
    };
    std::vector<Port> ports;
    {
        UsbTreeWalker walker(host);
        walker.WalkAllControllers(
            [](void *context, UsbNodeInfo *record) {
                if (record->pszDriverKey && record->pszDevicePath)
                    static_cast<std::vector<Port> *>(context)->push_back({*record->pszDevicePath, record->location});
                return 1;
            },
            &ports);
    }
    std::vector<std::string> writers;
    std::vector<std::string> where;
    for (const Port &port : ports) {
        BridgeDevice device(host);
        uint32_t model = 0, version = 0;
        // A token names its writer with two digits.
        if (writers.size() < 100 && device.Open(port.path) && device.QueryChip(&model, &version)) {
            writers.push_back(port.path);
            where.push_back(port.location);
        }
    }
    if (writers.empty())
        return;
    std::vector<std::string> readers;
    for (const CablePair &cable : pairing.cables) {
        readers.push_back(cable.a.name);
        readers.push_back(cable.b.name);
    }
    // A token from a port arriving on one side of a cable says where the other side is plugged.
    const std::vector<int> heard = ExchangeTokens(host, readers, &writers, wait);
    for (std::size_t i = 0; i < pairing.cables.size(); ++i) {
        CablePair &cable = pairing.cables[i];
        if (heard[2 * i] >= 0)
            cable.b.location = where[std::size_t(heard[2 * i])];
        if (heard[2 * i + 1] >= 0)
            cable.a.location = where[std::size_t(heard[2 * i + 1])];
    }
}

} // namespace line
