// Renders the programs' own drawn icons into the hicolor theme's PNG folders, at build time:
//   kit-render-icons OUTDIR  ->  OUTDIR/<n>x<n>/apps/qt7730-quillon.png, .../qt7730-tamber.png
// Runs on Qt's offscreen platform, so a build machine needs no display.

#include "QuillonIcon.h"
#include "TamberIcons.h"

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>

#include <cstdio>
#include <functional>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "Usage: kit-render-icons OUTDIR\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);

    struct Program {
        const char *name;
        std::function<QPixmap(int)> draw;
    };
    const Program programs[] = {
        {"qt7730-quillon", [](int size) { return DrawQuillonIcon(size); }},
        {"qt7730-tamber", [](int size) { return production::DrawIcon(production::IDI_PROGRAM, size); }},
    };
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(out).arg(size);
        if (!QDir().mkpath(folder)) {
            std::fprintf(stderr, "kit-render-icons: cannot create %s\n", qPrintable(folder));
            return 1;
        }
        for (const Program &program : programs) {
            const QPixmap pixmap = program.draw(size);
            const QString file = QStringLiteral("%1/%2.png").arg(folder, QLatin1String(program.name));
            if (pixmap.isNull() || pixmap.width() != size || !pixmap.save(file, "PNG")) {
                std::fprintf(stderr, "kit-render-icons: cannot write %s\n", qPrintable(file));
                return 1;
            }
        }
    }
    return 0;
}
