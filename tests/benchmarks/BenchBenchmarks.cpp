// What the kit's calls cost on the in-process bench (zero timing model). The walk-shaped benchmark
// issues the walk's requests and its two full device-tree searches per device port, so it bounds
// what the topology walk itself can reach on the same 100-port bench.

#include "Bench.h"
#include "DeviceTreeOrder.h"
#include "SimHost.h"
#include "TempDir.h"
#include "Topologies.h"

#include <benchmark/benchmark.h>

#include <cctype>
#include <cstring>
#include <memory>

using namespace bench;
using namespace platform;

namespace {

struct World {
    TempDir dir;
    std::unique_ptr<Bench> bench;
    std::unique_ptr<SimHost> host;
    World()
    {
        BenchOptions options;
        options.systemDirectory = dir.path();
        bench = std::make_unique<Bench>(options);
        host = std::make_unique<SimHost>(bench->Pc());
    }
    ~World()
    {
        host.reset(); // the Host goes before the bench it borrows
    }
};

bool SameNoCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

// A full pre-order search of the device tree for the node with this driver key.
DevNode Search(Host& host, const std::string& key)
{
    std::string value;
    for (DevNode n = host.GetRootNode(); n;) {
        if (host.GetNodeProperty(n, DEVNODE_PROP_DRIVER, 512, value) && SameNoCase(value, key))
            return n;
        if (DevNode child = host.GetChild(n)) {
            n = child;
            continue;
        }
        while (n && !host.GetSibling(n))
            n = host.GetParent(n);
        n = n ? host.GetSibling(n) : NO_DEVNODE;
    }
    return NO_DEVNODE;
}

std::string Utf16(const std::vector<uint8_t>& b, std::size_t at, std::size_t units)
{
    std::string s;
    for (std::size_t i = 0; i < units && at + 2 * i + 1 < b.size() && (b[at + 2 * i] || b[at + 2 * i + 1]); ++i)
        s.push_back(char(b[at + 2 * i]));
    return s;
}

int WalkHub(Host& host, Handle hub, int& ports)
{
    std::vector<uint8_t> node(76);
    if (!host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, node.data(), 76, nullptr))
        return 0;
    int found = 0;
    for (uint32_t p = 1; p <= node[6]; ++p) {
        std::vector<uint8_t> info(388, 0);
        std::memcpy(info.data(), &p, 4);
        if (!host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, info.data(), 388, nullptr) ||
            info[31] != 1)
            continue;
        if (info[24]) {
            std::vector<uint8_t> name(520, 0);
            std::memcpy(name.data(), &p, 4);
            if (!host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, name.data(), 520, nullptr))
                continue;
            uint32_t actual;
            std::memcpy(&actual, name.data() + 4, 4);
            Handle child = host.OpenFile("\\\\.\\" + Utf16(name, 8, actual / 2), ACCESS_WRITE, SHARE_WRITE, false);
            found += WalkHub(host, child, ports);
            host.CloseHandle(child);
            continue;
        }
        ++ports;
        std::vector<uint8_t> key(10, 0);
        std::memcpy(key.data(), &p, 4);
        uint32_t actual = 0;
        if (!host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, key.data(), 10, nullptr) ||
            (std::memcpy(&actual, key.data() + 4, 4), actual <= 10))
            continue;
        key.assign(actual, 0);
        std::memcpy(key.data(), &p, 4);
        if (!host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, key.data(), actual, nullptr))
            continue;
        const std::string driverKey = Utf16(key, 8, (actual - 8) / 2);
        std::string text;
        if (DevNode n = Search(host, driverKey))
            host.GetNodeProperty(n, DEVNODE_PROP_DEVICEDESC, 512, text);
        if (DevNode n = Search(host, driverKey)) {
            std::string id;
            host.GetNodeInstanceId(n, 260, id);
            host.ReadMachineRegistryString("System\\CurrentControlSet\\Enum\\" + id + "\\Device Parameters",
                                           "SymbolicName", 260, text);
            ++found;
        }
    }
    return found;
}

