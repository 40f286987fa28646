#include "CNumwellApp.h"

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
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || qEnvironmentVariableIsSet("DISPLAY")
           || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
#else
    return true;
#endif
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
