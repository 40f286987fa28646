// Tamber, the production-line tester for QT7730 bridge cables.

#include "ProgramOptions.h"
#include "Host.h"
#include "HostMachine.h"
#include "Prompter.h"
#include "TamberApp.h"
#include "TamberTexts.h"

#include <QApplication>

int main(int argc, char **argv)
{
    if (platform::AnswerVersion(argc, argv, "tamber"))
        return 0;
    if (platform::AnswerHelp(argc, argv,
                             "Usage: tamber\n"
                             "Tamber, the production-line tester of QT7730 bridge cables: checks every finished cable against an\n"
                             "image file and shows OK or N/G; outcomes are kept in the station's ledger. Its texts are English or,\n"
                             "with LANG=zh_CN.UTF-8, Simplified Chinese.\n"
                             "  --version  the version\n"
                             "  --help     this text\n"
                             "Environment:\n"
                             "  QT7730_HOST         sim (the default: this user's virtual bench) or usb (this PC's USB devices)\n"
                             "  VBENCH_HOME         the bench's home (default ~/.local/state/qt7730-vbench)\n"
                             "  QT7730_LEDGER_DB    the station's ledger (default /var/lib/qt7730-mfg-kit/ledger.db)\n"
                             "  QT7730_SETTINGS_DB  Numwell's settings store (default /var/lib/qt7730-mfg-kit/settings.db)\n"
                             "  QT7730_DATA_DIR     the kit's data folder with INF/qt7730.inf (default: the station's,\n"
                             "                      /var/lib/qt7730-mfg-kit, made from /usr/share/qt7730-mfg-kit)\n"
                             "  QT7730_INF_NAME     another INF file name in that folder (with QT7730_HOST=usb)\n"
                             "  DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM  where the window shows\n"
                             "Groups: qt7730-mfg (writes the store, the ledger and the INF), plugdev (USB cables, QT7730_HOST=usb).\n"))
        return 0;
    if (platform::SayNoDisplay("tamber"))
        return 2;
    production::KeepTransferBuffersInHeap();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tamber"));
    production::InstallTextTable(QLocale::system());
    QtPrompter prompter;
    production::CTamberApp tamber(platform::DefaultHost(), prompter, !platform::DefaultHostProblem().empty());
    tamber.Run();
    return 0;
}
