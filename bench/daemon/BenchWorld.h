#pragma once
// The bench as a person sees it through the control tool: controllers, hubs, devices and cables with
// names, ports written "HUB:PORT" (root hubs are root1, root2, ...), and every fault and timing figure
// of the model. It runs the control commands, and saves and restores everything it built so that the
// daemon can be restarted without losing the bench.

#include "Bench.h"

#include <QJsonArray>
#include <QJsonObject>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class BenchWorld {
public:
    explicit BenchWorld(bench::Bench &bench);

    // One host controller whose root hub carries a 4-port hub "hub1"; the driver's INF lists the
    // default identity.
    void CreateDefault();

    // Runs one control command (the tool's arguments after its own name). Thread-safe.
    int Run(const std::vector<std::string> &args, std::string &out);

    QJsonObject Save() const;
    // Rebuilds the bench from a saved state. False with `error` when the state as a whole cannot be
    // used (not a bench state, another version). A damaged entry (a bad name, a value outside what
    // the commands accept, a place that does not exist) is skipped, with everything that hangs on
    // it, and `skipped` says what and why; everything else is loaded.
    bool Load(const QJsonObject &state, std::string &error, std::vector<std::string> *skipped = nullptr);

    // Names of cables, hubs and devices: at most this many bytes.
    static constexpr std::size_t kMaxNameBytes = 255;
    // The timing model's limits, for the command and the loader alike.
    static constexpr unsigned long kMaxMicroseconds = 10'000'000;
    static constexpr unsigned long long kMaxBytesPerSecond = 1ull << 40;

    // True when an EEPROM changed (through the PC face) since the last call; for the autosave.
    bool EepromsChangedSinceLastCheck();

private:
    struct Location {
        std::string hub; // root1, hub name
        int port = 0;
    };
    struct HubEntry {
        std::string name;
        std::optional<Location> at; // none for root hubs
        int ports = 4;
        bench::DeviceId id = 0;
        bench::HubFaults faults;
    };
    struct DeviceEntry {
        std::string name;
        Location at;
        bench::DeviceSpec spec;
        int driverKeyLength = -1;
        bench::DeviceId id = 0;
    };
    struct CableEntry {
        std::string name;
        bench::CableId id = 0;
        std::optional<Location> plugged[2];
        bench::SideFaults sideFaults[2];
        bench::CableFaults cableFaults;
        // The chip as it was before a `version` or `status-only` fault changed it: what `fault clear`
        // brings back.
        std::optional<bench::ChipSpec> chipBeforeFault;
    };

    int Dispatch(const std::vector<std::string> &args, std::string &out);
    int CmdCable(const std::vector<std::string> &args, std::string &out);
    int CmdPlug(const std::vector<std::string> &args, bool plug, std::string &out);
    int CmdHub(const std::vector<std::string> &args, std::string &out);
    int CmdDevice(const std::vector<std::string> &args, std::string &out);
    int CmdController(const std::vector<std::string> &args, std::string &out);
    int CmdEeprom(const std::vector<std::string> &args, std::string &out);
    int CmdFault(const std::vector<std::string> &args, std::string &out);
    int FaultClear(const std::string &name, std::string &out);
    int FaultHub(const std::vector<std::string> &args, std::string &out);
    int FaultDevice(const std::vector<std::string> &args, std::string &out);
    int FaultCable(const std::vector<std::string> &args, std::string &out);
    // A `version` or `status-only` fault (`value` is the command's word after it, if any).
    void SetChipFault(CableEntry &cable, const std::string &kind, const std::string *value);
    int CmdTiming(const std::vector<std::string> &args, std::string &out);
    int CmdInf(std::string &out);
    void List(std::string &out) const;
    void ListHub(const HubEntry &hub, int depth, std::string &out) const;

    // Loading a saved state one kind of entry at a time; what is skipped, and why, goes into `notes`.
    void LoadHubs(const QJsonArray &hubs, std::vector<std::string> &notes);
    void LoadDevices(const QJsonArray &devices, std::vector<std::string> &notes);
    void LoadCables(const QJsonArray &cables, std::vector<std::string> &notes);
    void LoadTiming(const QJsonObject &timing, std::vector<std::string> &notes);
    void ReadCableState(const QJsonObject &entry, CableEntry &cable, bench::CableSpec &spec) const;
    // An entry's name, and a place it names; they throw (with the reason) when unusable.
    std::string StateName(const QJsonObject &entry) const;
    Location StateLocation(const QJsonValue &place) const;

    HubEntry *FindHub(const std::string &name);
    const HubEntry *FindHub(const std::string &name) const;
    CableEntry *FindCable(const std::string &name);
    bool NameTaken(const std::string &name) const;
    // Why `name` cannot be given to something new (empty when it can).
    std::string NameProblem(const std::string &name) const;
    void CheckNewName(const std::string &name) const;
    bench::PortRef Resolve(const Location &at) const;
    Location ParseLocation(const std::string &text) const;
    Location FirstFreePort() const;
    void PlugSide(CableEntry &cable, int side, const Location &at);
    void UnplugSide(CableEntry &cable, int side);

    bench::Bench &m_bench;
    mutable std::recursive_mutex m_mutex;
    std::vector<HubEntry> m_hubs; // root hubs and external hubs, in the order they were made
    std::vector<DeviceEntry> m_devices;
    std::vector<CableEntry> m_cables;
    std::map<bench::CableId, bench::EepromBytes> m_savedEeproms;
};
