// The bench's layout: controllers, hubs and other devices added and removed, and the list that shows
// the whole tree with what sits on every port. Cables, which plug into it, are in BenchWorldCables.cpp.
#include "BenchWorld.h"

#include "BenchWorldArguments.h"
#include "CommandHelp.h"

#include <algorithm>

using namespace benchworld;
using bench::Side;

int BenchWorld::CmdHub(const std::vector<std::string> &args, std::string &out)
{
    if (WantsHelp(args) || args.size() < 3) {
        out = BenchCommandHelp("hub");
        return WantsHelp(args) ? 0 : 2;
    }
    const std::string &name = args[2];
    if (args[1] == "add") {
        CheckNewName(name);
        const Options o(args, 3, {"--ports", "--at"}, {});
        HubEntry hub;
        hub.name = name;
        hub.ports = o.Has("--ports") ? static_cast<int>(ParseNumber(o.Get("--ports"), 255, "--ports")) : 4;
        if (hub.ports < 1)
            throw UsageError("a hub has 1 to 255 ports");
        hub.at = o.Has("--at") ? ParseLocation(o.Get("--at")) : FirstFreePort();
        hub.id = m_bench.AttachHub(Resolve(*hub.at), bench::HubSpec{hub.ports});
        m_hubs.push_back(hub);
        out = "hub " + name + " attached at " + hub.at->hub + ":" + std::to_string(hub.at->port) + "\n";
        return 0;
    }
    if (args[1] == "remove") {
        HubEntry *hub = FindHub(name);
        if (!hub || !hub->at)
            throw UsageError("there is no external hub '" + name + "'");
        for (int port = 1; port <= hub->ports; ++port)
            if (m_bench.Port({hub->id, port}).kind != bench::PortState::Empty)
                throw UsageError("hub " + name + " still has something on port " + std::to_string(port) +
                                 ": unplug it first");
        m_bench.Unplug(Resolve(*hub->at));
        m_hubs.erase(m_hubs.begin() + (hub - m_hubs.data()));
        out = "hub " + name + " removed\n";
        return 0;
    }
    throw UsageError("hub takes add or remove");
}

int BenchWorld::CmdDevice(const std::vector<std::string> &args, std::string &out)
{
    if (WantsHelp(args) || args.size() < 3) {
        out = BenchCommandHelp("device");
        return WantsHelp(args) ? 0 : 2;
    }
    const std::string &name = args[2];
    if (args[1] == "add") {
        CheckNewName(name);
        const Options o(args, 3, {"--vid", "--pid", "--description", "--at"}, {"--no-description", "--no-driver"});
        DeviceEntry device;
        device.name = name;
        if (o.Has("--vid"))
            device.spec.vid = ParseHexWord(o.Get("--vid"), "--vid");
        if (o.Has("--pid"))
            device.spec.pid = ParseHexWord(o.Get("--pid"), "--pid");
        if (o.Has("--description"))
            device.spec.description = o.Get("--description");
        if (o.Has("--no-description"))
            device.spec.description.reset();
        device.spec.hasDriver = !o.Has("--no-driver");
        device.at = o.Has("--at") ? ParseLocation(o.Get("--at")) : FirstFreePort();
        device.id = m_bench.AttachDevice(Resolve(device.at), device.spec);
        m_devices.push_back(device);
        out = "device " + name + " attached at " + device.at.hub + ":" + std::to_string(device.at.port) + "\n";
        return 0;
    }
    if (args[1] == "remove") {
        const auto it = std::find_if(m_devices.begin(), m_devices.end(), [&](auto &d) { return d.name == name; });
        if (it == m_devices.end())
            throw UsageError("there is no device '" + name + "'");
        m_bench.Unplug(Resolve(it->at));
        m_devices.erase(it);
        out = "device " + name + " removed\n";
        return 0;
    }
    throw UsageError("device takes add or remove");
}

