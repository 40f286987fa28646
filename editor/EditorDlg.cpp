#include "EditorDlg.h"

#include "AboutDlg.h"
#include "AboutText.h"
#include "DialogUnits.h"
#include "QuillonIcon.h"
#include "SystemMenu.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QValidator>

using editor::HexField;

namespace {

// The descriptor texts are 8-bit in the image: a character it cannot hold is refused as typed,
// never replaced behind the operator's back.
class DescriptorTextValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString &input, int &) const override
    {
        for (const QChar c : input)
            if (!editor::IsDescriptorChar(c.unicode()))
                return Invalid;
        return Acceptable;
    }
};

std::string ToEightBit(const QString &text) { return text.toLatin1().toStdString(); }
QString FromEightBit(const std::string &text) { return QString::fromLatin1(text.data(), qsizetype(text.size())); }

// A loaded text longer than the edit's limit is shown whole, so that reading the fields back does
// not cut it; the limit is raised for that edit only.
void SetText(QLineEdit *edit, const std::string &text, int limit)
{
    const QString shown = FromEightBit(text);
    edit->setMaxLength(std::max<int>(limit, int(shown.size())));
    edit->setText(shown);
}

} // namespace

CEditorDlg::CEditorDlg(Prompter &prompter, platform::Host &host, ConfigRunner runConfig, editor::Clock clock,
                       QWidget *parent)
    : QDialog(parent), m_prompter(prompter), m_host(host), m_runConfig(std::move(runConfig)),
      m_model(std::move(clock))
{
    BuildLayout();
    setWindowTitle(editor::kEditorTitle);
    setWindowIcon(QuillonIcon());
    ShowMembers();

    // The About item (command 0x10) goes into the window's system menu; where there is none to
    // extend, it lives in the dialog's context menu.
    if (AppendSystemMenuItem(this, 0x10, editor::kAboutMenuItem, [this] { ShowAbout(); }))
        return;
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        QMenu menu(this);
        menu.addAction(editor::kAboutMenuItem, this, &CEditorDlg::ShowAbout);
        menu.exec(mapToGlobal(at));
    });
}

void CEditorDlg::BuildLayout()
{
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    const DialogUnits du(font());
    du.fixSize(this, 301, 97);

    auto *group = new QGroupBox("USB Descriptor Table", this);
    du.place(group, 7, 4, 232, 86);

    const auto label = [&](const char *text, int x, int y, int w) {
        auto *l = new QLabel(text, this);
        du.place(l, x, y + 2, w, 8);
        return l;
    };
    const auto edit = [&](const char *name, int x, int y, int w, int limit) {
        auto *e = new QLineEdit(this);
        e->setObjectName(name);
        e->setMaxLength(limit);
        du.place(e, x, y, w, 12);
        return e;
    };
    const int hex = editor::kHexFieldLimit, text = editor::kTextFieldLimit;
    label("Vendor ID:", 15, 16, 50)->setBuddy(m_vendorId = edit("vendorId", 68, 16, 36, hex));
    label("Product ID:", 130, 16, 48)->setBuddy(m_productId = edit("productId", 180, 16, 36, hex));
    label("Revision:", 15, 31, 50)->setBuddy(m_revision = edit("revision", 68, 31, 36, hex));
    label("Vendor Desc:", 15, 46, 50)->setBuddy(m_vendorDesc = edit("vendorDesc", 68, 46, 163, text));
    label("Product Desc:", 15, 61, 50)->setBuddy(m_productDesc = edit("productDesc", 68, 61, 163, text));
    m_vendorDesc->setValidator(new DescriptorTextValidator(m_vendorDesc));
    m_productDesc->setValidator(new DescriptorTextValidator(m_productDesc));

    m_enableSn = new QCheckBox("Enable S/N", this);
    m_enableSn->setObjectName("enableSn");
    du.place(m_enableSn, 68, 76, 70, 10);

    const auto button = [&](const char *text, const char *name, int y) {
        auto *b = new QPushButton(text, this);
        b->setObjectName(name);
        du.place(b, 245, y, 50, 14);
        return b;
    };
    m_config = button("Config", "config", 7);
    m_load = button("Load", "load", 25);
    m_cancel = button("Cancel", "cancel", 43);
    // Enter presses the button that has the keyboard focus, and Config (or Save) only when no button
    // has it: an operator who tabs to Cancel and presses Enter cancels, never programs a cable.
    m_config->setDefault(true);
    m_load->setAutoDefault(true);
    m_cancel->setAutoDefault(true);

    connect(m_config, &QPushButton::clicked, this, &CEditorDlg::OnConfig);
    connect(m_load, &QPushButton::clicked, this, &CEditorDlg::LoadImageFile);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_vendorId, &QLineEdit::textEdited, this, [this] { OnHexEdited(HexField::VendorId, m_vendorId); });
    connect(m_productId, &QLineEdit::textEdited, this, [this] { OnHexEdited(HexField::ProductId, m_productId); });
    connect(m_revision, &QLineEdit::textEdited, this, [this] { OnHexEdited(HexField::Revision, m_revision); });
}

