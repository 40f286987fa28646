#include "TamberApp.h"

#include "DeviceChangeRelay.h"
#include "HostMachine.h"
#include "Prompter.h"
#include "ProductionDlg.h"
#include "TamberTexts.h"

#include <QTimer>

namespace production {

int CTamberApp::Run()
{
    HostFlowMachine machine(m_host);
    platform::Host &host = m_host;
    CProductionDlg dlg(m_prompter, machine, HostCableRunner(m_host),
                       [&host] { return host.GetFileVersion(host.GetModuleFileName()); });
    DeviceChangeRelay relay(m_host, &dlg, [&dlg] { dlg.OnDeviceChange(); });
    dlg.m_titleSuffix = QString::fromStdString(platform::DefaultHostTitleSuffix());
    // Said in the window once it shows: operators started from the menu never see stderr.
    if (const QString warning = StartupWarning(m_benchNotRunning); !warning.isEmpty())
        QTimer::singleShot(0, &dlg, [this, &dlg, warning] {
            m_prompter.Message(&dlg, warning, LoadText(IDS_ATTENTION), MessageButtons::Ok, MessageIcon::Warning);
        });
    return dlg.exec();
}

} // namespace production
