#include "AboutDlg.h"

#include "DialogUnits.h"
#include "OwnerModal.h"
#include "TamberIcons.h"
#include "TamberTexts.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

namespace production {

QString VersionLine(const platform::FileVersion &version)
{
    return QStringLiteral("%1 %2.%3")
        .arg(QLatin1String(kProgramTitle))
        .arg(version.fileVersionMS >> 16)
        .arg(version.fileVersionMS & 0xFFFF);
}

CAboutDlg::CAboutDlg(VersionSource version, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_source(std::move(version))
{
    QFont dialogFont = QApplication::font();
    dialogFont.setPointSize(8);
    setFont(dialogFont);
    const DialogUnits du(font());
    du.fixSize(this, kWidth, kHeight);

    auto *icon = new QLabel(this);
    icon->setGeometry(du.x(11), du.y(17), kIconSize, kIconSize);
    icon->setPixmap(DrawIcon(IDI_PROGRAM));
    m_version = new QLabel(this);
    du.place(m_version, 40, 10, 119, 8);
    auto *notice = new QLabel(QStringLiteral("Copyright (C) 2026 Veltrona. All rights reserved."), this);
    du.place(notice, 40, 25, 166, 8);
    auto *ok = new QPushButton(QStringLiteral("OK"), this);
    du.place(ok, 178, 7, 50, 16);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

bool CAboutDlg::Prepare()
{
    setWindowTitle(LoadText(IDS_ABOUT_CAPTION).arg(QLatin1String(kProgramTitle)));
    const std::optional<platform::FileVersion> version = m_source ? m_source() : std::nullopt;
    if (!version) {
        setResult(Rejected);
        return false;
    }
    m_strVersion = VersionLine(*version);
    m_version->setText(m_strVersion);
    return true;
}

int CAboutDlg::exec()
{
    return Prepare() ? QDialog::exec() : Rejected;
}

int CAboutDlg::ExecModalTo(QWidget *owner)
{
    return Prepare() ? ExecModalToOwner(*this, owner) : Rejected;
}

} // namespace production