void BM_WalkShapedRequests_100Ports(benchmark::State& state)
{
    World w;
    BuildHundredPortTopology(*w.bench);
    Host& host = *w.host;
    for (auto _ : state) {
        std::vector<std::string> ids;
        host.EnumeratePresentDevices("USB", 260, ids);
        int ports = 0, found = 0;
        for (const std::string& id : ids) {
            if (id.find("ROOT_HUB") == std::string::npos)
                continue;
            std::string name;
            host.ReadMachineRegistryString("SYSTEM\\CurrentControlSet\\Enum\\" + id + "\\Device Parameters",
                                           "SymbolicName", 260, name);
            Handle hub = host.OpenFile("\\\\.\\" + name.substr(4), ACCESS_WRITE, SHARE_WRITE, false);
            found += WalkHub(host, hub, ports);
            host.CloseHandle(hub);
        }
        if (ports != 100 || found != 90)
            state.SkipWithError("the walk did not see the topology");
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_WalkShapedRequests_100Ports)->Unit(benchmark::kMillisecond);

void BM_DeviceTreeSearch_100Ports(benchmark::State& state)
{
    World w;
    BuildHundredPortTopology(*w.bench);
    // The worst case: the driver key of the last node in pre-order that has one.
    Host& host = *w.host;
    std::string lastKey, key;
    DevNode last = NO_DEVNODE;
    for (DevNode n : DeviceTreePreOrder(host))
        if (host.GetNodeProperty(n, DEVNODE_PROP_DRIVER, 512, key))
            last = n, lastKey = key;
    for (auto _ : state)
        benchmark::DoNotOptimize(Search(*w.host, lastKey) == last);
}
BENCHMARK(BM_DeviceTreeSearch_100Ports)->Unit(benchmark::kMicrosecond);

void BM_ScanHostLinks_16Cables(benchmark::State& state)
{
    World w;
    BuildSixteenCableTopology(*w.bench);
    Host& host = *w.host;
    for (auto _ : state) {
        uint32_t mask = 0;
        for (int n = 1; n <= 32; ++n) {
            mask >>= 1;
            const std::string name = "\\\\.\\HOSTLNK-" + std::to_string(n);
            Handle c = host.OpenFile(name, ACCESS_READ | ACCESS_WRITE, SHARE_READ | SHARE_WRITE, false);
            Handle r = host.OpenFile(name + "\\3", ACCESS_READ, SHARE_READ, true);
            Handle wr = host.OpenFile(name + "\\2", ACCESS_WRITE, SHARE_WRITE, true);
            uint8_t b[12] = {0xC0, 0xF7, 0, 0, 0, 0, 2, 0};
            if (wr && host.DeviceIoControl(c, IOCTL_VENDOR_REQUEST, b, 12, nullptr) && (b[8] | b[9] << 8) == 0x0100)
                mask |= 0x80000000u;
            for (Handle h : {wr, r, c})
                host.CloseHandle(h);
        }
        if (mask != 0xFFFFFFFFu)
            state.SkipWithError("scan missed a device object");
    }
}
BENCHMARK(BM_ScanHostLinks_16Cables)->Unit(benchmark::kMicrosecond);

void BM_PatternBothWays_131071(benchmark::State& state)
{
    World w;
    BuildSixteenCableTopology(*w.bench);
    Host& host = *w.host;
    std::vector<uint8_t> out(131071), in(131071);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = uint8_t(i + 1);
    for (auto _ : state) {
        for (auto [reader, writer] : {std::pair{1, 2}, std::pair{2, 1}}) {
            Handle r = host.OpenFile("\\\\.\\HOSTLNK-" + std::to_string(reader) + "\\3", ACCESS_READ, SHARE_READ, true);
            Handle wr = host.OpenFile("\\\\.\\HOSTLNK-" + std::to_string(writer) + "\\2", ACCESS_WRITE, SHARE_WRITE, true);
            Overlapped ro{host.CreateEvent(false)}, wo{host.CreateEvent(false)};
            std::fill(in.begin(), in.end(), 0);
            host.ReadFile(r, in.data(), uint32_t(in.size()), ro);
            host.WriteFile(wr, out.data(), uint32_t(out.size()), wo);
            const Handle both[] = {ro.event, wo.event};
            if (host.WaitForEvents(both, true, 2000) != 0 || in != out)
                state.SkipWithError("pattern did not cross");
            host.GetOverlappedResult(r, ro, nullptr, true);
            host.GetOverlappedResult(wr, wo, nullptr, true);
            for (Handle h : {r, wr, ro.event, wo.event})
                host.CloseHandle(h);
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 2 * 131071);
}
BENCHMARK(BM_PatternBothWays_131071)->Unit(benchmark::kMicrosecond);

} // namespace
