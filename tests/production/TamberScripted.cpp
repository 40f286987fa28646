// Tamber as the operator runs it (the process's Host: the bench daemon), except that the file chooser
// is answered from the command line and Start is pressed after a pause: for screenshots and demos
// under Xvfb, where nobody can type into a file dialog.
//
//   tamber_scripted IMAGE.eep [milliseconds before Start, default 3000]

#include "Host.h"
#include "InfoDlg.h"
#include "ScriptedPrompter.h"
#include "TamberApp.h"
#include "TamberTexts.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tamber"));
    if (argc < 2) {
        std::fprintf(stderr, "usage: tamber_scripted IMAGE.eep [milliseconds before Start]\n");
        return 2;
    }
    production::InstallTextTable(QLocale::system());
    ScriptedPrompter prompter;
    prompter.OpenNext(QString::fromLocal8Bit(argv[1]));
    const int pause = argc > 2 ? std::atoi(argv[2]) : 3000;
    QTimer::singleShot(pause, [] {
        if (auto *info = dynamic_cast<production::CInfoDlg *>(QApplication::activeModalWidget()))
            info->m_btnStart->click();
    });
    production::CTamberApp tamber(platform::DefaultHost(), prompter);
    tamber.Run();
    for (const auto &shown : prompter.shown())
        std::fprintf(stderr, "message: %s\n", shown.text.toLocal8Bit().constData());
    return 0;
}
