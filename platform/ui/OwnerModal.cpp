#include "OwnerModal.h"

#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QPointer>
#include <QWidget>
#include <QWindow>

namespace {

// Swallows the owner window's input while the dialog is open, and ends the local loop when the
// dialog is hidden by any means (done, close, hide).
class OwnerBlock : public QObject {
public:
    OwnerBlock(QDialog &dialog, QWindow *owner, QEventLoop &loop) : m_dialog(&dialog), m_owner(owner), m_loop(loop)
    {
        if (m_owner)
            m_owner->installEventFilter(this);
        dialog.installEventFilter(this);
    }
    ~OwnerBlock() override
    {
        if (m_owner)
            m_owner->removeEventFilter(this);
        if (m_dialog)
            m_dialog->removeEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_dialog) {
            if (event->type() == QEvent::Hide)
                m_loop.quit();
            return false;
        }
        if (watched != m_owner || !event->spontaneous())
            return false;
        // A close request is let through: Qt closes a window it is told to close by the same event
        // the window system sends, so the two cannot be told apart here. The owner decides (Tamber's
        // main window ends the box first, then itself).
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::NonClientAreaMouseButtonPress:
            if (m_dialog) {
                m_dialog->raise();
                m_dialog->activateWindow();
            }
            return true;
        case QEvent::MouseButtonRelease:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::TabletMove:
        case QEvent::ContextMenu:
            return true;
        default:
            return false;
        }
    }

private:
    QPointer<QDialog> m_dialog;
    QPointer<QWindow> m_owner;
    QEventLoop &m_loop;
};

} // namespace

int ExecModalToOwner(QDialog &dialog, QWidget *owner)
{
    dialog.setWindowModality(Qt::NonModal);
    dialog.setResult(QDialog::Rejected);
    QEventLoop loop;
    QWindow *ownerWindow = owner ? owner->window()->windowHandle() : nullptr;
    OwnerBlock block(dialog, ownerWindow, loop);
    QPointer<QDialog> alive(&dialog);
    QObject::connect(&dialog, &QObject::destroyed, &loop, &QEventLoop::quit);
    dialog.show();
    if (alive && dialog.isVisible())
        loop.exec(QEventLoop::DialogExec);
    return alive ? dialog.result() : QDialog::Rejected;
}
