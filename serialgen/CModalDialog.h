#pragma once
// A modal dialog laid out from a dialog template: positions and sizes in dialog units of the
// template's font, an OK and a Cancel button, and an initialisation step that may end the dialog
// before it is ever shown.

#include <optional>

#include <QDialog>

class QPushButton;

class CModalDialog : public QDialog {
public:
    // Runs the initialisation step, then (unless it ended the dialog) the modal loop.
    // Returns QDialog::Accepted (OK) or QDialog::Rejected (Cancel).
    int DoModal();

    static constexpr int IDOK = 1;
    static constexpr int IDCANCEL = 2;

protected:
    CModalDialog(const char *caption, int widthDlu, int heightDlu);

    // Called before the dialog shows; ending the dialog here means it is never seen.
    virtual void OnInitDialog() {}
    // The OK button (and Enter); the default accepts.
    virtual void OnOK() { accept(); }

    void EndDialog(int result);
    QRect Dlu(int x, int y, int width, int height) const;
    QPushButton *AddButton(const char *text, int id, QRect place, bool isDefault);

private:
    int m_baseX;
    int m_baseY;
    bool m_initialising = false;
    std::optional<int> m_endedEarly;
};
