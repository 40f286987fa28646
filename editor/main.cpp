#include "ProgramOptions.h"
#include "QuillonApp.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (platform::AnswerVersionOrHelp(argc, argv, "quillon",
                                      "Usage: quillon\n"
                                      "Quillon, the EEPROM editor of QT7730 bridge cables: builds a cable's USB identity, writes it into\n"
                                      "the cable (Config), teaches the driver's INF the new IDs and saves the image file for the line.\n"
                                      "Outcomes are kept in the station's ledger.\n"
                                      "  --version  the version\n"
                                      "  --help     this text\n"
                                          + std::string(platform::kWindowedProgramEnvironment)))
        return 0;
    if (platform::SayNoDisplay("quillon"))
        return 2;
    QApplication app(argc, argv);
    // Message boxes without a caption of their own carry the program's name.
    QApplication::setApplicationName("Quillon");
    CQuillonApp quillon;
    return quillon.InitInstance() ? QApplication::exec() : 0;
}
