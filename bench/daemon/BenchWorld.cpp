// The world's core: running a command (routed to the files of each kind: BenchWorldTopology.cpp,
// BenchWorldCables.cpp, BenchWorldFaults.cpp; saving and loading in BenchWorldState.cpp), the
// questions about the bench as a whole, and the names and places every command uses.
#include "BenchWorld.h"

#include "BenchWorldArguments.h"
#include "CommandHelp.h"
#include "IniText.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

using benchworld::ParseNumber;
using benchworld::UsageError;
using bench::Side;

BenchWorld::BenchWorld(bench::Bench &bench) : m_bench(bench) {}

void BenchWorld::CreateDefault()
{
    std::lock_guard lock(m_mutex);
    HubEntry root;
    root.name = "root1";
    root.ports = 2;
    root.id = m_bench.AddController(root.ports);
    m_hubs.push_back(root);
    HubEntry hub;
    hub.name = "hub1";
    hub.at = Location{"root1", 1};
    hub.ports = 4;
    hub.id = m_bench.AttachHub(Resolve(*hub.at), bench::HubSpec{hub.ports});
    m_hubs.push_back(hub);
    // An INF that Quillon has taught new IDs is kept; only a missing one is written anew.
    std::error_code ec;
    if (!std::filesystem::exists(m_bench.DriverInfPath(), ec))
        m_bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
}

int BenchWorld::Run(const std::vector<std::string> &args, std::string &out)
{
    std::lock_guard lock(m_mutex);
    try {
        return Dispatch(args, out);
    } catch (const UsageError &e) {
        out = std::string("vbench: ") + e.what() + "\n";
        return 2;
    } catch (const std::exception &e) {
        // The model refused (a port already taken, too deep a hub, ...): nothing was changed.
        out = std::string("vbench: ") + e.what() + "\n";
        return 1;
    }
}

int BenchWorld::Dispatch(const std::vector<std::string> &args, std::string &out)
{
    if (args.empty() || args[0] == "help" || args[0] == "--help") {
        out = BenchCommandsHelp();
        return 0;
    }
    const std::string &command = args[0];
    if (command == "status") {
        std::size_t plugged = 0;
        for (const auto &c : m_cables)
            plugged += c.plugged[0].has_value() + c.plugged[1].has_value();
        out = "running: " + std::to_string(m_hubs.size()) + " hubs (" +
              std::to_string(std::count_if(m_hubs.begin(), m_hubs.end(), [](auto &h) { return !h.at; })) +
              " controllers), " + std::to_string(m_devices.size()) + " devices, " +
              std::to_string(m_cables.size()) + " cables, " + std::to_string(plugged) + " sides plugged in\n";
        return 0;
    }
    if (command == "list") {
        List(out);
        return 0;
    }
    if (command == "cable")
        return CmdCable(args, out);
    if (command == "plug" || command == "unplug")
        return CmdPlug(args, command == "plug", out);
    if (command == "hub")
        return CmdHub(args, out);
    if (command == "device")
        return CmdDevice(args, out);
    if (command == "controller")
        return CmdController(args, out);
    if (command == "eeprom")
        return CmdEeprom(args, out);
    if (command == "fault")
        return CmdFault(args, out);
    if (command == "timing")
        return CmdTiming(args, out);
    if (command == "inf")
        return CmdInf(out);
    if (command == "notices") {
        const std::string notice = m_bench.DeviceObjectNotice();
        out = notice.empty() ? "" : notice + "\n";
        return 0;
    }
    throw UsageError("unknown command '" + command + "' (vbench --help lists them)");
}

int BenchWorld::CmdInf(std::string &out)
{
    const auto path = m_bench.DriverInfPath();
    out = "INF file: " + path.string() + "\n";
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        out += "(missing: no side gets the bridge driver)\n";
        return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const pcmodel::IniText ini(text);
    const auto maker = ini.Value("Manufacturer", "%MfgName%");
    if (!maker) {
        out += "(no models section: the manufacturer entry is missing)\n";
        return 0;
    }
    out += "Models section [" + *maker + "]:\n";
    for (const auto &entry : ini.Entries(*maker))
        if (!entry.key.empty())
            out += "  " + entry.key + "=" + entry.value + "\n";
    return 0;
}

// ----- Names and places ---------------------------------------------------------------------------

