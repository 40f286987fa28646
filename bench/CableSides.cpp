// A cable side as the PC model sees it: the chip's answers to vendor requests (EEPROM, version,
// status) and the two pipes that carry what one side writes to the other side's reads, with the
// side's faults and the wire's timing.

#include "BenchParts.h"

#include <cstring>

namespace bench {

namespace {

// The modelled time of one request, kept to within microseconds: a plain sleep oversleeps by a
// scheduler tick or so, which over the 65 requests of a configuration adds up to several percent.
void WaitWireTime(std::chrono::microseconds delay)
{
    const auto deadline = std::chrono::steady_clock::now() + delay;
    constexpr auto kSpin = std::chrono::microseconds(300);
    if (delay > kSpin)
        std::this_thread::sleep_until(deadline - kSpin);
    while (std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
}

void PutLe16(std::uint8_t* p, std::uint32_t v) { p[0] = std::uint8_t(v), p[1] = std::uint8_t(v >> 8); }

} // namespace

// One plugged-in cable side as the PC model sees it: the chip answers vendor requests, the pipes
// carry data to the other side. It outlives its plug-in (the PC model keeps it while handles are
// open); after Detached it refuses everything.
class Bench::SideDevice final : public pcmodel::PluggedDevice {
public:
    SideDevice(Bench& bench, CableId cable, Side side) : m_bench(bench), m_cable(cable), m_side(side) {}

    bool ControlTransfer(std::uint8_t* buffer, std::uint32_t size, std::uint32_t* answered) override
    {
        std::chrono::microseconds delay{0};
        bool silent = false;
        {
            std::lock_guard lock(m_bench.m_mutex);
            if (m_gone)
                return false;
            silent = m_bench.CableOf(m_cable).sides[int(m_side)].faults.chipSilent;
            delay = m_bench.m_timing.controlLatency;
            if (size >= 2 && buffer[1] == 0xFF)
                delay += m_bench.m_timing.eepromWriteCycle;
        }
        // Both waits without holding up the rest of the bench.
        if (silent) {
            std::this_thread::sleep_for(kSilentChipWait); // until the driver gives up on the request
            return false;
        }
        if (delay.count() > 0)
            WaitWireTime(delay);
        std::lock_guard lock(m_bench.m_mutex);
        return !m_gone && m_bench.VendorRequest(m_bench.CableOf(m_cable), m_side, buffer, size, answered);
    }

    bool StartTransfer(std::uint64_t tag, bool read, std::uint32_t size, std::vector<std::uint8_t> data,
                       Completion done) override
    {
        std::lock_guard lock(m_bench.m_mutex);
        return !m_gone && m_bench.StartTransfer(m_cable, m_side, tag, read, size, std::move(data), std::move(done));
    }

    void CancelTransfers(std::uint64_t tag) override
    {
        std::lock_guard lock(m_bench.m_mutex);
        m_bench.FailTransfersOf(tag);
    }

