// Tamber, the production-line tester for QT7730 bridge cables.

#include "Host.h"
#include "HostMachine.h"
#include "Prompter.h"
#include "TamberApp.h"
#include "TamberTexts.h"

#include <QApplication>

int main(int argc, char **argv)
{
    production::KeepTransferBuffersInHeap();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tamber"));
    production::InstallTextTable(QLocale::system());
    QtPrompter prompter;
    production::CTamberApp tamber(platform::DefaultHost(), prompter);
    tamber.Run();
    return 0;
}
