// One main for every test program: a Qt application object exists for the whole run, so tests can
// use signals, queued calls and (under the test desktop) widgets.
#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Widgets need a display; without one (plain ctest outside the test desktop) fall back to the
    // offscreen platform so widget tests still run.
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("KorvelIDTests");
    QCoreApplication::setApplicationName("korvel-tests");
    return RUN_ALL_TESTS();
}
