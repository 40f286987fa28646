#include "DetectDlg.h"

#include "DialogUnits.h"
#include "GuiThread.h"
#include "TamberIcons.h"
#include "TamberTexts.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace production {

CDetectDlg::CDetectDlg(QDialog *owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_pOwner(owner)
{
    setModal(false);
}

CDetectDlg::~CDetectDlg()
{
    for (QPixmap &icon : m_hIcons)
        icon = QPixmap();
}

void CDetectDlg::Create()
{
    setFont(QFont(QStringLiteral("Arial"), 10));
    const DialogUnits du(font());
    du.fixSize(this, kWidth, kHeight);
    setWindowTitle(QStringLiteral("Dialog"));

    m_btnOK = new QPushButton(this);
    du.place(m_btnOK, 75, 58, 45, 11);
    m_btnOK->setDefault(true);
    connect(m_btnOK, &QPushButton::clicked, this, &QDialog::accept);
    m_btnCancel = new QPushButton(this);
    du.place(m_btnCancel, 128, 58, 45, 11);
    connect(m_btnCancel, &QPushButton::clicked, this, &CDetectDlg::reject);

    m_stcPrompt = new QLabel(this);
    du.place(m_stcPrompt, 66, 11, 122, 25);
    m_stcPrompt->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_stcPrompt->setWordWrap(true);

    m_stcIcon = new QLabel(this);
    // An icon static takes the icon's real size at its template position.
    m_stcIcon->setGeometry(du.x(21), du.y(7), kIconSize, kIconSize);

    m_stcResult = new CRedStatic(this);
    du.place(m_stcResult, 1, 35, 72, 34);

    m_stcDetail = new QLabel(this);
    du.place(m_stcDetail, 66, 33, 122, 25);
    m_stcDetail->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_stcDetail->setWordWrap(true);

    UpdateData();
    setWindowTitle(m_strTitle);
    m_btnOK->setText(LoadText(IDS_OK));
    m_btnCancel->setText(LoadText(IDS_CANCEL));
    if (!m_bShowOK) {
        m_btnOK->hide();
        QRect cancel = m_btnCancel->geometry();
        cancel.moveLeft((width() - cancel.width()) / 2);
        m_btnCancel->setGeometry(cancel);
    }
    for (int i = 0; i < 5; ++i)
        m_hIcons[i] = DrawIcon(IDI_SEARCHING + i);
    ShowIcon(IDI_SEARCHING);
}

void CDetectDlg::ShowIcon(int id)
{
    const int index = id - IDI_SEARCHING;
    if (index < 0 || index > 4 || !m_stcIcon)
        return;
    m_stcIcon->setPixmap(m_hIcons[index]);
    m_nShownIcon = id;
}

void CDetectDlg::UpdateData()
{
    if (m_stcPrompt)
        m_stcPrompt->setText(m_strPrompt);
    if (m_stcDetail)
        m_stcDetail->setText(m_strDetail);
}

void CDetectDlg::reject()
{
    // Cancel or the close box: hide, then let the main window end the program.
    QDialog::reject();
    if (m_pOwner) {
        QDialog *owner = m_pOwner;
        PostToGui(owner, [owner] { owner->reject(); });
    }
}

void CDetectDlg::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // Centred once, when it first appears; after that it stays where the operator put it.
    const bool first = !m_bPlaced;
    m_bPlaced = true;
    if (!first) {
        raise();
        activateWindow();
        return;
    }
    if (const QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    raise();
    activateWindow();
}

} // namespace production
