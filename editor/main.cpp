#include "QuillonApp.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Message boxes without a caption of their own carry the program's name.
    QApplication::setApplicationName("Quillon");
    CQuillonApp quillon;
    return quillon.InitInstance() ? QApplication::exec() : 0;
}
