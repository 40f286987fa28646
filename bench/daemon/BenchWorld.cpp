#include "BenchWorld.h"

#include "CommandHelp.h"
#include "IniText.h"

#include <QJsonArray>
#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

using bench::Side;

namespace {

// A command-line mistake: its text is shown to the person and the command fails with status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

unsigned long ParseNumber(const std::string &text, unsigned long max, const char *what)
{
    if (text.empty())
        throw UsageError(std::string(what) + ": a number is missing");
    std::size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, 0);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used != text.size() || text[0] == '-' || value > max)
        throw UsageError(std::string(what) + ": '" + text + "' is not a number from 0 to " + std::to_string(max));
    return value;
}

uint16_t ParseHexWord(const std::string &text, const char *what)
{
    const std::string digits = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text : "0x" + text;
    return static_cast<uint16_t>(ParseNumber(digits, 0xFFFF, what));
}

std::vector<uint8_t> ParseHexBytes(const std::string &hex)
{
    if (hex.size() % 2)
        throw UsageError("hex data has an odd number of digits");
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(ParseNumber("0x" + hex.substr(i, 2), 0xFF, "hex data")));
    return bytes;
}

bench::EepromBytes EepromFromHex(const std::string &hex)
{
    const auto bytes = ParseHexBytes(hex);
    // A 264-byte image file carries the chip trailer after the EEPROM bytes; only the EEPROM matters.
    if (bytes.size() != 256 && bytes.size() != 264)
        throw UsageError("an EEPROM is 256 bytes (or a 264-byte image file), not " + std::to_string(bytes.size()));
    bench::EepromBytes eeprom;
    std::copy_n(bytes.begin(), 256, eeprom.begin());
    return eeprom;
}

std::string Hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

// Options after the positional words: "--name value" pairs and bare "--flags".
class Options {
public:
    Options(const std::vector<std::string> &args, std::size_t from, std::vector<std::string> withValue,
            std::vector<std::string> flags)
    {
        for (std::size_t i = from; i < args.size(); ++i) {
            const std::string &a = args[i];
            if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
                m_values[a] = "";
            } else if (std::find(withValue.begin(), withValue.end(), a) != withValue.end()) {
                if (i + 1 >= args.size())
                    throw UsageError(a + " needs a value");
                m_values[a] = args[++i];
            } else {
                throw UsageError("unexpected '" + a + "'");
            }
        }
    }
    bool Has(const std::string &name) const { return m_values.count(name) != 0; }
    std::string Get(const std::string &name) const
    {
        const auto it = m_values.find(name);
        return it == m_values.end() ? std::string() : it->second;
    }

private:
    std::map<std::string, std::string> m_values;
};

std::vector<int> SidesOf(const std::vector<std::string> &args, std::size_t at)
{
    if (at >= args.size() || args[at].rfind("--", 0) == 0 || args[at] == "both")
        return {0, 1};
    if (args[at] == "A" || args[at] == "a")
        return {0};
    if (args[at] == "B" || args[at] == "b")
        return {1};
    throw UsageError("a side is A, B or both, not '" + args[at] + "'");
}

QJsonObject LocationJson(const std::string &hub, int port)
{
    return QJsonObject{{"hub", QString::fromStdString(hub)}, {"port", port}};
}

} // namespace

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

// ----- Commands ---------------------------------------------------------------------------------------

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

