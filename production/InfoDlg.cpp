#include "InfoDlg.h"

#include "DialogUnits.h"
#include "Prompter.h"
#include "TamberTexts.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <cstring>

namespace production {

namespace {

QLabel *AddLabel(QWidget *parent, const DialogUnits &du, const char *text, int x, int y, int w, int h,
                 Qt::Alignment align)
{
    auto *label = new QLabel(QString::fromLatin1(text), parent);
    du.place(label, x, y, w, h);
    label->setAlignment(align);
    return label;
}

} // namespace

CInfoDlg::CInfoDlg(Prompter &prompter, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_prompter(prompter)
{
    BuildTemplate();
}

void CInfoDlg::BuildTemplate()
{
    // "MS Shell Dlg", 8 points: the system's dialog face at that size.
    QFont dialogFont = QApplication::font();
    dialogFont.setPointSize(8);
    setFont(dialogFont);
    const DialogUnits du(font());
    du.fixSize(this, kWidth, kHeight);
    setWindowTitle(QStringLiteral("QT7730 EEPROM Info"));

    auto *group = new QGroupBox(QStringLiteral("USB Descriptor Table"), this);
    du.place(group, 7, 7, 210, 84);

    const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;
    struct FieldSpec {
        const char *label;
        int lx, ly, fx, fw;
    };
    const FieldSpec specs[5] = {
        {"Vendor ID:", 13, 17, 67, 40},    {"Product ID:", 113, 17, 167, 40}, {"Revision:", 13, 32, 67, 40},
        {"Vendor Desc:", 13, 47, 67, 100}, {"Product Desc:", 13, 62, 67, 100},
    };
    for (int i = 0; i < 5; ++i) {
        AddLabel(this, du, specs[i].label, specs[i].lx, specs[i].ly, 50, 12, right);
        m_edits[i] = new QLineEdit(this);
        du.place(m_edits[i], specs[i].fx, specs[i].ly, specs[i].fw, 12);
        m_edits[i]->setReadOnly(true);
    }
    m_chkEnableSN = new QCheckBox(this);
    du.place(m_chkEnableSN, 67, 78, 8, 8);
    m_chkEnableSN->setEnabled(false);
    AddLabel(this, du, "Enable S/N", 79, 78, 74, 8, Qt::AlignLeft | Qt::AlignVCenter);

    m_btnStart = new QPushButton(QStringLiteral("Config"), this);
    du.place(m_btnStart, 234, 12, 50, 16);
    m_btnStart->setDefault(true);
    connect(m_btnStart, &QPushButton::clicked, this, &CInfoDlg::accept);
    m_btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    du.place(m_btnCancel, 234, 34, 50, 16);
    connect(m_btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    // Tab order follows the template: fields, then the buttons.
    for (int i = 0; i + 1 < 5; ++i)
        setTabOrder(m_edits[i], m_edits[i + 1]);
    setTabOrder(m_edits[4], m_btnStart);
    setTabOrder(m_btnStart, m_btnCancel);
}

QLineEdit *CInfoDlg::Field(int id) const
{
    return id >= 1000 && id <= 1004 ? m_edits[id - 1000] : nullptr;
}

bool CInfoDlg::OnInitDialog()
{
    if (!m_pImage || !OpenImageFile())
        return false;
    if (m_pImage->m_bBlank)
        QMetaObject::invokeMethod(this, &CInfoDlg::accept, Qt::QueuedConnection);
    m_btnStart->setText(LoadText(IDS_START));
    m_btnCancel->setText(LoadText(IDS_CANCEL));
    return true;
}

int CInfoDlg::exec()
{
    if (!OnInitDialog()) {
        setResult(Rejected);
        return Rejected;
    }
    return QDialog::exec();
}

bool CInfoDlg::OpenImageFile()
{
    const QString path = m_prompter.OpenFileName(this, {QStringLiteral("Eeprom file"), QStringLiteral("*.eep")});
    if (path.isEmpty())
        return false;
    uint8_t saved[EepromImage::kImageSize];
    std::memcpy(saved, m_pImage->Bytes(), sizeof saved);
    const int result = m_pImage->LoadFile(path.toLocal8Bit().toStdString(), kExpectedModel);
    if (result < 0) {
        std::memcpy(m_pImage->Bytes(), saved, sizeof saved);
        m_prompter.Message(this, QString::fromLatin1(EepromImage::ErrorText(result)), QString(), MessageButtons::Ok,
                           MessageIcon::Warning);
        return false;
    }
    ShowImage();
    return true;
}

bool CInfoDlg::ShowImage()
{
    InfoFields fields = m_fields;
    const bool read = ReadInfoFields(*m_pImage, fields);
    m_fields = fields;
    if (!read) {
        m_prompter.Message(this, QStringLiteral("Can't open file!"), QStringLiteral("File Error"), MessageButtons::Ok,
                           MessageIcon::Warning);
        // The fields stay empty; with nothing valid to hand over, Start stays off and only Cancel
        // leaves the dialog.
        m_btnStart->setEnabled(false);
        return false;
    }
    m_edits[0]->setText(QString::fromStdString(m_fields.m_strVendorID));
    m_edits[1]->setText(QString::fromStdString(m_fields.m_strProductID));
    m_edits[2]->setText(QString::fromStdString(m_fields.m_strRevision));
    m_edits[3]->setText(QString::fromLatin1(m_fields.m_strVendorDesc.c_str()));
    m_edits[4]->setText(QString::fromLatin1(m_fields.m_strProductDesc.c_str()));
    m_chkEnableSN->setChecked(m_fields.m_bEnableSN != 0);
    m_btnStart->setEnabled(true);
    return true;
}

void CInfoDlg::accept()
{
    // The fields are read-only, so taking them back changes nothing but keeps the members honest.
    m_fields.m_strVendorID = m_edits[0]->text().toStdString();
    if (!IsHex4(m_fields.m_strVendorID) || !IsHex4(m_fields.m_strSelectedPID))
        return;
    QDialog::accept();
}

} // namespace production
