#pragma once
// The main() of a test program that runs its cases under one private compositor desktop.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

// Starts the desktop (not to list the tests), joins it and runs the cases; the desktop ends after
// the application has left it.
template <class Desktop>
int runUnderCompositor(int argc, char** argv, Desktop*& desktop, const std::function<Desktop*()>& make) {
    ::testing::InitGoogleTest(&argc, argv);
    desktop = ::testing::GTEST_FLAG(list_tests) ? nullptr : make();
    if (desktop && !desktop->unavailable)
        desktop->join();
    else if (!std::getenv("DISPLAY"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int status = 0;
    {
        QApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
    delete desktop;
    return status;
}
