#pragma once
// Tamber's main window: the log of the cable under test, the prompt window in front of it, and the
// production flow driving both.

#include "AboutDlg.h"
#include "DetectDlg.h"
#include "EepromImage.h"
#include "ProductionFlow.h"

#include <QDialog>

#include <memory>

class Prompter;
class QPlainTextEdit;
class WindowTimers;

namespace production {

inline constexpr int IDM_ABOUTBOX = 0x0010;
inline constexpr const char *kMakerName = "Veltrona";

class CProductionDlg : public QDialog, public FlowView {
public:
    static constexpr int kWidth = 320, kHeight = 201;

    CProductionDlg(Prompter &prompter, FlowMachine &machine, CableRunner runner,
                   CAboutDlg::VersionSource version, QWidget *parent = nullptr);
    ~CProductionDlg() override;

    // Start-up: the EEPROM Info dialog first; its Cancel ends the window at once.
    int exec() override;
    void reject() override;

    // A device-change broadcast, delivered on this window's thread.
    void OnDeviceChange();
    void OnSysCommand(int command);
    void OpenAboutBox();

    // FlowView
    void ArmTimer(int id, int ms) override;
    void KillTimer(int id) override;
    void ShowIcon(int id) override;
    void ShowResult(const std::string &text, bool green) override;
    void HideResult() override;
    void UpdatePrompt(const std::string &prompt, const std::string &detail) override;
    void ShowPrompt(bool visible) override;
    void SetLogText(const std::string &wholeLog) override;
    void PostToDialogThread(std::function<void()> call) override;

    EepromImage m_image;
    QString m_titleSuffix; // " - virtual bench" on the bench
    std::unique_ptr<CDetectDlg> m_pDetectDlg;
    CAboutDlg *m_pAboutDlg = nullptr;
    QPlainTextEdit *m_log = nullptr;

    ProductionFlow &Flow() { return *m_flow; }
    WindowTimers &Timers() { return *m_timers; }
    QString AboutCommandText() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool OnInitDialog();
    void AddAboutCommand();

    Prompter &m_prompter;
    CAboutDlg::VersionSource m_version;
    QIcon m_hIcon;
    WindowTimers *m_timers = nullptr;      // child QObject
    std::unique_ptr<ProductionFlow> m_flow; // destroyed first: waits for the worker
};

} // namespace production
