#pragma once
// The flow's and the worker's machine made real: the device layer over platform::Host.

#include "BridgeDevice.h"
#include "FunctionTest.h"
#include "Host.h"
#include "ProductionFlow.h"
#include "TestWorker.h"
#include "UsbTreeWalker.h"

namespace production {

// Scan, walk, presence and pending installations, on the dialog thread. Owns the walk's tree.
class HostFlowMachine : public FlowMachine {
public:
    explicit HostFlowMachine(platform::Host &host) : m_host(host), m_walker(host) {}

    uint32_t ScanBridgeDevices() override;
    int WalkTopology(const std::function<PortMatch(const PortView &)> &visitor) override;
    bool IsInstallPending() override;
    bool IsDevicePresent(const std::string &instanceId) override;

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