int BenchWorld::CmdFault(const std::vector<std::string> &args, std::string &out)
{
    if (WantsHelp(args) || args.size() < 3) {
        out = BenchCommandHelp("fault");
        return WantsHelp(args) ? 0 : 2;
    }
    if (args[1] == "clear") {
        const std::string &name = args[2];
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
    if (args[1] == "hub") {
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
    if (args[1] == "device") {
        const auto it = std::find_if(m_devices.begin(), m_devices.end(), [&](auto &d) { return d.name == args[2]; });
        if (it == m_devices.end() || args.size() < 5 || args[3] != "driver-key-length")
            throw UsageError("fault device NAME driver-key-length N");
        it->driverKeyLength = static_cast<int>(ParseNumber(args[4], 0xFFFF, "driver-key-length"));
        m_bench.SetDriverKeyFault(it->id, it->driverKeyLength);
        out = "device " + it->name + ": driver-key-length " + args[4] + "\n";
        return 0;
    }

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
    auto value = [&](unsigned long max) {
        if (k + 1 >= args.size())
            throw UsageError(kind + " needs a value");
        return ParseNumber(args[k + 1], max, kind.c_str());
    };
    bench::SideFaults &f = cable->sideFaults[side];
    bool sideFault = true;
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
    else {
        sideFault = false;
        if (kind == "flip-bit") {
            cable->cableFaults.flippedEepromBit = static_cast<int>(value(2047));
            m_bench.SetCableFaults(cable->id, cable->cableFaults);
        } else if (kind == "version" || kind == "status-only") {
            bench::ChipSpec chip = m_bench.Chip(cable->id);
            if (!cable->chipBeforeFault)
                cable->chipBeforeFault = chip;
            if (kind == "version") {
                if (k + 1 >= args.size())
                    throw UsageError("version needs a WORD");
                chip.statusOnly = false;
                chip.version = ParseHexWord(args[k + 1], "version");
            } else {
                const std::string s = k + 1 < args.size() ? args[k + 1] : "";
                const auto comma = s.find(',');
                if (comma == std::string::npos)
                    throw UsageError("status-only takes two bytes, S0,S1");
                chip.statusOnly = true;
                chip.status = {static_cast<uint8_t>(ParseNumber(s.substr(0, comma), 255, "status")),
                               static_cast<uint8_t>(ParseNumber(s.substr(comma + 1), 255, "status"))};
            }
            m_bench.SetChip(cable->id, chip);
        } else {
            throw UsageError("unknown fault '" + kind + "' (vbench fault --help)");
        }
    }
    if (sideFault)
        m_bench.SetSideFaults(cable->id, static_cast<Side>(side), f);
    out = "cable " + cable->name + (sideFault ? std::string(" side ") + (side ? "B" : "A") : std::string()) + ": " +
          kind + "\n";
    return 0;
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

// ----- State ------------------------------------------------------------------------------------------

namespace {

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
    std::vector<std::string> notes;
    auto name = [&](const QJsonObject &o) {
        const QJsonValue v = o["name"];
        if (!v.isString())
            throw std::runtime_error("it has no name");
        const std::string text = v.toString().toStdString();
        if (const std::string problem = NameProblem(text); !problem.empty())
            throw std::runtime_error("'" + text + "': " + problem);
        return text;
    };
    auto location = [&](const QJsonValue &v) {
        const QJsonObject o = v.toObject();
        const Location at{o["hub"].toString().toStdString(), static_cast<int>(Whole(o, "port", 0, 1, 255))};
        const HubEntry *hub = FindHub(at.hub);
        if (!hub)
            throw std::runtime_error("there is no hub '" + at.hub + "'");
        if (at.port > hub->ports)
            throw std::runtime_error(at.hub + " has ports 1 to " + std::to_string(hub->ports));
        return at;
    };
    // Each entry is checked whole before the model is touched; the model refuses (throws) without
    // changing anything.
    const QJsonArray hubs = state["hubs"].toArray();
    for (qsizetype i = 0; i < hubs.size(); ++i) {
        const QJsonObject o = hubs[i].toObject();
        try {
            HubEntry hub;
            hub.name = name(o);
            hub.ports = static_cast<int>(Whole(o, "ports", 4, 1, 255));
            hub.faults.openFails = o["openFails"].toBool();
            hub.faults.nodeInfoFails = o["nodeInfoFails"].toBool();
            hub.faults.connectionInfoFailsPort = static_cast<int>(Whole(o, "connectionInfoFailsPort", 0, -1, 255));
            hub.faults.connectionNameFailsPort = static_cast<int>(Whole(o, "connectionNameFailsPort", 0, -1, 255));
            if (o.contains("at")) {
                hub.at = location(o["at"]);
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
    const QJsonArray devices = state["devices"].toArray();
    for (qsizetype i = 0; i < devices.size(); ++i) {
        const QJsonObject o = devices[i].toObject();
        try {
            DeviceEntry device;
            device.name = name(o);
            device.spec.vid = static_cast<uint16_t>(Whole(o, "vid", device.spec.vid, 0, 0xFFFF));
            device.spec.pid = static_cast<uint16_t>(Whole(o, "pid", device.spec.pid, 0, 0xFFFF));
            device.spec.hasDriver = o["hasDriver"].toBool(true);
            if (o.contains("description"))
                device.spec.description = o["description"].toString().toStdString();
            else
                device.spec.description.reset();
            device.driverKeyLength = static_cast<int>(Whole(o, "driverKeyLength", -1, -1, 0xFFFF));
            device.at = location(o["at"]);
            device.id = m_bench.AttachDevice(Resolve(device.at), device.spec);
            if (device.driverKeyLength >= 0)
                m_bench.SetDriverKeyFault(device.id, device.driverKeyLength);
            m_devices.push_back(device);
        } catch (const std::exception &e) {
            notes.push_back("device " + std::to_string(i + 1) + " skipped: " + e.what());
        }
    }
    const QJsonArray cables = state["cables"].toArray();
    for (qsizetype i = 0; i < cables.size(); ++i) {
        const QJsonObject o = cables[i].toObject();
        CableEntry cable;
        try {
            cable.name = name(o);
            bench::CableSpec spec;
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
                PlugSide(m_cables.back(), side, location(o[key]));
            } catch (const std::exception &e) {
                notes.push_back("cable " + cable.name + " side " + (side ? "B" : "A") + " left unplugged: " + e.what());
            }
        }
    }
    const QJsonObject t = state["timing"].toObject();
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
    if (skipped)
        *skipped = std::move(notes);
    return true;
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
