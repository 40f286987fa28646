#include "TamberApp.h"

#include "GuiThread.h"
#include "HostMachine.h"
#include "ProductionDlg.h"


namespace production {

DeviceChangeRelay::DeviceChangeRelay(platform::Host &host, QObject *context, std::function<void()> call)
    : m_host(host)
{
    // Unsubscribing waits for a running callback, so `context` is alive whenever one runs; a call
    // still queued when the context goes is dropped by PostToGui.
    m_id = m_host.SubscribeDeviceChanges(
        [context, call](platform::DeviceChange) { PostToGui(context, [call] { call(); }); });
}

DeviceChangeRelay::~DeviceChangeRelay()
{
    m_host.UnsubscribeDeviceChanges(m_id);
}

int CTamberApp::Run()
{
    HostFlowMachine machine(m_host);
    platform::Host &host = m_host;
    CProductionDlg dlg(m_prompter, machine, HostCableRunner(m_host),
                       [&host] { return host.GetFileVersion(host.GetModuleFileName()); });
    DeviceChangeRelay relay(m_host, &dlg, [&dlg] { dlg.OnDeviceChange(); });
    return dlg.exec();
}

} // namespace production
