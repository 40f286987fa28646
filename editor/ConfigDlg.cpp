#include "ConfigDlg.h"

#include "BridgeConfigDevice.h"
#include "ConfigRecord.h"
#include "DialogUnits.h"
#include "GuiThread.h"
#include "InfUpdate.h"
#include "WindowTimers.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QScrollBar>

#include <system_error>
#include <utility>

using editor::ConfigSearch;

// The worker's way into the dialog: every call runs on the GUI thread and returns when done there.
class CConfigDlg::WorkerUi : public editor::ConfigWorkerUi {
public:
    explicit WorkerUi(CConfigDlg &dlg) : m_dlg(dlg) {}
    void AppendLog(const std::string &text) override
    {
        CallOnGui(&m_dlg, [this, &text] { m_dlg.AppendLog(QString::fromLatin1(text.data(), qsizetype(text.size()))); });
    }
    bool AskUpdateInf() override
    {
        return CallOnGui(&m_dlg, [this] {
                   return m_dlg.m_prompter.Message(&m_dlg, editor::kAskInfUpdate, editor::kAskInfCaption,
                                                   MessageButtons::YesNo, MessageIcon::Question);
               }) == MessageResult::Yes;
    }
    void ShowFailure() override
    {
        CallOnGui(&m_dlg, [this] { m_dlg.m_prompter.Message(&m_dlg, editor::kConfigFailed); });
    }
    void UpdateInf(const std::string &driverKey, uint16_t vendorId, uint16_t productId) override
    {
        // The result is not reported: the cable is configured either way.
        editor::UpdateInfFile(m_dlg.m_host, driverKey, vendorId, productId);
    }

private:
    CConfigDlg &m_dlg;
};

