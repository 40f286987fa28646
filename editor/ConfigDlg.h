#pragma once
// The configuration dialog: waits for one cable with the chip's default identity, then a worker thread
// writes the editor's image into its EEPROM, reads it back and compares; the dialog ends with
// Accepted (configured) or Rejected (failed, cancelled, or no image).

#include "ConfigWorker.h"
#include "DeviceChangeRelay.h"
#include "DeviceWorker.h"
#include "Host.h"
#include "Prompter.h"
#include "UsbTreeWalker.h"

#include <QDialog>
#include <QString>

#include <atomic>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

class QPlainTextEdit;
class WindowTimers;

class CConfigDlg : public QDialog {
public:
    CConfigDlg(platform::Host &host, Prompter &prompter, QWidget *parent = nullptr);
    ~CConfigDlg() override;

    // Dialog start, then the modal loop. Without an image it ends at once with Rejected.
    int exec() override;
    // Refused while the worker runs: the worker uses this dialog and the caller's image until it ends.
    void done(int result) override;

    EepromImage *m_pImage = nullptr; // not owned; the caller keeps it alive and untouched meanwhile
    QString m_strLog;                // the log as written, "\r\n" line ends included

    bool WorkerRunning() const { return m_workerRunning.load(); }
    QPlainTextEdit *LogEdit() const { return m_log; }

protected:
    // Starts the worker thread on `body`; false when the system cannot start one.
    virtual bool StartWorkerThread(std::function<void()> body);

private:
    class WorkerUi;

    // What one walk found: how many ports it accepted, and the first one's names.
    struct WalkFound {
        int accepted = 0;
        std::optional<editor::ConfigTarget> target;
    };

    void Scan();
    void ScanDone(uint32_t mask, const std::string &notice);
    void WalkDone(const WalkFound &found);
    void OnDeviceChange();
    void OnTimer(int id);
    void OnFindDevice();
    void OnStartConfig();
    static int MatchDevicePort(void *context, UsbNodeInfo *record);
    void ConfigWorker(editor::ConfigTarget target);
    void FinishWorker(int command);
    void SetLog(const QString &text);
    void AppendLog(const QString &text);
    void Arm(const editor::ConfigSearch::Arm &arm);

    platform::Host &m_host;
    Prompter &m_prompter;
    editor::ConfigSearch m_search;
    UsbTreeWalker m_tree;
    std::optional<editor::ConfigTarget> m_target; // the walk's first accepted port
    std::thread m_hWorker;
    std::atomic<bool> m_workerRunning{false};
    WindowTimers *m_timers;
    QPlainTextEdit *m_log;
    std::optional<DeviceChangeRelay> m_deviceChanges;
    // Scans and walks run here, never on the dialog's thread; m_tree belongs to it.
    DeviceWorker m_device;
    bool m_scanning = false, m_scanAgain = false, m_scanned = false, m_walking = false;
    bool m_closed = false; // done: results that still arrive change nothing
    QString m_notice;      // shown under the log: a side present that cannot be used
};
