#include "TamberApp.h"

#include "DeviceChangeRelay.h"
#include "HostMachine.h"
#include "ProductionDlg.h"

namespace production {

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
