// A program that numbers units the way the kit program outside this repository does: it includes
// the installed Numwell.h, links libNumwell and allocates CNumwellerator itself. A stand-in operator
// answers the library's dialogs: it picks the station given on the command line and confirms the
// date (and prints the date the dialog shows).
//
//   numwell-caller STATION COUNT   prints the caption, the last saved number and COUNT new ones,
//                                  each saved; exit status 1 when Initialize or a Save fails

#include <Numwell.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: numwell-caller STATION COUNT\n");
        return 2;
    }
    const int station = std::atoi(argv[1]);
    const int count = std::atoi(argv[2]);

    QApplication app(argc, argv);
    QTimer standIn;
    QObject::connect(&standIn, &QTimer::timeout, [station] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog || !dialog->isVisible())
            return;
        if (auto *list = dialog->findChild<QComboBox *>(QStringLiteral("stationList")))
            list->setCurrentIndex(station);
        if (auto *date = dialog->findChild<QLabel *>(QStringLiteral("dateText")))
            std::printf("date dialog: %s\n", qPrintable(date->text().section(QLatin1Char('\n'), 0, 0)));
        for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
            if (button->text().remove(QLatin1Char('&')) == QLatin1String("OK")) {
                button->click();
                return;
            }
        }
    });
    standIn.start(20);

    CNumwellerator numbers;
    if (!numbers.Initialize()) {
        std::fprintf(stderr, "numwell-caller: Initialize failed\n");
        return 1;
    }
    std::printf("title: %s\n", numbers.GetTitle());
    std::printf("last: %s\n", numbers.GetSN());
    for (int i = 0; i < count; ++i) {
        numbers.IncreaseSN();
        if (!numbers.Save()) {
            std::fprintf(stderr, "numwell-caller: Save failed for %s\n", numbers.GetSN());
            return 1;
        }
        std::printf("issued: %s\n", numbers.GetSN());
    }
    return 0;
}
