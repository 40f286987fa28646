#pragma once
// One-shot timers addressed by id, on the thread that owns this object (the GUI thread). A handler
// kills its own timer first and re-arms it when it wants another tick, so arming an armed timer simply
// restarts it.

#include <QObject>

#include <functional>
#include <map>

class QTimer;

class WindowTimers : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(int id)>;

    explicit WindowTimers(Handler handler, QObject *parent = nullptr);

    void Arm(int id, int milliseconds);
    void Kill(int id);
    bool IsArmed(int id) const;
    void KillAll();

private:
    Handler m_handler;
    std::map<int, QTimer *> m_timers;
};
