// Test main for the serial-number tests: one offscreen QApplication, a time zone with daylight
// saving, and a settings path that no test may fall back to by accident.

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>
#include <QApplication>

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Central Europe: day numbers and local dates part by an hour in summer.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    setenv("QT7730_SETTINGS_DB", "/nonexistent/qt7730-tests-must-set-a-store/settings.db", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