int BenchWorld::CmdController(const std::vector<std::string> &args, std::string &out)
{
    if (WantsHelp(args) || args.size() < 2 || args[1] != "add") {
        out = BenchCommandHelp("controller");
        return WantsHelp(args) ? 0 : 2;
    }
    const Options o(args, 2, {"--ports"}, {});
    HubEntry root;
    root.ports = o.Has("--ports") ? static_cast<int>(ParseNumber(o.Get("--ports"), 255, "--ports")) : 2;
    if (root.ports < 1)
        throw UsageError("a root hub has 1 to 255 ports");
    int n = 1;
    while (NameTaken("root" + std::to_string(n)))
        ++n;
    root.name = "root" + std::to_string(n);
    root.id = m_bench.AddController(root.ports);
    m_hubs.push_back(root);
    out = "controller added with root hub " + root.name + "\n";
    return 0;
}

void BenchWorld::ListHub(const HubEntry &hub, int depth, std::string &out) const
{
    const std::string indent(2 * depth, ' ');
    for (int port = 1; port <= hub.ports; ++port) {
        const bench::PortState state = m_bench.Port({hub.id, port});
        std::string line = indent + "  port " + std::to_string(port) + ": ";
        switch (state.kind) {
        case bench::PortState::Empty:
            line += "empty";
            break;
        case bench::PortState::Hub: {
            const auto it = std::find_if(m_hubs.begin(), m_hubs.end(), [&](auto &h) { return h.id == state.device; });
            line += "hub " + (it != m_hubs.end() ? it->name : std::string("?"));
            out += line + "\n";
            if (it != m_hubs.end())
                ListHub(*it, depth + 1, out);
            continue;
        }
        case bench::PortState::Device: {
            const auto it = std::find_if(m_devices.begin(), m_devices.end(), [&](auto &d) { return d.id == state.device; });
            if (it != m_devices.end())
                line += "device " + it->name + " (VID " + Hex4(it->spec.vid) + ", PID " + Hex4(it->spec.pid) +
                        (it->spec.hasDriver ? "" : ", no driver") + ")";
            else
                line += "device";
            break;
        }
        case bench::PortState::CableSide: {
            const auto it = std::find_if(m_cables.begin(), m_cables.end(), [&](auto &c) { return c.id == state.cable; });
            line += "cable " + (it != m_cables.end() ? it->name : std::string("?")) + " side " +
                    (state.side == Side::A ? "A" : "B");
            const int object = m_bench.DeviceObjectNumber(state.cable, state.side);
            line += object ? ", \\\\.\\HOSTLNK-" + std::to_string(object) : ", no driver";
            break;
        }
        }
        out += line + "\n";
        if (state.kind == bench::PortState::Device || state.kind == bench::PortState::CableSide) {
            const std::string id = m_bench.InstanceId(state.device);
            if (!id.empty())
                out += indent + "    " + id + "\n";
        }
    }
}

void BenchWorld::List(std::string &out) const
{
    out.clear();
    int controller = 0;
    for (const auto &hub : m_hubs) {
        if (hub.at)
            continue;
        out += "Host Controller " + std::to_string(controller++) + " (root hub " + hub.name + ", " +
               std::to_string(hub.ports) + " ports)\n";
        ListHub(hub, 1, out);
    }
    out += "Cables:\n";
    if (m_cables.empty())
        out += "  none (vbench cable add NAME)\n";
    for (const auto &cable : m_cables) {
        const bench::ChipSpec chip = m_bench.Chip(cable.id);
        const auto eeprom = m_bench.Eeprom(cable.id);
        const bool configured = eeprom[0] == 0x5E && eeprom[1] == 0x0C;
        out += "  " + cable.name + ": QT" + Hex4(chip.model) +
               (chip.statusOnly ? ", status-only chip" : ", version " + Hex4(chip.version)) +
               (configured ? ", EEPROM VID " + Hex4(eeprom[2] | eeprom[3] << 8) : ", EEPROM not configured");
        for (int side = 0; side < 2; ++side) {
            out += side ? "; B " : "; A ";
            out += cable.plugged[side] ? cable.plugged[side]->hub + ":" + std::to_string(cable.plugged[side]->port)
                                       : std::string("unplugged");
        }
        out += "\n";
    }
}
