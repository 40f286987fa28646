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
    if (platform::AnswerVersionOrHelp(argc, argv, "tamber",
                                      "Usage: tamber\n"
                                      "Tamber, the production-line tester of QT7730 bridge cables: checks every finished cable against an\n"
                                      "image file and shows OK or N/G; outcomes are kept in the station's ledger. Its texts are English or,\n"
                                      "with LANG=zh_CN.UTF-8, Simplified Chinese.\n"
                                      "  --version  the version\n"
                                      "  --help     this text\n"
                                          + std::string(platform::kWindowedProgramEnvironment)))
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
