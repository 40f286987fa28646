// The state file: everything the world built, saved as JSON so that a restarted daemon gets the same
// bench back, and loaded entry by entry (a damaged entry is skipped with what hangs on it, and said).
#include "BenchWorld.h"

#include "BenchWorldArguments.h"

#include <QJsonArray>
#include <QJsonValue>

#include <cmath>
#include <stdexcept>

using benchworld::EepromFromHex;
using bench::Side;

namespace {

QJsonObject LocationJson(const std::string &hub, int port)
{
    return QJsonObject{{"hub", QString::fromStdString(hub)}, {"port", port}};
}

QJsonObject SideFaultsJson(const bench::SideFaults &f)
{
    return {{"allRequestsFail", f.allRequestsFail},
            {"failRequest", f.failRequest},
            {"failEepromBlock", f.failEepromBlock},
            {"sendDead", f.sendDead},
            {"sendFaultKind", static_cast<int>(f.sendFault.kind)},
            {"sendFaultOffset", static_cast<double>(f.sendFault.offset)},
            {"readStalls", f.readStalls},
            {"writeStalls", f.writeStalls},
            {"driverKeyActualLength", f.driverKeyActualLength},
            {"pipesMissing", f.pipesMissing},
            {"transfersRefused", f.transfersRefused},
            {"chipSilent", f.chipSilent}};
}

QString HexString(const uint8_t *data, std::size_t size)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).toHex());
}

} // namespace

QJsonObject BenchWorld::Save() const
{
    std::lock_guard lock(m_mutex);
    QJsonArray hubs, devices, cables;
    for (const auto &h : m_hubs) {
        QJsonObject o{{"name", QString::fromStdString(h.name)},
                      {"ports", h.ports},
                      {"openFails", h.faults.openFails},
                      {"nodeInfoFails", h.faults.nodeInfoFails},
                      {"connectionInfoFailsPort", h.faults.connectionInfoFailsPort},
                      {"connectionNameFailsPort", h.faults.connectionNameFailsPort}};
        if (h.at)
            o["at"] = LocationJson(h.at->hub, h.at->port);
        hubs.append(o);
    }
    for (const auto &d : m_devices) {
        QJsonObject o{{"name", QString::fromStdString(d.name)},
                      {"at", LocationJson(d.at.hub, d.at.port)},
                      {"vid", d.spec.vid},
                      {"pid", d.spec.pid},
                      {"hasDriver", d.spec.hasDriver},
                      {"driverKeyLength", d.driverKeyLength}};
        if (d.spec.description)
            o["description"] = QString::fromStdString(*d.spec.description);
        devices.append(o);
    }
    for (const auto &c : m_cables) {
        const bench::ChipSpec chip = m_bench.Chip(c.id);
        const auto eeprom = m_bench.Eeprom(c.id);
        QJsonObject o{{"name", QString::fromStdString(c.name)},
                      {"model", chip.model},
                      {"version", chip.version},
                      {"statusOnly", chip.statusOnly},
                      {"status0", chip.status[0]},
                      {"status1", chip.status[1]},
                      {"eeprom", HexString(eeprom.data(), eeprom.size())},
                      {"flippedEepromBit", c.cableFaults.flippedEepromBit},
                      {"chipBeforeFault", c.chipBeforeFault ? QJsonValue(QJsonObject{{"version", c.chipBeforeFault->version},
                                                                           {"statusOnly", c.chipBeforeFault->statusOnly},
                                                                           {"status0", c.chipBeforeFault->status[0]},
                                                                           {"status1", c.chipBeforeFault->status[1]}})
                                                            : QJsonValue()},
                      {"faultsA", SideFaultsJson(c.sideFaults[0])},
                      {"faultsB", SideFaultsJson(c.sideFaults[1])}};
        for (int side = 0; side < 2; ++side)
            if (c.plugged[side])
                o[side ? "pluggedB" : "pluggedA"] = LocationJson(c.plugged[side]->hub, c.plugged[side]->port);
        cables.append(o);
    }
    const bench::BenchTiming timing = m_bench.Options().timing;
    return {{"version", 1},
            {"hubs", hubs},
            {"devices", devices},
            {"cables", cables},
            {"timing",
             QJsonObject{{"controlLatencyUs", static_cast<double>(timing.controlLatency.count())},
                         {"eepromWriteCycleUs", static_cast<double>(timing.eepromWriteCycle.count())},
                         {"bulkBytesPerSecond", static_cast<double>(timing.bulkBytesPerSecond)}}}};
}

