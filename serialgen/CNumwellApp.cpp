#include "CNumwellApp.h"

#include "ProgramOptions.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

const char *CNumwellApp::Name() { return "Numwell"; }

void CNumwellApp::MessageBox(const char *text)
{
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(Name()), QString::fromUtf8(text), QMessageBox::Ok);
    box.exec();
}

namespace {

bool CanOpenWindows()
{
    // A display that is named but gone would make the toolkit abort the caller's whole process.
    return platform::DisplayReachable();
}

// QApplication keeps references to these for its whole life.
int s_argc = 1;
char s_argv0[] = "Numwell";
char *s_argv[] = {s_argv0, nullptr};

} // namespace

CNumwellApp::DialogSession::DialogSession()
{
    if (QCoreApplication *existing = QCoreApplication::instance()) {
        m_ready = qobject_cast<QApplication *>(existing) != nullptr && QThread::currentThread() == existing->thread();
        return;
    }
    if (!CanOpenWindows())
        return;
    m_ownApplication = std::make_unique<QApplication>(s_argc, s_argv);
    m_ready = true;
}

CNumwellApp::DialogSession::~DialogSession() = default;
