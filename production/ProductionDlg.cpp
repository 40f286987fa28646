#include "ProductionDlg.h"

#include "DialogUnits.h"
#include "GuiThread.h"
#include "InfoDlg.h"
#include "SystemMenu.h"
#include "TamberIcons.h"
#include "TamberTexts.h"
#include "WindowTimers.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>

namespace production {

CProductionDlg::CProductionDlg(Prompter &prompter, FlowMachine &machine, CableRunner runner,
                               CAboutDlg::VersionSource version, QWidget *parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_prompter(prompter), m_version(std::move(version)), m_hIcon(ProgramIcon())
{
    m_timers = new WindowTimers([this](int id) { m_flow->OnTimer(id); }, this);
    m_flow = std::make_unique<ProductionFlow>(*this, machine, std::move(runner));
    // Scans, walks and presence checks never hold up the window, however slow or dead a chip is.
    m_flow->UseDeviceWorker();

    QFont dialogFont = QApplication::font();
    dialogFont.setPointSize(8);
    setFont(dialogFont);
    const DialogUnits du(font());
    du.fixSize(this, kWidth, kHeight);
    m_log = new QPlainTextEdit(this);
    du.place(m_log, 7, 7, 306, 175);
    m_log->setReadOnly(true);
    m_log->setLineWrapMode(QPlainTextEdit::NoWrap);
}

CProductionDlg::~CProductionDlg()
{
    m_flow->Shutdown();
    m_timers->KillAll();
}

QString CProductionDlg::AboutCommandText() const
{
    return LoadText(IDS_ABOUTBOX).arg(QLatin1String(kProgramTitle));
}

void CProductionDlg::AddAboutCommand()
{
    // In the window's system menu; where there is none to extend, the About command lives in the
    // window's context menu (the log's own menu included).
    const QString text = AboutCommandText();
    if (text.isEmpty())
        return;
    if (AppendSystemMenuItem(this, IDM_ABOUTBOX, text, [this] { OnSysCommand(IDM_ABOUTBOX); }))
        return;
    auto *about = new QAction(text, this);
    connect(about, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    auto *separator = new QAction(this);
    separator->setSeparator(true);
    addAction(separator);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    m_log->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_log, &QWidget::customContextMenuRequested, this, [this, about](const QPoint &at) {
        std::unique_ptr<QMenu> menu(m_log->createStandardContextMenu(at));
        menu->addSeparator();
        menu->addAction(about);
        menu->exec(m_log->viewport()->mapToGlobal(at));
    });
}

bool CProductionDlg::OnInitDialog()
{
    AddAboutCommand();
    setWindowIcon(m_hIcon);
    const QString caption = QStringLiteral("%1 - ").arg(QLatin1String(kProgramTitle)) + QLatin1String(kMakerName);

    CInfoDlg info(m_prompter);
    info.m_pImage = &m_image;
    if (info.exec() == QDialog::Rejected)
        return false;

    setWindowTitle(caption + m_titleSuffix);
    BatchImage batch;
    std::memcpy(batch.image.Bytes(), m_image.Bytes(), EepromImage::kImageSize);
    batch.image.m_bBlank = m_image.m_bBlank;
    batch.vendorId = info.m_fields.m_strVendorID;
    batch.productId = info.m_fields.m_strSelectedPID;

    m_log->setTabStopDistance(DialogUnits(font()).x(120));

    m_pDetectDlg = std::make_unique<CDetectDlg>(this);
    m_pDetectDlg->m_strTitle = LoadText(IDS_ATTENTION);
    m_pDetectDlg->m_bShowOK = 0;
    m_pDetectDlg->Create();

    m_flow->Start(batch);
    return true;
}

int CProductionDlg::exec()
{
    if (!OnInitDialog()) {
        setResult(Rejected);
        return Rejected;
    }
    return QDialog::exec();
}

void CProductionDlg::reject()
{
    if (m_pAboutDlg)
        m_pAboutDlg->reject();
    // A run in flight finishes first (bounded by the transfer limit); it never outlives the window.
    m_flow->Shutdown();
    m_timers->KillAll();
    if (m_pDetectDlg)
        m_pDetectDlg->hide();
    QDialog::reject();
}

void CProductionDlg::OnDeviceChange()
{
    m_flow->OnDeviceChange();
}

void CProductionDlg::OnSysCommand(int command)
{
    if ((command & 0xFFF0) == IDM_ABOUTBOX)
        OpenAboutBox();
}

void CProductionDlg::OpenAboutBox()
{
    if (m_pAboutDlg)
        return;
    // Modal to this window only: the prompt window's Cancel stays usable, and ends the box first
    // (reject).
    CAboutDlg about(m_version, this);
    m_pAboutDlg = &about;
    about.ExecModalTo(this);
    m_pAboutDlg = nullptr;
}

void CProductionDlg::ArmTimer(int id, int ms)
{
    m_timers->Arm(id, ms);
}

void CProductionDlg::KillTimer(int id)
{
    m_timers->Kill(id);
}

void CProductionDlg::ShowIcon(int id)
{
    if (m_pDetectDlg)
        m_pDetectDlg->ShowIcon(id);
}

void CProductionDlg::ShowResult(const std::string &text, bool green)
{
    if (!m_pDetectDlg)
        return;
    CRedStatic *label = m_pDetectDlg->m_stcResult;
    label->m_bGreen = green;
    label->setText(QString::fromStdString(text));
    label->show();
    label->update();
}

void CProductionDlg::HideResult()
{
    if (m_pDetectDlg)
        m_pDetectDlg->m_stcResult->hide();
}

void CProductionDlg::UpdatePrompt(const std::string &prompt, const std::string &detail)
{
    if (!m_pDetectDlg)
        return;
    m_pDetectDlg->m_strPrompt = QString::fromStdString(prompt);
    m_pDetectDlg->m_strDetail = QString::fromStdString(detail);
    m_pDetectDlg->UpdateData();
}

void CProductionDlg::ShowPrompt(bool visible)
{
    if (!m_pDetectDlg)
        return;
    if (visible)
        m_pDetectDlg->show();
    else
        m_pDetectDlg->hide();
}

void CProductionDlg::SetLogText(const std::string &wholeLog)
{
    // Lines end in "\r\n" or "\n"; the control wants plain line feeds.
    QString text = QString::fromStdString(wholeLog);
    text.remove(QLatin1Char('\r'));
    m_log->setPlainText(text);
    m_log->moveCursor(QTextCursor::End);
}

void CProductionDlg::PostToDialogThread(std::function<void()> call)
{
    PostToGui(this, std::move(call));
}

void CProductionDlg::paintEvent(QPaintEvent *event)
{
    if (!isMinimized()) {
        QDialog::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const int x = (width() - kIconSize + 1) / 2;
    const int y = (height() - kIconSize + 1) / 2;
    painter.drawPixmap(x, y, DrawIcon(IDI_PROGRAM));
}

} // namespace production
