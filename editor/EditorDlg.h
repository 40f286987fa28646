#pragma once
// Quillon's main window: the USB identity a cable is to get, "Config" to write it into one cable,
// then "Save" to store the image file. The decisions live in editor::EditorModel.

#include "EditorModel.h"
#include "Host.h"
#include "Prompter.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QLineEdit;
class QPushButton;

class CEditorDlg : public QDialog {
public:
    // Runs the configuration dialog on the image; returns its result (Rejected: the cable was not
    // configured).
    using ConfigRunner = std::function<int(QWidget *parent, EepromImage *image)>;

    CEditorDlg(Prompter &prompter, platform::Host &host, ConfigRunner runConfig,
               editor::Clock clock = editor::LocalClock, QWidget *parent = nullptr);

    editor::EditorModel &Model() { return m_model; }

    void OnConfig();
    void LoadImageFile();
    bool SaveImageFile();
    void ShowAbout();

    // Widgets by role, for the program's own wiring and for tests.
    QLineEdit *VendorIdEdit() const { return m_vendorId; }
    QLineEdit *ProductIdEdit() const { return m_productId; }
    QLineEdit *RevisionEdit() const { return m_revision; }
    QLineEdit *VendorDescEdit() const { return m_vendorDesc; }
    QLineEdit *ProductDescEdit() const { return m_productDesc; }
    QCheckBox *EnableSnBox() const { return m_enableSn; }
    QPushButton *ConfigButton() const { return m_config; }
    QPushButton *LoadButton() const { return m_load; }
    QPushButton *CancelButton() const { return m_cancel; }

private:
    void BuildLayout();
    void ReadControls();
    void ShowMembers();
    void OnHexEdited(editor::HexField field, QLineEdit *edit);
    bool BuildImage();
    void EnterConfigured();
    void Tell(const char *text, const char *caption = nullptr);

    Prompter &m_prompter;
    platform::Host &m_host;
    ConfigRunner m_runConfig;
    editor::EditorModel m_model;

    QLineEdit *m_vendorId = nullptr;
    QLineEdit *m_productId = nullptr;
    QLineEdit *m_revision = nullptr;
    QLineEdit *m_vendorDesc = nullptr;
    QLineEdit *m_productDesc = nullptr;
    QCheckBox *m_enableSn = nullptr;
    QPushButton *m_config = nullptr;
    QPushButton *m_load = nullptr;
    QPushButton *m_cancel = nullptr;
};
