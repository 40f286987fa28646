#include "DialogUnits.h"
#include "GuiThread.h"
#include "WindowTimers.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QPushButton>
#include <QThread>
#include <QWidget>

#include <atomic>
#include <thread>
#include <vector>

namespace {

QApplication &App()
{
    static int argc = 1;
    static char name[] = "ui_tests";
    static char *argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

// Runs the event loop until `done` or five seconds pass.
template <class Pred>
bool SpinUntil(Pred done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

TEST(DialogUnits, ScaleWithTheFontAndKeepProportions)
{
    App();
    QFont small = QApplication::font();
    small.setPixelSize(10);
    QFont large = small;
    large.setPixelSize(20);
    const DialogUnits a(small), b(large);
    EXPECT_GT(b.baseX(), a.baseX());
    EXPECT_GT(b.baseY(), a.baseY());
    EXPECT_EQ(a.x(4), a.baseX()) << "four horizontal units are one average character";
    EXPECT_EQ(a.y(8), a.baseY()) << "eight vertical units are one line";

    QWidget dialog;
    QPushButton button(&dialog);
    a.fixSize(&dialog, 301, 97);
    a.place(&button, 244, 7, 50, 14);
    EXPECT_EQ(dialog.size(), a.size(301, 97));
    EXPECT_EQ(button.geometry(), a.rect(244, 7, 50, 14));
}

TEST(WindowTimers, AreOneShotRestartableAndKillable)
{
    App();
    std::vector<int> fired;
    WindowTimers timers([&](int id) { fired.push_back(id); });
    timers.Arm(1, 0);
    timers.Arm(2, 0);
    timers.Kill(2);
    EXPECT_FALSE(timers.IsArmed(2));
    EXPECT_TRUE(timers.IsArmed(1));
    ASSERT_TRUE(SpinUntil([&] { return !fired.empty(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(fired, std::vector<int>{1});
    EXPECT_FALSE(timers.IsArmed(1)) << "one-shot";

    timers.Arm(3, 60000);
    timers.Arm(3, 0); // re-arming restarts with the new delay
    ASSERT_TRUE(SpinUntil([&] { return fired.size() == 2; }));
    EXPECT_EQ(fired.back(), 3);
    timers.Kill(99); // unknown ids are harmless
}

TEST(GuiThread, WorkerCallsRunOnTheGuiThread)
{
    App();
    QObject context;
    const QThread *gui = QThread::currentThread();
    std::atomic<bool> posted{false};
    int answer = 0;
    std::thread worker([&] {
        answer = CallOnGui(&context, [&] { return QThread::currentThread() == gui ? 42 : -1; });
        PostToGui(&context, [&] { posted = QThread::currentThread() == gui; });
    });
    ASSERT_TRUE(SpinUntil([&] { return posted.load(); }));
    worker.join();
    EXPECT_EQ(answer, 42);
    EXPECT_EQ(CallOnGui(&context, [] { return 7; }), 7) << "a call from the GUI thread runs directly";
}

TEST(GuiThread, PostedCallsToADestroyedContextAreDropped)
{
    App();
    bool ran = false;
    {
        QObject context;
        PostToGui(&context, [&] { ran = true; });
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
}

} // namespace
