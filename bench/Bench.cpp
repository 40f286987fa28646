#include "Bench.h"

#include "BenchParts.h"

#include "EepromImage.h"

#include <cstring>
#include <stdexcept>

namespace bench {

namespace {

// How a side enumerates: with the EEPROM's identity when it holds the signature, else the chip's
// default.
pcmodel::PluggedSpec SideIdentity(const EepromBytes& eeprom, const ChipSpec& chip)
{
    EepromImage image;
    std::memcpy(image.Bytes(), eeprom.data(), eeprom.size());
    const EepromRecord& rec = image.m_rec;
    pcmodel::PluggedSpec spec;
    spec.vid = 0x0C5E, spec.pid = chip.model, spec.revision = 0x0100;
    const int select = rec.bPidSelect;
    if (rec.wSignature.get() == EepromImage::kSignature && select >= 1 && select <= 3) {
        spec.vid = std::uint16_t(rec.wVendorId.get());
        spec.pid = std::uint16_t(select == 1 ? rec.wProductId1.get()
                                 : select == 2 ? rec.wProductId2.get()
                                               : rec.wProductId3.get());
        spec.revision = std::uint16_t(rec.wRevision.get());
        char text[256];
        if (image.GetString(2, text, sizeof text) && text[0])
            spec.description = text;
        if (rec.bSerialIndex == EepromImage::kSerialInUse && image.GetString(3, text, sizeof text))
            spec.iSerial = EepromImage::kSerialInUse;
    }
    return spec;
}

} // namespace

// ---------------------------------------------------------------------------------------------

// ---------------------------------------------------------------------------------------------
// Construction

Bench::Bench(BenchOptions options) : m_pc(options), m_timing(options.timing) {}

Bench::~Bench()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_schedulerWake.notify_all();
    if (m_scheduler.joinable())
        m_scheduler.join();
    // Whoever still has transfers in flight learns that they failed.
    std::lock_guard lock(m_mutex);
    for (auto& [due, t] : m_delayed)
        t->done(false, t->data, 0);
    m_delayed.clear();
    for (auto& [id, cable] : m_cables)
        for (auto& side : cable->sides) {
            for (auto& t : side.reads)
                t->done(false, t->data, 0);
            for (auto& t : side.writes)
                t->done(false, {}, 0);
            side.reads.clear();
            side.writes.clear();
        }
}

BenchOptions Bench::Options() const
{
    BenchOptions options;
    static_cast<pcmodel::PcOptions&>(options) = m_pc.Options();
    std::lock_guard lock(m_mutex);
    options.timing = m_timing;
    return options;
}

// ---------------------------------------------------------------------------------------------
// Cables

Bench::Cable& Bench::CableOf(CableId id) const
{
    auto found = m_cables.find(id);
    if (found == m_cables.end())
        throw std::invalid_argument("bench: no cable " + std::to_string(id));
    return *found->second;
}

std::optional<std::pair<CableId, Side>> Bench::SideOf(DeviceId device) const
{
    if (device == 0)
        return std::nullopt;
    for (const auto& [id, cable] : m_cables)
        for (int s = 0; s < 2; ++s)
            if (cable->sides[s].plugged == device)
                return std::make_pair(id, Side(s));
    return std::nullopt;
}

pcmodel::DeviceFaults Bench::DriverFaults(const SideFaults& faults)
{
    return {faults.driverKeyActualLength, faults.pipesMissing};
}

CableId Bench::AddCable(const CableSpec& spec)
{
    std::lock_guard lock(m_mutex);
    auto cable = std::make_unique<Cable>();
    cable->id = m_nextCable++;
    cable->chip = spec.chip;
    cable->eeprom = spec.eeprom;
    const CableId id = cable->id;
    m_cables.emplace(id, std::move(cable));
    return id;
}

DeviceId Bench::PlugSide(CableId cableId, Side side, PortRef at)
{
    std::lock_guard plugging(m_plugMutex);
    pcmodel::PluggedSpec spec;
    pcmodel::DeviceFaults faults;
    {
        std::lock_guard lock(m_mutex);
        Cable& cable = CableOf(cableId);
        const Cable::SideState& state = cable.sides[int(side)];
        if (state.plugged)
            throw std::invalid_argument("bench: that cable side is already plugged in");
        spec = SideIdentity(cable.eeprom, cable.chip);
        faults = DriverFaults(state.faults);
    }
    // The PC model checks the port; the side is ours before its arrival is announced.
    return m_pc.Attach(at, spec, NewSideDevice(cableId, side), faults, [&](DeviceId id) {
        std::lock_guard lock(m_mutex);
        Cable& cable = CableOf(cableId);
        cable.sides[int(side)].plugged = id;
        Pump(cable);
    });
}

void Bench::Unplug(PortRef at)
{
    std::lock_guard plugging(m_plugMutex);
    m_pc.Unplug(at);
}

