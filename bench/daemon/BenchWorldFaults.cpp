// The faults and the timing of the model: what a cable side, a cable's chip, a hub or a device does
// wrong, what `fault clear` brings back, and how slow requests, EEPROM writes and bulk transfers are.
#include "BenchWorld.h"

#include "BenchWorldArguments.h"
#include "CommandHelp.h"

#include <algorithm>
#include <functional>

using namespace benchworld;
using bench::Side;

namespace {

// Sets the side fault `kind` in `f`; false when `kind` is not one. `value` reads the fault's value
// (up to its maximum) from the command.
bool SetSideFault(const std::string &kind, const std::function<unsigned long(unsigned long)> &value,
                  bench::SideFaults &f)
{
    if (kind == "requests-fail")
        f.allRequestsFail = true;
    else if (kind == "request-fails")
        f.failRequest = static_cast<int>(value(255));
    else if (kind == "block-fails")
        f.failEepromBlock = static_cast<int>(value(31));
    else if (kind == "send-dead")
        f.sendDead = true;
    else if (kind == "drop" || kind == "repeat" || kind == "change")
        f.sendFault = {kind == "drop" ? bench::ByteFault::Drop
                       : kind == "repeat" ? bench::ByteFault::Repeat
                                          : bench::ByteFault::Change,
                       static_cast<uint32_t>(value(0xFFFFFFFF))};
    else if (kind == "read-stalls")
        f.readStalls = true;
    else if (kind == "write-stalls")
        f.writeStalls = true;
    else if (kind == "driver-key-length")
        f.driverKeyActualLength = static_cast<int>(value(0xFFFF));
    else if (kind == "pipes-missing")
        f.pipesMissing = true;
    else if (kind == "transfers-refused")
        f.transfersRefused = true;
    else if (kind == "silent")
        f.chipSilent = true;
    else
        return false;
    return true;
}

} // namespace

int BenchWorld::CmdFault(const std::vector<std::string> &args, std::string &out)
{
    if (WantsHelp(args) || args.size() < 3) {
        out = BenchCommandHelp("fault");
        return WantsHelp(args) ? 0 : 2;
    }
    if (args[1] == "clear")
        return FaultClear(args[2], out);
    if (args[1] == "hub")
        return FaultHub(args, out);
    if (args[1] == "device")
        return FaultDevice(args, out);
    return FaultCable(args, out);
}

int BenchWorld::FaultClear(const std::string &name, std::string &out)
{
    if (CableEntry *cable = FindCable(name)) {
        cable->sideFaults[0] = cable->sideFaults[1] = {};
        cable->cableFaults = {};
        if (cable->chipBeforeFault)
            m_bench.SetChip(cable->id, *cable->chipBeforeFault);
        cable->chipBeforeFault.reset();
        m_bench.SetSideFaults(cable->id, Side::A, {});
        m_bench.SetSideFaults(cable->id, Side::B, {});
        m_bench.SetCableFaults(cable->id, {});
    } else if (HubEntry *hub = FindHub(name)) {
        hub->faults = {};
        m_bench.SetHubFaults(hub->id, {});
    } else {
        const auto it = std::find_if(m_devices.begin(), m_devices.end(), [&](auto &d) { return d.name == name; });
        if (it == m_devices.end())
            throw UsageError("there is nothing named '" + name + "'");
        it->driverKeyLength = -1;
        m_bench.SetDriverKeyFault(it->id, -1);
    }
    out = "faults of " + name + " cleared\n";
    return 0;
}

int BenchWorld::FaultHub(const std::vector<std::string> &args, std::string &out)
{
    HubEntry *hub = FindHub(args[2]);
    if (!hub || args.size() < 4)
        throw UsageError(hub ? "fault hub HUB KIND [VALUE]" : "there is no hub '" + args[2] + "'");
    const std::string &kind = args[3];
    auto port = [&] {
        if (args.size() < 5)
            throw UsageError(kind + " needs PORT or all");
        return args[4] == "all" ? -1 : static_cast<int>(ParseNumber(args[4], 255, "port"));
    };
    if (kind == "open-fails")
        hub->faults.openFails = true;
    else if (kind == "node-info-fails")
        hub->faults.nodeInfoFails = true;
    else if (kind == "connection-info-fails")
        hub->faults.connectionInfoFailsPort = port();
    else if (kind == "connection-name-fails")
        hub->faults.connectionNameFailsPort = port();
    else
        throw UsageError("unknown hub fault '" + kind + "'");
    m_bench.SetHubFaults(hub->id, hub->faults);
    out = "hub " + hub->name + ": " + kind + "\n";
    return 0;
}

