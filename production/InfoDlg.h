#pragma once
// EEPROM Info: at start the operator picks the batch's image file and confirms its USB identity.

#include "EepromImage.h"
#include "InfoFields.h"

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;
class Prompter;

namespace production {

class CInfoDlg : public QDialog {
public:
    static constexpr int kWidth = 301, kHeight = 98;
    static constexpr uint32_t kExpectedModel = 0x7730;

    explicit CInfoDlg(Prompter &prompter, QWidget *parent = nullptr);

    EepromImage *m_pImage = nullptr; // the opener's image, not owned
    QPushButton *m_btnStart = nullptr;
    QPushButton *m_btnCancel = nullptr;
    InfoFields m_fields;             // m_strVendorID ... m_bEnableSN

    // Runs the opening steps (file chooser, load, show) and then the dialog; ends with Cancel without
    // showing anything when there is no image or no file was loaded.
    int exec() override;

    bool OpenImageFile();
    bool ShowImage();

    void accept() override;

    QLineEdit *Field(int id) const; // 1000 to 1004
    QCheckBox *EnableSN() const { return m_chkEnableSN; }

private:
    void BuildTemplate();
    bool OnInitDialog();

    Prompter &m_prompter;
    QLineEdit *m_edits[5] = {};
    QCheckBox *m_chkEnableSN = nullptr;
};

} // namespace production