BenchWorld::HubEntry *BenchWorld::FindHub(const std::string &name)
{
    for (auto &h : m_hubs)
        if (h.name == name)
            return &h;
    return nullptr;
}

const BenchWorld::HubEntry *BenchWorld::FindHub(const std::string &name) const
{
    return const_cast<BenchWorld *>(this)->FindHub(name);
}

BenchWorld::CableEntry *BenchWorld::FindCable(const std::string &name)
{
    for (auto &c : m_cables)
        if (c.name == name)
            return &c;
    return nullptr;
}

bool BenchWorld::NameTaken(const std::string &name) const
{
    return FindHub(name) || std::any_of(m_devices.begin(), m_devices.end(), [&](auto &d) { return d.name == name; }) ||
           std::any_of(m_cables.begin(), m_cables.end(), [&](auto &c) { return c.name == name; });
}

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const std::string &text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        const unsigned c = *p++;
        if (c < 0x80)
            continue;
        int more = 0;
        uint32_t code = 0, least = 0;
        if ((c & 0xE0) == 0xC0) {
            more = 1, code = c & 0x1F, least = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2, code = c & 0x0F, least = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3, code = c & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (end - p < more)
            return false;
        for (int i = 0; i < more; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            code = code << 6 | (p[i] & 0x3F);
        }
        p += more;
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
    }
    return true;
}

} // namespace

std::string BenchWorld::NameProblem(const std::string &name) const
{
    // The state file stores names as JSON text: a name it cannot hold exactly would come back as
    // another name, or as the same name as another entry.
    if (name.empty())
        return "a name must not be empty";
    if (name.size() > kMaxNameBytes)
        return "a name has at most " + std::to_string(kMaxNameBytes) + " bytes";
    if (!IsValidUtf8(name))
        return "a name must be valid UTF-8 text";
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        return "a name must not hold control characters";
    if (NameTaken(name))
        return "the name '" + name + "' is taken";
    return {};
}

void BenchWorld::CheckNewName(const std::string &name) const
{
    if (const std::string problem = NameProblem(name); !problem.empty())
        throw UsageError(problem);
}

BenchWorld::Location BenchWorld::ParseLocation(const std::string &text) const
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos)
        throw UsageError("a port is written HUB:PORT (e.g. hub1:2), not '" + text + "'");
    Location at{text.substr(0, colon), static_cast<int>(ParseNumber(text.substr(colon + 1), 255, "port"))};
    const HubEntry *hub = FindHub(at.hub);
    if (!hub)
        throw UsageError("there is no hub '" + at.hub + "'");
    if (at.port < 1 || at.port > hub->ports)
        throw UsageError(at.hub + " has ports 1 to " + std::to_string(hub->ports));
    return at;
}

bench::PortRef BenchWorld::Resolve(const Location &at) const
{
    const HubEntry *hub = FindHub(at.hub);
    if (!hub)
        throw UsageError("there is no hub '" + at.hub + "'");
    return {hub->id, at.port};
}

BenchWorld::Location BenchWorld::FirstFreePort() const
{
    // External hubs first (where a person plugs cables), then the root hubs.
    for (int pass = 0; pass < 2; ++pass)
        for (const auto &hub : m_hubs) {
            if (hub.at.has_value() != (pass == 0))
                continue;
            for (int port = 1; port <= hub.ports; ++port)
                if (m_bench.Port({hub.id, port}).kind == bench::PortState::Empty)
                    return {hub.name, port};
        }
    throw UsageError("every port is taken: add a hub (vbench hub add NAME)");
}

void BenchWorld::PlugSide(CableEntry &cable, int side, const Location &at)
{
    if (cable.plugged[side])
        return;
    m_bench.PlugSide(cable.id, static_cast<Side>(side), Resolve(at));
    cable.plugged[side] = at;
}

void BenchWorld::UnplugSide(CableEntry &cable, int side)
{
    m_bench.UnplugSide(cable.id, static_cast<Side>(side));
    cable.plugged[side].reset();
}

bool BenchWorld::EepromsChangedSinceLastCheck()
{
    std::lock_guard lock(m_mutex);
    bool changed = false;
    for (const auto &cable : m_cables) {
        const auto now = m_bench.Eeprom(cable.id);
        auto &saved = m_savedEeproms[cable.id];
        if (now != saved) {
            saved = now;
            changed = true;
        }
    }
    return changed;
}
