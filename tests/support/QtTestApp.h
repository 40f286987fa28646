#pragma once
// One QApplication for a test program: created before the first test and destroyed after the last,
// before the process's exit handlers run (Qt's input devices crash when torn down that late, which a
// function-local static QApplication would do). Include in one source file per test program.

#include <gtest/gtest.h>

#include <QApplication>

#include <memory>

class QtTestApp : public ::testing::Environment {
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "kit_tests";
        static char *argv[] = {name, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { m_app.reset(); }

    static QApplication &App() { return *Instance().m_app; }

private:
    static QtTestApp &Instance()
    {
        static QtTestApp *const env =
            static_cast<QtTestApp *>(::testing::AddGlobalTestEnvironment(new QtTestApp));
        return *env;
    }
    // Registered while the program starts, before gtest's main runs the tests.
    static inline QtTestApp &s_registered = Instance();

    std::unique_ptr<QApplication> m_app;
};
