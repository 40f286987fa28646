#pragma once
// Answers a test's modal windows in the order they appear: each step receives the next modal
// window and acts on it. A modal window that no step expects is recorded and closed, so a test
// fails instead of hanging.

#include <deque>
#include <functional>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>
#include <QTimer>

class ModalScript : public QObject {
public:
    using Step = std::function<void(QWidget *)>;

    explicit ModalScript(QObject *parent = nullptr) : QObject(parent)
    {
        connect(&m_poll, &QTimer::timeout, this, [this] { Poll(); });
        m_poll.start(5);
    }

    ModalScript &Then(Step step)
    {
        m_steps.push_back(std::move(step));
        return *this;
    }

    int PendingSteps() const { return int(m_steps.size()); }
    const QStringList &Seen() const { return m_seen; }           // window titles, in order
    const QStringList &Unexpected() const { return m_unexpected; } // title: text of each

    static void Click(QWidget *window, const QString &text)
    {
        for (QAbstractButton *button : window->findChildren<QAbstractButton *>())
            if (button->text().remove(QLatin1Char('&')) == text) {
                button->click();
                return;
            }
    }

    static QString MessageText(QWidget *window)
    {
        auto *box = qobject_cast<QMessageBox *>(window);
        return box ? box->text() : QString();
    }

private:
    void Poll()
    {
        QWidget *window = QApplication::activeModalWidget();
        if (!window || !window->isVisible())
            return;
        for (const QPointer<QWidget> &handled : m_handled)
            if (handled == window)
                return;
        m_handled.push_back(window);
        m_seen << window->windowTitle();
        if (m_steps.empty()) {
            m_unexpected << window->windowTitle() + QStringLiteral(": ") + MessageText(window);
            if (auto *dialog = qobject_cast<QDialog *>(window))
                dialog->reject();
            return;
        }
        // Acted on from a separate event: a step that opens a nested modal loop (clicking OK may
        // raise a message box) must not block this poll, since a timer never fires inside itself.
        QMetaObject::invokeMethod(
            this, [step = std::move(m_steps.front()), target = QPointer<QWidget>(window)] {
                if (target)
                    step(target);
            },
            Qt::QueuedConnection);
        m_steps.pop_front();
    }

    QTimer m_poll;
    std::deque<Step> m_steps;
    QList<QPointer<QWidget>> m_handled;
    QStringList m_seen;
    QStringList m_unexpected;
};
