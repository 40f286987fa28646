#pragma once
// The prompt window that stays in front of the main window: what to do next, a picture for the stage,
// and the last cable's verdict. Modeless; created hidden; the main window fills and shows it.

#include "RedStatic.h"

#include <QDialog>
#include <QPixmap>
#include <QString>

#include <array>

class QLabel;
class QPushButton;

namespace production {

class CDetectDlg : public QDialog {
public:
    // Template 133, in dialog units of its font (Arial, 10 points).
    static constexpr int kWidth = 195, kHeight = 76;

    explicit CDetectDlg(QDialog *owner);
    ~CDetectDlg() override;

    // Builds the controls from the template; the creator sets m_strTitle and m_bShowOK first.
    void Create();

    // Shows icon 132 to 136 in the picture control; any other id changes nothing.
    void ShowIcon(int id);

    // Pushes m_strPrompt and m_strDetail into their controls.
    void UpdateData();

    QPushButton *m_btnCancel = nullptr;
    QPushButton *m_btnOK = nullptr;
    QString m_strDetail;
    QDialog *m_pOwner = nullptr;
    std::array<QPixmap, 5> m_hIcons;
    int m_bShowOK = 1;
    QString m_strPrompt;
    QString m_strTitle;
    QLabel *m_stcIcon = nullptr;
    CRedStatic *m_stcResult = nullptr;
    QLabel *m_stcPrompt = nullptr; // static 1001
    QLabel *m_stcDetail = nullptr; // static 1003

    int ShownIcon() const { return m_nShownIcon; }

    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    int m_nShownIcon = 0;
    bool m_bPlaced = false;
};

} // namespace production
