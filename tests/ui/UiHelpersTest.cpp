#include "DialogUnits.h"
#include "GuiThread.h"
#include "Prompter.h"
#include "QtTestApp.h"
#include "TempDir.h"
#include "WindowTimers.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFont>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QPushButton>
#include <QThread>
#include <QWidget>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Torn down after the last test, before the exit handlers: the input devices the chooser test
// creates crash when destroyed that late.
QApplication &App() { return QtTestApp::App(); }

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

// The real save chooser, answered by typing into it: a file in a folder that does not exist is refused
// where it is typed (the chooser stays open and says why); a file in an existing folder is chosen.
TEST(QtPrompter, SaveChooserRefusesAFileInAMissingFolder)
{
    App();
    TempDir dir;
    const QString missing = QString::fromStdString(dir.file("no/such/folder/batch"));
    const QString good = QString::fromStdString(dir.file("batch"));
    std::vector<QString> seen; // what each modal window showed, in order
    int step = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        // Typed from a separate event: Enter may open a nested modal loop (the refusal), and a timer
        // never fires inside its own handler.
        auto typeInto = [](QFileDialog *chooser, const QString &path) {
            QTimer::singleShot(0, chooser, [chooser, path] {
                auto *name = chooser->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
                ASSERT_NE(name, nullptr);
                // Typed as a person would: into the active chooser's name field (the chooser only
                // follows the typing while the field has the focus).
                chooser->activateWindow();
                ASSERT_TRUE(QTest::qWaitForWindowActive(chooser));
                name->setFocus();
                name->selectAll();
                QTest::keyClicks(name, path);
                // The chooser's completer may have popped up its list; Enter would go to that.
                if (QWidget *popup = QApplication::activePopupWidget())
                    popup->hide();
                QTest::keyClick(name, Qt::Key_Return);
            });
        };
        auto *chooser = qobject_cast<QFileDialog *>(modal);
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (step == 0 && chooser) {
            ++step;
            seen.push_back(QStringLiteral("chooser"));
            typeInto(chooser, missing);
        } else if (step == 1 && box) {
            ++step;
            seen.push_back(box->text());
            box->accept();
        } else if (step == 2 && chooser) {
            ++step;
            seen.push_back(QStringLiteral("chooser again"));
            typeInto(chooser, good);
        } else if (step > 3 || (step == 3 && box)) {
            seen.push_back(QStringLiteral("unexpected"));
            qobject_cast<QDialog *>(modal)->reject();
        }
    });
    poll.start(20);

    QtPrompter prompter;
    const QString chosen = prompter.SaveFileName(nullptr, {{"Eeprom file", "*.eep"}, "QT7730_Veltrona_", "eep"});
    poll.stop();
    EXPECT_EQ(chosen, good + ".eep");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], "chooser");
    EXPECT_TRUE(seen[1].contains("does not exist")) << seen[1].toStdString();
    EXPECT_TRUE(seen[1].contains(QString::fromStdString(dir.file("no/such/folder")))) << seen[1].toStdString();
    EXPECT_EQ(seen[2], "chooser again");

    EXPECT_TRUE(MissingFolderRefusal(QString::fromStdString(dir.file("x.eep"))).isEmpty());
    EXPECT_TRUE(MissingFolderRefusal(QString::fromStdString(dir.path().string())).isEmpty()) << "a folder opens";
    dir.write("plain", {1});
    EXPECT_FALSE(MissingFolderRefusal(QString::fromStdString(dir.file("plain/x.eep"))).isEmpty())
        << "a file is no folder";
}

} // namespace