namespace {

// A whole number from the state, within what the commands accept; a missing one is `fallback`.
long long Whole(const QJsonObject &o, const char *key, long long fallback, long long min, long long max)
{
    const QJsonValue v = o[key];
    if (v.isUndefined() || v.isNull())
        return fallback;
    const double d = v.toDouble(std::nan(""));
    if (!v.isDouble() || !std::isfinite(d) || d != std::floor(d) || d < double(min) || d > double(max))
        throw std::runtime_error(std::string(key) + " is not a whole number from " + std::to_string(min) + " to " +
                                 std::to_string(max));
    return static_cast<long long>(d);
}

bench::SideFaults SideFaultsFrom(const QJsonObject &o)
{
    bench::SideFaults f;
    f.allRequestsFail = o["allRequestsFail"].toBool();
    f.failRequest = static_cast<int>(Whole(o, "failRequest", -1, -1, 255));
    f.failEepromBlock = static_cast<int>(Whole(o, "failEepromBlock", -1, -1, 31));
    f.sendDead = o["sendDead"].toBool();
    f.sendFault.kind = static_cast<bench::ByteFault::Kind>(Whole(o, "sendFaultKind", 0, 0, bench::ByteFault::Change));
    f.sendFault.offset = static_cast<uint32_t>(Whole(o, "sendFaultOffset", 0, 0, 0xFFFFFFFFll));
    f.readStalls = o["readStalls"].toBool();
    f.writeStalls = o["writeStalls"].toBool();
    f.driverKeyActualLength = static_cast<int>(Whole(o, "driverKeyActualLength", -1, -1, 0xFFFF));
    f.pipesMissing = o["pipesMissing"].toBool();
    f.transfersRefused = o["transfersRefused"].toBool();
    f.chipSilent = o["chipSilent"].toBool();
    return f;
}

} // namespace

bool BenchWorld::Load(const QJsonObject &state, std::string &error, std::vector<std::string> *skipped)
{
    std::lock_guard lock(m_mutex);
    if (state["version"].toInt() != 1) {
        error = "unknown state version";
        return false;
    }
    // Each entry is checked whole before the model is touched; the model refuses (throws) without
    // changing anything.
    std::vector<std::string> notes;
    LoadHubs(state["hubs"].toArray(), notes);
    LoadDevices(state["devices"].toArray(), notes);
    LoadCables(state["cables"].toArray(), notes);
    LoadTiming(state["timing"].toObject(), notes);
    if (skipped)
        *skipped = std::move(notes);
    return true;
}

std::string BenchWorld::StateName(const QJsonObject &o) const
{
    const QJsonValue v = o["name"];
    if (!v.isString())
        throw std::runtime_error("it has no name");
    const std::string text = v.toString().toStdString();
    if (const std::string problem = NameProblem(text); !problem.empty())
        throw std::runtime_error("'" + text + "': " + problem);
    return text;
}

BenchWorld::Location BenchWorld::StateLocation(const QJsonValue &v) const
{
    const QJsonObject o = v.toObject();
    const Location at{o["hub"].toString().toStdString(), static_cast<int>(Whole(o, "port", 0, 1, 255))};
    const HubEntry *hub = FindHub(at.hub);
    if (!hub)
        throw std::runtime_error("there is no hub '" + at.hub + "'");
    if (at.port > hub->ports)
        throw std::runtime_error(at.hub + " has ports 1 to " + std::to_string(hub->ports));
    return at;
}

void BenchWorld::LoadHubs(const QJsonArray &hubs, std::vector<std::string> &notes)
{
    for (qsizetype i = 0; i < hubs.size(); ++i) {
        const QJsonObject o = hubs[i].toObject();
        try {
            HubEntry hub;
            hub.name = StateName(o);
            hub.ports = static_cast<int>(Whole(o, "ports", 4, 1, 255));
            hub.faults.openFails = o["openFails"].toBool();
            hub.faults.nodeInfoFails = o["nodeInfoFails"].toBool();
            hub.faults.connectionInfoFailsPort = static_cast<int>(Whole(o, "connectionInfoFailsPort", 0, -1, 255));
            hub.faults.connectionNameFailsPort = static_cast<int>(Whole(o, "connectionNameFailsPort", 0, -1, 255));
            if (o.contains("at")) {
                hub.at = StateLocation(o["at"]);
                hub.id = m_bench.AttachHub(Resolve(*hub.at), bench::HubSpec{hub.ports});
            } else {
                hub.id = m_bench.AddController(hub.ports);
            }
            m_bench.SetHubFaults(hub.id, hub.faults);
            m_hubs.push_back(hub);
        } catch (const std::exception &e) {
            notes.push_back("hub " + std::to_string(i + 1) + " skipped: " + e.what());
        }
    }
}

