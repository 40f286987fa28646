// The cables: adding and removing them, plugging and unplugging their sides, and their EEPROMs.
#include "BenchWorld.h"

#include "BenchWorldArguments.h"
#include "CommandHelp.h"

#include <cstdio>

using namespace benchworld;

int BenchWorld::CmdCable(const std::vector<std::string> &args, std::string &out)
{
    if (WantsHelp(args) || args.size() < 3) {
        out = BenchCommandHelp("cable");
        return WantsHelp(args) ? 0 : 2;
    }
    const std::string &name = args[2];
    if (args[1] == "add") {
        CheckNewName(name);
        const Options o(args, 3, {"--model", "--version", "--status", "--eeprom-hex"}, {});
        bench::CableSpec spec;
        if (o.Has("--model")) {
            spec.chip.model = ParseHexWord(o.Get("--model"), "--model");
            if (spec.chip.model != 0x7730 && spec.chip.model != 0x7701)
                throw UsageError("--model is 0x7730 or 0x7701");
            spec.chip.version = spec.chip.model == 0x7701 ? 0x8003 : 0x0100;
        }
        if (o.Has("--version") && o.Has("--status"))
            throw UsageError("give --version or --status, not both");
        if (o.Has("--version"))
            spec.chip.version = ParseHexWord(o.Get("--version"), "--version");
        if (o.Has("--status")) {
            const std::string s = o.Get("--status");
            const auto comma = s.find(',');
            if (comma == std::string::npos)
                throw UsageError("--status takes two bytes, S0,S1");
            spec.chip.statusOnly = true;
            spec.chip.status = {static_cast<uint8_t>(ParseNumber(s.substr(0, comma), 255, "--status")),
                                static_cast<uint8_t>(ParseNumber(s.substr(comma + 1), 255, "--status"))};
        }
        if (o.Has("--eeprom-hex"))
            spec.eeprom = EepromFromHex(o.Get("--eeprom-hex"));
        CableEntry cable;
        cable.name = name;
        cable.id = m_bench.AddCable(spec);
        m_cables.push_back(cable);
        m_savedEeproms[cable.id] = spec.eeprom;
        out = "cable " + name + " added\n";
        return 0;
    }
    if (args[1] == "remove") {
        CableEntry *cable = FindCable(name);
        if (!cable)
            throw UsageError("there is no cable '" + name + "'");
        UnplugSide(*cable, 0);
        UnplugSide(*cable, 1);
        // The model keeps cables for its lifetime; the world forgets it, and a restart drops it.
        m_cables.erase(m_cables.begin() + (cable - m_cables.data()));
        out = "cable " + name + " removed\n";
        return 0;
    }
    throw UsageError("cable takes add or remove");
}

int BenchWorld::CmdPlug(const std::vector<std::string> &args, bool plug, std::string &out)
{
    if (WantsHelp(args) || args.size() < 2) {
        out = BenchCommandHelp(plug ? "plug" : "unplug");
        return WantsHelp(args) ? 0 : 2;
    }
    CableEntry *cable = FindCable(args[1]);
    if (!cable)
        throw UsageError("there is no cable '" + args[1] + "'");
    const auto sides = SidesOf(args, 2);
    const std::size_t optionsFrom = args.size() > 2 && args[2].rfind("--", 0) != 0 ? 3 : 2;
    const Options o(args, optionsFrom, plug ? std::vector<std::string>{"--at"} : std::vector<std::string>{}, {});
    for (int side : sides) {
        if (!plug) {
            UnplugSide(*cable, side);
            continue;
        }
        if (cable->plugged[side])
            continue;
        Location at = o.Has("--at") && side == sides.front() ? ParseLocation(o.Get("--at")) : FirstFreePort();
        PlugSide(*cable, side, at);
    }
    out.clear();
    for (int side : sides) {
        const char *sideName = side ? "B" : "A";
        if (cable->plugged[side])
            out += cable->name + " side " + sideName + " plugged in at " + cable->plugged[side]->hub + ":" +
                   std::to_string(cable->plugged[side]->port) + "\n";
        else
            out += cable->name + " side " + sideName + " unplugged\n";
    }
    return 0;
}

int BenchWorld::CmdEeprom(const std::vector<std::string> &args, std::string &out)
{
    if (WantsHelp(args) || args.size() < 2) {
        out = BenchCommandHelp("eeprom");
        return WantsHelp(args) ? 0 : 2;
    }
    CableEntry *cable = FindCable(args[1]);
    if (!cable)
        throw UsageError("there is no cable '" + args[1] + "'");
    const Options o(args, 2, {"--set-hex"}, {});
    if (o.Has("--set-hex"))
        m_bench.SetEeprom(cable->id, EepromFromHex(o.Get("--set-hex")));
    const auto eeprom = m_bench.Eeprom(cable->id);
    out.clear();
    char line[8];
    for (std::size_t i = 0; i < eeprom.size(); ++i) {
        std::snprintf(line, sizeof line, "%02X%c", eeprom[i], i % 16 == 15 ? '\n' : ' ');
        out += line;
    }
    return 0;
}