void Bench::UnplugSide(CableId cable, Side side)
{
    std::lock_guard plugging(m_plugMutex);
    DeviceId device;
    {
        std::lock_guard lock(m_mutex);
        device = CableOf(cable).sides[int(side)].plugged;
    }
    if (device)
        m_pc.Remove(device);
}

PortState Bench::Port(PortRef at) const
{
    const pcmodel::PortContent content = m_pc.Port(at);
    PortState state;
    state.device = content.device;
    state.kind = content.kind == pcmodel::PortContent::Hub      ? PortState::Hub
                 : content.kind == pcmodel::PortContent::Device ? PortState::Device
                                                                : PortState::Empty;
    std::lock_guard lock(m_mutex);
    if (const auto cableSide = SideOf(content.device)) {
        state.kind = PortState::CableSide;
        state.cable = cableSide->first;
        state.side = cableSide->second;
    }
    return state;
}

std::optional<PortRef> Bench::WhereIs(CableId cable, Side side) const
{
    DeviceId device;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_cables.find(cable);
        if (it == m_cables.end())
            return std::nullopt;
        device = it->second->sides[int(side)].plugged;
    }
    return device ? m_pc.WhereIs(device) : std::nullopt;
}

std::vector<CableId> Bench::Cables() const
{
    std::lock_guard lock(m_mutex);
    std::vector<CableId> ids;
    for (const auto& [id, cable] : m_cables)
        ids.push_back(id);
    return ids;
}

EepromBytes Bench::Eeprom(CableId id) const
{
    std::lock_guard lock(m_mutex);
    return CableOf(id).eeprom;
}

void Bench::SetEeprom(CableId id, const EepromBytes& bytes)
{
    std::lock_guard lock(m_mutex);
    CableOf(id).eeprom = bytes;
}

ChipSpec Bench::Chip(CableId id) const
{
    std::lock_guard lock(m_mutex);
    return CableOf(id).chip;
}

void Bench::SetChip(CableId id, const ChipSpec& chip)
{
    std::lock_guard lock(m_mutex);
    CableOf(id).chip = chip;
}

void Bench::SetSideFaults(CableId id, Side side, const SideFaults& faults)
{
    std::lock_guard plugging(m_plugMutex);
    DeviceId device;
    {
        std::lock_guard lock(m_mutex);
        Cable& cable = CableOf(id);
        cable.sides[int(side)].faults = faults;
        device = cable.sides[int(side)].plugged;
        Pump(cable); // a fault that was holding data back may be gone
    }
    if (device)
        m_pc.SetDeviceFaults(device, DriverFaults(faults));
}

bool Bench::ChipSilent(DeviceId device) const
{
    std::lock_guard lock(m_mutex);
    const auto cableSide = SideOf(device);
    return cableSide && m_cables.at(cableSide->first)->sides[int(cableSide->second)].faults.chipSilent;
}

void Bench::SetCableFaults(CableId id, const CableFaults& faults)
{
    std::lock_guard lock(m_mutex);
    CableOf(id).faults = faults;
}

void Bench::SetDriverKeyFault(DeviceId device, int actualLength)
{
    std::lock_guard plugging(m_plugMutex);
    pcmodel::DeviceFaults faults;
    {
        std::lock_guard lock(m_mutex);
        if (const auto cableSide = SideOf(device))
            faults = DriverFaults(m_cables.at(cableSide->first)->sides[int(cableSide->second)].faults);
    }
    faults.driverKeyActualLength = actualLength;
    if (!m_pc.SetDeviceFaults(device, faults))
        throw std::invalid_argument("bench: no device with id " + std::to_string(device));
}

void Bench::SetTiming(const BenchTiming& timing)
{
    std::lock_guard lock(m_mutex);
    m_timing = timing;
}

std::optional<DeviceIdentity> Bench::Identity(DeviceId device) const
{
    const std::optional<pcmodel::DeviceIdentity> seen = m_pc.Identity(device);
    if (!seen)
        return std::nullopt;
    DeviceIdentity identity;
    static_cast<pcmodel::DeviceIdentity&>(identity) = *seen;
    std::lock_guard lock(m_mutex);
    identity.cableSide = SideOf(device).has_value();
    return identity;
}

ObjectHandle Bench::OpenSide(DeviceId device, SideChannel channel)
{
    {
        std::lock_guard lock(m_mutex);
        if (!SideOf(device))
            return 0;
    }
    return m_pc.OpenWire(device, channel);
}

int Bench::DeviceObjectNumber(CableId id, Side side) const
{
    DeviceId device;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_cables.find(id);
        if (it == m_cables.end())
            return 0;
        device = it->second->sides[int(side)].plugged;
    }
    return device ? m_pc.DeviceObjectNumber(device) : 0;
}

} // namespace bench
