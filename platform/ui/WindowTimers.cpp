#include "WindowTimers.h"

#include <QTimer>

WindowTimers::WindowTimers(Handler handler, QObject *parent)
    : QObject(parent), m_handler(std::move(handler))
{
}

void WindowTimers::Arm(int id, int milliseconds)
{
    QTimer *&timer = m_timers[id];
    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, id] { m_handler(id); });
    }
    timer->start(milliseconds);
}

void WindowTimers::Kill(int id)
{
    const auto it = m_timers.find(id);
    if (it != m_timers.end())
        it->second->stop();
}

bool WindowTimers::IsArmed(int id) const
{
    const auto it = m_timers.find(id);
    return it != m_timers.end() && it->second->isActive();
}

void WindowTimers::KillAll()
{
    for (auto &[id, timer] : m_timers)
        timer->stop();
}