void BenchWorld::LoadDevices(const QJsonArray &devices, std::vector<std::string> &notes)
{
    for (qsizetype i = 0; i < devices.size(); ++i) {
        const QJsonObject o = devices[i].toObject();
        try {
            DeviceEntry device;
            device.name = StateName(o);
            device.spec.vid = static_cast<uint16_t>(Whole(o, "vid", device.spec.vid, 0, 0xFFFF));
            device.spec.pid = static_cast<uint16_t>(Whole(o, "pid", device.spec.pid, 0, 0xFFFF));
            device.spec.hasDriver = o["hasDriver"].toBool(true);
            if (o.contains("description"))
                device.spec.description = o["description"].toString().toStdString();
            else
                device.spec.description.reset();
            device.driverKeyLength = static_cast<int>(Whole(o, "driverKeyLength", -1, -1, 0xFFFF));
            device.at = StateLocation(o["at"]);
            device.id = m_bench.AttachDevice(Resolve(device.at), device.spec);
            if (device.driverKeyLength >= 0)
                m_bench.SetDriverKeyFault(device.id, device.driverKeyLength);
            m_devices.push_back(device);
        } catch (const std::exception &e) {
            notes.push_back("device " + std::to_string(i + 1) + " skipped: " + e.what());
        }
    }
}

// A cable's chip, EEPROM and faults from its entry; throws when one of them is damaged.
void BenchWorld::ReadCableState(const QJsonObject &o, CableEntry &cable, bench::CableSpec &spec) const
{
    cable.name = StateName(o);
    spec.chip.model = static_cast<uint16_t>(Whole(o, "model", 0x7730, 0, 0xFFFF));
    if (spec.chip.model != 0x7730 && spec.chip.model != 0x7701)
        throw std::runtime_error("model is 0x7730 or 0x7701");
    spec.chip.version = static_cast<uint16_t>(Whole(o, "version", 0x0100, 0, 0xFFFF));
    spec.chip.statusOnly = o["statusOnly"].toBool();
    spec.chip.status = {static_cast<uint8_t>(Whole(o, "status0", 0, 0, 255)),
                        static_cast<uint8_t>(Whole(o, "status1", 0, 0, 255))};
    try {
        spec.eeprom = EepromFromHex(o["eeprom"].toString().toStdString());
    } catch (const std::exception &e) {
        throw std::runtime_error(std::string("eeprom: ") + e.what());
    }
    cable.cableFaults.flippedEepromBit = static_cast<int>(Whole(o, "flippedEepromBit", -1, -1, 2047));
    if (o["chipBeforeFault"].isObject()) {
        const QJsonObject before = o["chipBeforeFault"].toObject();
        bench::ChipSpec chip = spec.chip;
        chip.version = static_cast<uint16_t>(Whole(before, "version", 0x0100, 0, 0xFFFF));
        chip.statusOnly = before["statusOnly"].toBool();
        chip.status = {static_cast<uint8_t>(Whole(before, "status0", 0, 0, 255)),
                       static_cast<uint8_t>(Whole(before, "status1", 0, 0, 255))};
        cable.chipBeforeFault = chip;
    }
    for (int side = 0; side < 2; ++side)
        cable.sideFaults[side] = SideFaultsFrom(o[side ? "faultsB" : "faultsA"].toObject());
}

void BenchWorld::LoadCables(const QJsonArray &cables, std::vector<std::string> &notes)
{
    for (qsizetype i = 0; i < cables.size(); ++i) {
        const QJsonObject o = cables[i].toObject();
        CableEntry cable;
        try {
            bench::CableSpec spec;
            ReadCableState(o, cable, spec);
            cable.id = m_bench.AddCable(spec);
            m_bench.SetCableFaults(cable.id, cable.cableFaults);
            for (int side = 0; side < 2; ++side)
                m_bench.SetSideFaults(cable.id, static_cast<Side>(side), cable.sideFaults[side]);
            m_savedEeproms[cable.id] = spec.eeprom;
        } catch (const std::exception &e) {
            notes.push_back("cable " + std::to_string(i + 1) + " skipped: " + e.what());
            continue;
        }
        m_cables.push_back(cable);
        for (int side = 0; side < 2; ++side) {
            const char *key = side ? "pluggedB" : "pluggedA";
            if (!o.contains(key))
                continue;
            try {
                PlugSide(m_cables.back(), side, StateLocation(o[key]));
            } catch (const std::exception &e) {
                notes.push_back("cable " + cable.name + " side " + (side ? "B" : "A") + " left unplugged: " + e.what());
            }
        }
    }
}

void BenchWorld::LoadTiming(const QJsonObject &t, std::vector<std::string> &notes)
{
    bench::BenchTiming timing;
    auto micros = [&](const char *key) {
        try {
            return std::chrono::microseconds(Whole(t, key, 0, 0, kMaxMicroseconds));
        } catch (const std::exception &e) {
            notes.push_back(std::string("timing ") + e.what() + "; 0 used");
            return std::chrono::microseconds(0);
        }
    };
    timing.controlLatency = micros("controlLatencyUs");
    timing.eepromWriteCycle = micros("eepromWriteCycleUs");
    try {
        timing.bulkBytesPerSecond = static_cast<uint64_t>(Whole(t, "bulkBytesPerSecond", 0, 0, kMaxBytesPerSecond));
    } catch (const std::exception &e) {
        notes.push_back(std::string("timing ") + e.what() + "; instant used");
    }
    m_bench.SetTiming(timing);
}
