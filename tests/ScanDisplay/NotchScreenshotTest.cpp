// Screenshots of the scan display in each phase after the animations have settled: the panel as the
// X server shows it, laid over a light desktop colour so the black tab stands out (rendered from the
// window itself, so other test programs' panels at the same place cannot get in the way). Saved
// under screenshots/ next to the test program and checked loosely: the tab's size and the colours
// each phase must show.
#include "ScanDisplay/NotchView.h"
#include "ScanDisplay/NotchWindowController.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTest>

#include <functional>

namespace {

struct Shot {
    const char* file;
    std::function<void(NotchWindowController&)> drive;
    QSize tab;            // the tab's frame, its flared top edge included
    QColor accent;        // a colour that must appear inside the tab (invalid: none)
};

bool near(const QColor& a, const QColor& b, int tolerance) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

TEST(NotchScreenshots, EachPhaseAtTheEndOfItsAnimation) {
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "screenshots need the X test desktop";
    const QString dir = QCoreApplication::applicationDirPath() + "/screenshots";
    QDir().mkpath(dir);
    const QColor desktop("#d8dce3");

    const QSize expanded(400, 78);
    const Shot shots[] = {
        {"notch-idle.png", [](NotchWindowController& d) { d.ensureVisible(); }, QSize(170, 24), {}},
        {"notch-scanning.png", [](NotchWindowController& d) { d.ensureVisible(); d.beginScanning(); }, expanded,
         Qt::white},
        {"notch-progress.png",
         [](NotchWindowController& d) { d.ensureVisible(); d.beginScanning(); d.updateProgress(0.6); }, expanded,
         Qt::white},
        {"notch-blink.png", [](NotchWindowController& d) { d.ensureVisible(); d.beginScanning(); d.showBlinkPrompt(); },
         expanded, Qt::white},
        {"notch-approved.png", [](NotchWindowController& d) { d.showApproved("Ada Lovelace", 60); }, expanded,
         NotchView::approvedTint()},
        {"notch-denied.png", [](NotchWindowController& d) { d.showDenied("Face not recognized", 60); }, expanded,
         NotchView::deniedTint()},
    };
    for (const auto& shot : shots) {
        SCOPED_TRACE(shot.file);
        NotchWindowController display;
        shot.drive(display);
        QTest::qWait(1000);
        ASSERT_TRUE(display.isPanelVisible());
        const QRect frame = display.window()->geometry();
        EXPECT_EQ(frame.top(), QGuiApplication::primaryScreen()->geometry().top());
        QImage image(frame.size(), QImage::Format_RGB32);
        image.fill(desktop);
        {
            QPainter painter(&image);
            painter.drawPixmap(0, 0, display.window()->grab());
        }
        ASSERT_TRUE(image.save(dir + "/" + shot.file));
        QRect black;
        bool accent = false;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (near(c, Qt::black, 8)) black |= QRect(x, y, 1, 1);
                if (shot.accent.isValid() && y > 24 && near(c, shot.accent, 40)) accent = true;
            }
        // The outline itself is checked on the path; here: the size each phase is drawn at.
        EXPECT_NEAR(black.width(), shot.tab.width(), 4);
        EXPECT_NEAR(black.height(), shot.tab.height(), 1);
        EXPECT_EQ(black.top(), 0);
        EXPECT_NEAR(black.center().x(), frame.width() / 2, 2);
        if (shot.accent.isValid()) {
            EXPECT_TRUE(accent) << "no " << shot.accent.name().toStdString();
        }
        // Outside the tab the window beneath shows through.
        EXPECT_TRUE(near(image.pixelColor(2, image.height() - 3), desktop, 6));
    }
}

}  // namespace
