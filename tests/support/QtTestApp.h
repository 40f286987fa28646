#pragma once
// One QApplication for a whole GoogleTest program (widgets need it; QT_QPA_PLATFORM=offscreen is set by
// the test helper). Include in exactly one source file of the program.

#include <QApplication>

#include <gtest/gtest.h>

namespace kit_test {

class QtAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "kit-test";
        static char *argv[] = {name, nullptr};
        if (!QApplication::instance())
            m_app = new QApplication(argc, argv);
    }
    void TearDown() override
    {
        delete m_app;
        m_app = nullptr;
    }

private:
    QApplication *m_app = nullptr;
};

inline ::testing::Environment *const kQtAppEnvironment = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

} // namespace kit_test
