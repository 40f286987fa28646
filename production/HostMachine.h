#pragma once
// The flow's and the worker's machine made real: the device layer over platform::Host.

#include "BridgeDevice.h"
#include "FunctionTest.h"
#include "Host.h"
#include "ProductionFlow.h"
#include "TestWorker.h"
#include "UsbTreeWalker.h"

#include <QString>

namespace production {

// Keeps the data test's transfer buffers (131,071 bytes per direction) in the allocator's own heap.
// By default every buffer above 128 KiB is a fresh mapping from the kernel, faulted in page by page
// and unmapped again: a quarter of a millisecond per direction, and the workers of many cables at once
// queue on the process's one address-space lock for it (testing sixteen cables at once took 1.6 times
// one cable instead of 1.2). Up to 64 MiB freed is kept for the next cable. Call once at start,
// before any worker.
void KeepTransferBuffersInHeap();

// What Tamber says in its window at start, in the table's language: that no cable can be found
// while the bench is not running, and that results cannot be kept when this user cannot write the
// station's ledger (naming what it cannot write); empty when nothing is in the way.
QString StartupWarning(bool benchNotRunning);

// Scan, walk, presence and pending installations, on the flow's device worker. Owns the walk's tree.
class HostFlowMachine : public FlowMachine {
public:
    explicit HostFlowMachine(platform::Host &host) : m_host(host), m_walker(host) {}

    uint32_t ScanBridgeDevices(const std::atomic<bool> *stop) override;
    int WalkTopology(const std::function<PortMatch(const PortView &)> &visitor) override;
    bool IsInstallPending() override;
    bool IsDevicePresent(const std::string &instanceId) override;
    std::string DeviceNotice() override { return m_host.DeviceNotice(); }

    const UsbTreeWalker &Walker() const { return m_walker; }

private:
    platform::Host &m_host;
    UsbTreeWalker m_walker;
};

// Both sides of the cable for the worker thread: BridgeDevice per side, and the data transfers.
class HostCableIo : public CableIo {
public:
    explicit HostCableIo(platform::Host &host) : m_host(host) {}

    std::unique_ptr<SideDevice> NewSide() override;
    int TransferTest(const std::string &readPath, const std::string &writePath) override;

private:
    platform::Host &m_host;
};

// TestWorker over the Host: what the main window runs for each cable.
CableRunner HostCableRunner(platform::Host &host);

} // namespace production
