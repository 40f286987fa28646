#include "AboutDlg.h"

#include "AboutText.h"
#include "DialogUnits.h"
#include "QuillonIcon.h"

#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg(platform::Host &host, QWidget *parent) : QDialog(parent), m_host(host)
{
    setWindowTitle(editor::kAboutCaption);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    const DialogUnits du(font());
    du.fixSize(this, 235, 60);

    auto *icon = new QLabel(this);
    icon->setPixmap(QuillonIcon().pixmap(du.x(21), du.y(20)));
    du.place(icon, 11, 14, 21, 20);

    m_version = new QLabel(this);
    m_version->setObjectName("version");
    du.place(m_version, 40, 14, 130, 8);

    auto *second = new QLabel(editor::kAboutSecondLine, this);
    second->setObjectName("secondLine");
    du.place(second, 40, 28, 130, 8);

    auto *ok = new QPushButton("OK", this);
    ok->setDefault(true);
    du.place(ok, 178, 7, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

int CAboutDlg::exec()
{
    const auto line = editor::ReadAboutVersionLine(m_host);
    if (!line) {
        setResult(Rejected);
        return Rejected;
    }
    m_strVersion = QString::fromStdString(*line);
    m_version->setText(m_strVersion);
    return QDialog::exec();
}
