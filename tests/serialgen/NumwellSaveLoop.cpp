// A kit program reduced to its numbering loop, for the crash and concurrency tests:
//   numwell_save_loop <seconds since 1970> <count, 0 = until killed>
// Initializes against the store named by QT7730_SETTINGS_DB (confirming the date dialog), then runs
// IncreaseSN + Save, printing "saved <counter>" after each Save that returned 1.

#include <cstdio>
#include <cstdlib>

#include <QApplication>

#include "ModalScript.h"
#include "Numwell.h"
#include "NumwellServices.h"

namespace {
struct Counter : CNumwellerator {
    int Value() const { return m_nLastSN; }
};
} // namespace

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    const std::int64_t now = std::strtoll(argv[1], nullptr, 10);
    const long count = std::strtol(argv[2], nullptr, 10);
    numwell::SetClock([now] { return now; });
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ModalScript script;
    script.Then([](QWidget *window) { ModalScript::Click(window, QStringLiteral("OK")); });

    Counter sn;
    if (!sn.Initialize())
        return 3;
    for (long i = 0; count == 0 || i < count; ++i) {
        sn.IncreaseSN();
        if (!sn.Save()) {
            std::printf("failed %d\n", sn.Value());
            return 4;
        }
        std::printf("saved %d\n", sn.Value());
        std::fflush(stdout);
    }
    return 0;
}