CConfigDlg::CConfigDlg(platform::Host &host, Prompter &prompter, QWidget *parent)
    : QDialog(parent), m_host(host), m_prompter(prompter), m_tree(host),
      m_timers(new WindowTimers([this](int id) { OnTimer(id); }, this)), m_log(new QPlainTextEdit(this))
{
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    const DialogUnits du(font());
    du.fixSize(this, 164, 164);
    du.place(m_log, 7, 7, 150, 150);
    m_log->setObjectName("log");
    m_log->setReadOnly(true);
    m_log->setTabStopDistance(du.x(120));
    m_log->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

CConfigDlg::~CConfigDlg()
{
    m_deviceChanges.reset();
    m_device.Stop(); // a scan stops before its next device object
    // done() keeps the dialog open while a worker runs, so only a teardown that skipped the modal
    // loop gets here with one. It may be waiting on this thread, so keep serving it until it ends.
    while (m_workerRunning.load())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (m_hWorker.joinable())
        m_hWorker.join();
}

int CConfigDlg::exec()
{
    setWindowTitle(QString::fromStdString(editor::ConfigCaption()));
    if (!m_pImage) {
        setResult(Rejected);
        return Rejected;
    }
    m_deviceChanges.emplace(m_host, this, [this] { OnDeviceChange(); });
    Scan();
    return QDialog::exec();
}

void CConfigDlg::done(int result)
{
    if (m_workerRunning.load())
        return;
    m_closed = true;
    m_device.Cancel(); // the destructor waits for a scan still running
    m_timers->KillAll();
    QDialog::done(result);
}

void CConfigDlg::Arm(const ConfigSearch::Arm &arm)
{
    if (arm.timer == 0)
        return;
    m_timers->Kill(arm.timer);
    m_timers->Arm(arm.timer, arm.delayMs);
}

// The scan runs on the device worker; one at a time, and a change during one asks for one more.
void CConfigDlg::Scan()
{
    if (m_scanning) {
        m_scanAgain = true;
        return;
    }
    m_scanning = true;
    const bool posted = m_device.Post([this](const std::atomic<bool> &stop) {
        const uint32_t mask = ScanBridgeDevices(CHIP_MODEL_QT7730, m_host, &stop);
        const std::string notice = m_host.DeviceNotice();
        if (!stop.load())
            PostToGui(this, [this, mask, notice] { ScanDone(mask, notice); });
    });
    if (!posted && !m_closed) // no thread to be had: here, as before
        ScanDone(ScanBridgeDevices(CHIP_MODEL_QT7730, m_host), m_host.DeviceNotice());
}

void CConfigDlg::ScanDone(uint32_t mask, const std::string &notice)
{
    m_scanning = false;
    if (m_closed)
        return;
    if (const QString text = QString::fromStdString(notice); text != m_notice) {
        m_notice = text;
        SetLog(m_strLog);
    }
    if (!std::exchange(m_scanned, true))
        Arm(m_search.Start(mask));
    else if (m_search.Searching())
        Arm(m_search.DeviceChanged(mask));
    if (std::exchange(m_scanAgain, false) && m_search.Searching())
        Scan();
}

void CConfigDlg::OnDeviceChange()
{
    if (!m_search.Searching())
        return;
    Scan();
}

void CConfigDlg::OnTimer(int id)
{
    m_timers->Kill(id);
    if (id == editor::kTimerFindDevice)
        OnFindDevice();
    else if (id == editor::kTimerStartConfig)
        OnStartConfig();
}

namespace {

struct WalkContext {
    UsbTree *tree;
    std::optional<editor::ConfigTarget> first;
};

} // namespace

void CConfigDlg::OnFindDevice()
{
    if (!m_search.Searching() || m_walking)
        return;
    m_walking = true;
    const auto walk = [this] {
        WalkContext context{&m_tree.Tree(), std::nullopt};
        WalkFound found;
        found.accepted = m_tree.WalkAllControllers(&CConfigDlg::MatchDevicePort, &context);
        found.target = std::move(context.first);
        return found;
    };
    const bool posted = m_device.Post([this, walk](const std::atomic<bool> &stop) {
        const WalkFound found = walk();
        if (!stop.load())
            PostToGui(this, [this, found] { WalkDone(found); });
    });
    if (!posted && !m_closed)
        WalkDone(walk());
}

void CConfigDlg::WalkDone(const WalkFound &found)
{
    m_walking = false;
    if (m_closed || !m_search.Searching())
        return;
    m_target = found.target;
    Arm(m_search.WalkDone(found.accepted));
    SetLog(QString::fromStdString(found.accepted > 0 ? editor::FoundLine() : editor::PlugInPrompt()));
}

// On the device worker, inside the walk.
int CConfigDlg::MatchDevicePort(void *context, UsbNodeInfo *record)
{
    auto *walk = static_cast<WalkContext *>(context);
    if (record->idVendor != editor::kDefaultVendorId || record->idProduct != editor::kDefaultProductId)
        return 0;
    walk->tree->ReplaceItem(record->hItem, ITEM_MATCHED, UsbTree::Placement::Last);
    // A cable the driver has not taken cannot be opened: it is marked but not counted.
    if (!record->pszDriverKey)
        return 0;
    // The worker gets its own copy of the first record's names: nothing it uses belongs to the walk.
    if (!walk->first)
        walk->first = editor::ConfigTarget{record->pszDevicePath.value_or(""), record->pszDriverKey.value_or("")};
    return 1;
}

void CConfigDlg::OnStartConfig()
{
    if (m_workerRunning.load() || m_hWorker.joinable())
        return;
    const std::optional<editor::ConfigTarget> target = m_target;
    m_workerRunning = true;
    const bool started = StartWorkerThread([this, target] {
        WorkerUi ui(*this);
        editor::BridgeConfigDevice device(m_host);
        const int command = editor::RunAndRecordConfiguration(target ? &*target : nullptr, m_pImage, device, ui);
        PostToGui(this, [this, command] { FinishWorker(command); });
    });
    if (!started) {
        // No second attempt: the run ends as any failed configuration does.
        m_workerRunning = false;
        AppendLog(QString::fromStdString(editor::WorkerStartFailed()));
        m_prompter.Message(this, editor::kConfigFailed);
        done(Rejected);
    }
}

bool CConfigDlg::StartWorkerThread(std::function<void()> body)
{
    try {
        m_hWorker = std::thread(std::move(body));
        return true;
    } catch (const std::system_error &) {
        return false;
    }
}

void CConfigDlg::FinishWorker(int command)
{
    if (m_hWorker.joinable())
        m_hWorker.join();
    m_workerRunning = false;
    done(command == editor::kConfigOk ? Accepted : Rejected);
}

void CConfigDlg::SetLog(const QString &text)
{
    m_strLog = text;
    QString shown = m_strLog;
    if (!m_notice.isEmpty())
        shown += (shown.isEmpty() || shown.endsWith("\r\n") ? "\r\n" : "\r\n\r\n") + m_notice;
    m_log->setPlainText(shown.replace("\r\n", "\n"));
    m_log->verticalScrollBar()->setValue(m_log->verticalScrollBar()->maximum());
}

void CConfigDlg::AppendLog(const QString &text)
{
    SetLog(m_strLog + text);
}
