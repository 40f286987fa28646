#include "ProgramOptions.h"
#include "QuillonApp.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (platform::AnswerVersion(argc, argv, "quillon"))
        return 0;
    if (platform::AnswerHelp(argc, argv,
                             "Usage: quillon\n"
                             "Quillon, the EEPROM editor of QT7730 bridge cables: builds a cable's USB identity, writes it into\n"
                             "the cable (Config), teaches the driver's INF the new IDs and saves the image file for the line.\n"
                             "Outcomes are kept in the station's ledger.\n"
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
    if (platform::SayNoDisplay("quillon"))
        return 2;
    QApplication app(argc, argv);
    // Message boxes without a caption of their own carry the program's name.
    QApplication::setApplicationName("Quillon");
    CQuillonApp quillon;
    return quillon.InitInstance() ? QApplication::exec() : 0;
}