int BenchWorld::FaultDevice(const std::vector<std::string> &args, std::string &out)
{
    const auto it = std::find_if(m_devices.begin(), m_devices.end(), [&](auto &d) { return d.name == args[2]; });
    if (it == m_devices.end() || args.size() < 5 || args[3] != "driver-key-length")
        throw UsageError("fault device NAME driver-key-length N");
    it->driverKeyLength = static_cast<int>(ParseNumber(args[4], 0xFFFF, "driver-key-length"));
    m_bench.SetDriverKeyFault(it->id, it->driverKeyLength);
    out = "device " + it->name + ": driver-key-length " + args[4] + "\n";
    return 0;
}

int BenchWorld::FaultCable(const std::vector<std::string> &args, std::string &out)
{
    CableEntry *cable = FindCable(args[1]);
    if (!cable)
        throw UsageError("there is no cable '" + args[1] + "'");
    std::size_t k = 2;
    int side = 0;
    if (args[k] == "A" || args[k] == "B") {
        side = args[k] == "B";
        ++k;
    }
    if (k >= args.size())
        throw UsageError("which fault? (vbench fault --help)");
    const std::string kind = args[k];
    const std::string value = k + 1 < args.size() ? args[k + 1] : std::string();
    auto number = [&](unsigned long max) {
        if (k + 1 >= args.size())
            throw UsageError(kind + " needs a value");
        return ParseNumber(value, max, kind.c_str());
    };
    bench::SideFaults &f = cable->sideFaults[side];
    const bool sideFault = SetSideFault(kind, number, f);
    if (sideFault) {
        m_bench.SetSideFaults(cable->id, static_cast<Side>(side), f);
    } else if (kind == "flip-bit") {
        cable->cableFaults.flippedEepromBit = static_cast<int>(number(2047));
        m_bench.SetCableFaults(cable->id, cable->cableFaults);
    } else if (kind == "version" || kind == "status-only") {
        SetChipFault(*cable, kind, k + 1 < args.size() ? &value : nullptr);
    } else {
        throw UsageError("unknown fault '" + kind + "' (vbench fault --help)");
    }
    out = "cable " + cable->name + (sideFault ? std::string(" side ") + (side ? "B" : "A") : std::string()) + ": " +
          kind + "\n";
    return 0;
}

void BenchWorld::SetChipFault(CableEntry &cable, const std::string &kind, const std::string *value)
{
    bench::ChipSpec chip = m_bench.Chip(cable.id);
    if (!cable.chipBeforeFault)
        cable.chipBeforeFault = chip;
    if (kind == "version") {
        if (!value)
            throw UsageError("version needs a WORD");
        chip.statusOnly = false;
        chip.version = ParseHexWord(*value, "version");
    } else {
        const std::string s = value ? *value : "";
        const auto comma = s.find(',');
        if (comma == std::string::npos)
            throw UsageError("status-only takes two bytes, S0,S1");
        chip.statusOnly = true;
        chip.status = {static_cast<uint8_t>(ParseNumber(s.substr(0, comma), 255, "status")),
                       static_cast<uint8_t>(ParseNumber(s.substr(comma + 1), 255, "status"))};
    }
    m_bench.SetChip(cable.id, chip);
}

int BenchWorld::CmdTiming(const std::vector<std::string> &args, std::string &out)
{
    if (WantsHelp(args)) {
        out = BenchCommandHelp("timing");
        return 0;
    }
    const Options o(args, 1, {"--latency-us", "--write-cycle-us", "--bytes-per-second"}, {});
    bench::BenchTiming timing = m_bench.Options().timing;
    if (o.Has("--latency-us"))
        timing.controlLatency = std::chrono::microseconds(ParseNumber(o.Get("--latency-us"), kMaxMicroseconds, "--latency-us"));
    if (o.Has("--write-cycle-us"))
        timing.eepromWriteCycle =
            std::chrono::microseconds(ParseNumber(o.Get("--write-cycle-us"), kMaxMicroseconds, "--write-cycle-us"));
    if (o.Has("--bytes-per-second"))
        timing.bulkBytesPerSecond = ParseNumber(o.Get("--bytes-per-second"), kMaxBytesPerSecond, "--bytes-per-second");
    m_bench.SetTiming(timing);
    out = "latency " + std::to_string(timing.controlLatency.count()) + " us per request, EEPROM write cycle " +
          std::to_string(timing.eepromWriteCycle.count()) + " us per block, bulk " +
          (timing.bulkBytesPerSecond ? std::to_string(timing.bulkBytesPerSecond) + " bytes/s" : std::string("instant")) +
          "\n";
    return 0;
}