    void Detached() override
    {
        std::lock_guard lock(m_bench.m_mutex);
        m_gone = true;
        m_bench.SideDetached(m_cable, m_side);
    }

private:
    Bench& m_bench;
    const CableId m_cable;
    const Side m_side;
    bool m_gone = false; // guarded by the bench's lock
};

std::shared_ptr<pcmodel::PluggedDevice> Bench::NewSideDevice(CableId cable, Side side)
{
    return std::make_shared<SideDevice>(*this, cable, side);
}

bool Bench::VendorRequest(Cable& cable, Side side, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* answered)
{
    if (size < 8)
        return false;
    const SideFaults& faults = cable.sides[int(side)].faults;
    const std::uint8_t type = buffer[0], request = buffer[1];
    const std::uint32_t index = buffer[4] | buffer[5] << 8, length = buffer[6] | buffer[7] << 8;
    if (8 + length > size)
        return false;
    if (faults.allRequestsFail || faults.failRequest == request)
        return false;
    std::uint8_t* data = buffer + 8;
    const bool in = type == 0xC0;
    if (type != 0xC0 && type != 0x40)
        return false;
    switch (request) {
    case 0xF7: // version query
        if (!in || length < 2 || cable.chip.statusOnly)
            return false;
        PutLe16(data, cable.chip.version);
        break;
    case 0xFB: // status query
        if (!in || length < 2)
            return false;
        data[0] = cable.chip.status[0], data[1] = cable.chip.status[1];
        break;
    case 0xFD: // prepare: accepted, nothing to answer
        if (in)
            return false;
        break;
    case 0xFE:
    case 0xFF: {
        if (in != (request == 0xFE) || length == 0 || index + length > cable.eeprom.size())
            return false;
        if (faults.failEepromBlock >= 0 && index / 8 <= std::uint32_t(faults.failEepromBlock) &&
            std::uint32_t(faults.failEepromBlock) <= (index + length - 1) / 8)
            return false;
        if (!in) {
            std::memcpy(cable.eeprom.data() + index, data, length);
            break;
        }
        std::memcpy(data, cable.eeprom.data() + index, length);
        const int bit = cable.faults.flippedEepromBit;
        if (bit >= 0 && std::uint32_t(bit / 8) >= index && std::uint32_t(bit / 8) < index + length)
            data[bit / 8 - index] ^= std::uint8_t(1u << (bit % 8));
        break;
    }
    default:
        return false; // the chip stalls requests it does not know
    }
    if (answered)
        *answered = length;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Pipes

bool Bench::StartTransfer(CableId cableId, Side side, ObjectHandle handle, bool read, std::uint32_t size,
                          std::vector<std::uint8_t> data, Completion done)
{
    Cable& cable = CableOf(cableId);
    Cable::SideState& state = cable.sides[int(side)];
    if (state.faults.transfersRefused)
        return false;
    auto t = std::make_unique<Transfer>();
    t->handle = handle;
    t->isRead = read;
    t->done = std::move(done);
    if (read) {
        t->capacity = size;
    } else {
        t->requested = size;
        const ByteFault& fault = state.faults.sendFault;
        if (fault.kind != ByteFault::None && fault.offset < data.size()) {
            auto at = data.begin() + fault.offset;
            if (fault.kind == ByteFault::Drop)
                data.erase(at);
            else if (fault.kind == ByteFault::Repeat)
                data.insert(at, *at);
            else
                *at = std::uint8_t(~*at);
        }
        t->data = std::move(data);
    }
    if (size == 0) {
        Finish(std::move(t), true);
        return true;
    }
    (read ? state.reads : state.writes).push_back(std::move(t));
    Pump(cable);
    return true;
}

// The side left the PC: what was pending on its pipes fails.
void Bench::SideDetached(CableId cableId, Side side)
{
    Cable::SideState& state = CableOf(cableId).sides[int(side)];
    state.plugged = 0;
    for (auto* queue : {&state.reads, &state.writes})
        while (!queue->empty()) {
            auto t = std::move(queue->front());
            queue->pop_front();
            Finish(std::move(t), false);
        }
}

// Moves data from each side's pending writes into the other side's pending reads, in order. A read
// completes when it is full or when the write feeding it has ended; a write when all of it is read.
void Bench::Pump(Cable& cable)
{
    for (int from = 0; from < 2; ++from) {
        Cable::SideState& sender = cable.sides[from];
        Cable::SideState& receiver = cable.sides[1 - from];
        if (sender.faults.writeStalls)
            continue;
        if (sender.faults.sendDead) {
            while (!sender.writes.empty()) {
                auto w = std::move(sender.writes.front());
                sender.writes.pop_front();
                Finish(std::move(w), true);
            }
            continue;
        }
        if (!sender.plugged || !receiver.plugged || receiver.faults.readStalls)
            continue;
        while (!sender.writes.empty() && !receiver.reads.empty()) {
            Transfer& w = *sender.writes.front();
            Transfer& r = *receiver.reads.front();
            const std::size_t n = std::min<std::size_t>(r.capacity - r.data.size(), w.data.size() - w.pos);
            r.data.insert(r.data.end(), w.data.begin() + std::ptrdiff_t(w.pos), w.data.begin() + std::ptrdiff_t(w.pos + n));
            w.pos += n;
            const bool writeEnded = w.pos == w.data.size();
            if (writeEnded || r.data.size() == r.capacity) {
                auto done = std::move(receiver.reads.front());
                receiver.reads.pop_front();
                Finish(std::move(done), true);
            }
            if (writeEnded) {
                auto done = std::move(sender.writes.front());
                sender.writes.pop_front();
                Finish(std::move(done), true);
            }
        }
    }
}

void Bench::Finish(std::unique_ptr<Transfer> t, bool ok)
{
    t->count = !ok ? 0 : t->isRead ? std::uint32_t(t->data.size()) : t->requested;
    const std::uint64_t rate = m_timing.bulkBytesPerSecond;
    if (ok && rate > 0 && t->count > 0 && !m_stopping) {
        const auto delay = std::chrono::microseconds(t->count * 1000000ull / rate);
        m_delayed.emplace(std::chrono::steady_clock::now() + delay, std::move(t));
        if (!m_scheduler.joinable())
            m_scheduler = std::thread(&Bench::SchedulerLoop, this);
        m_schedulerWake.notify_all();
        return;
    }
    if (!ok)
        t->data.clear();
    t->done(ok, t->data, t->count);
}

void Bench::SchedulerLoop()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (m_delayed.empty()) {
            m_schedulerWake.wait(lock);
            continue;
        }
        const auto due = m_delayed.begin()->first;
        if (std::chrono::steady_clock::now() < due) {
            m_schedulerWake.wait_until(lock, due);
            continue;
        }
        auto t = std::move(m_delayed.begin()->second);
        m_delayed.erase(m_delayed.begin());
        t->done(true, t->data, t->count);
    }
}

void Bench::FailTransfersOf(ObjectHandle handle)
{
    for (auto& [id, cable] : m_cables)
        for (auto& side : cable->sides)
            for (auto* queue : {&side.reads, &side.writes})
                for (auto it = queue->begin(); it != queue->end();) {
                    if ((*it)->handle != handle) {
                        ++it;
                        continue;
                    }
                    auto t = std::move(*it);
                    it = queue->erase(it);
                    Finish(std::move(t), false);
                }
    for (auto it = m_delayed.begin(); it != m_delayed.end();) {
        if (it->second->handle != handle) {
            ++it;
            continue;
        }
        auto t = std::move(it->second);
        it = m_delayed.erase(it);
        Finish(std::move(t), false);
    }
}

} // namespace bench