void CEditorDlg::ReadControls()
{
    editor::EditorFields &f = m_model.m_fields;
    f.m_strVendorId = ToEightBit(m_vendorId->text());
    f.m_strProductId = ToEightBit(m_productId->text());
    f.m_strRevision = ToEightBit(m_revision->text());
    f.m_strVendorDesc = ToEightBit(m_vendorDesc->text());
    f.m_strProductDesc = ToEightBit(m_productDesc->text());
    f.m_bEnableSN = m_enableSn->isChecked();
}

void CEditorDlg::ShowMembers()
{
    const editor::EditorFields &f = m_model.m_fields;
    SetText(m_vendorId, f.m_strVendorId, editor::kHexFieldLimit);
    SetText(m_productId, f.m_strProductId, editor::kHexFieldLimit);
    SetText(m_revision, f.m_strRevision, editor::kHexFieldLimit);
    SetText(m_vendorDesc, f.m_strVendorDesc, editor::kTextFieldLimit);
    SetText(m_productDesc, f.m_strProductDesc, editor::kTextFieldLimit);
    m_enableSn->setChecked(f.m_bEnableSN);
}

void CEditorDlg::Tell(const char *text, const char *caption)
{
    m_prompter.Message(this, QString::fromUtf8(text), caption ? QString::fromUtf8(caption) : QString());
}

void CEditorDlg::OnHexEdited(HexField field, QLineEdit *edit)
{
    const std::string kept = m_model.HexMember(field);
    const std::string typed = ToEightBit(edit->text());
    ReadControls();
    m_model.HexMember(field) = kept;
    if (const char *refused = m_model.CheckHexField(field, typed)) {
        Tell(refused);
        ShowMembers();
    }
}

bool CEditorDlg::BuildImage()
{
    const editor::BuildOutcome outcome = m_model.BuildImage();
    switch (outcome.status) {
    case editor::BuildOutcome::Built:
        return true;
    case editor::BuildOutcome::Refused:
        Tell(outcome.message);
        return false;
    case editor::BuildOutcome::NeedsConsent:
        break;
    }
    return m_prompter.Message(this, outcome.message, editor::kShortSerialCaption, MessageButtons::YesNo,
                              MessageIcon::Warning) == MessageResult::Yes;
}

void CEditorDlg::OnConfig()
{
    ReadControls();
    if (m_model.m_nState == editor::EditorModel::Configured) {
        if (SaveImageFile())
            accept();
        return;
    }
    if (!BuildImage())
        return;
    m_model.m_nState = editor::EditorModel::Configured;
    if (m_runConfig(this, &m_model.m_image) == QDialog::Rejected) {
        m_model.m_nState = editor::EditorModel::Editing;
        return;
    }
    EnterConfigured();
}

void CEditorDlg::EnterConfigured()
{
    m_config->setText("Save");
    for (QWidget *input : std::initializer_list<QWidget *>{m_vendorId, m_productId, m_revision, m_vendorDesc,
                                                           m_productDesc, m_enableSn, m_load})
        input->setEnabled(false);
}

bool CEditorDlg::SaveImageFile()
{
    const QString path = m_prompter.SaveFileName(
        this, {{"Eeprom file", "*.eep"}, QString::fromStdString(editor::InitialImageFileName()), "eep"});
    if (path.isEmpty())
        return false;
    if (!m_model.SaveImageFile(path.toStdString())) {
        Tell(editor::kSaveFailed);
        return false;
    }
    return true;
}

void CEditorDlg::LoadImageFile()
{
    if (m_model.m_nState != editor::EditorModel::Editing)
        return;
    const QString path = m_prompter.OpenFileName(this, {"Eeprom file", "*.eep;*.sdt"});
    if (path.isEmpty())
        return;
    const editor::LoadOutcome outcome = m_model.LoadImageFile(path.toStdString());
    if (outcome.code < 0) {
        Tell(EepromImage::ErrorText(outcome.code));
        return;
    }
    if (!outcome.shown) {
        Tell(editor::kShowFailed, editor::kShowFailedCaption);
        return;
    }
    ShowMembers();
}

void CEditorDlg::ShowAbout()
{
    CAboutDlg about(m_host, this);
    about.exec();
}
