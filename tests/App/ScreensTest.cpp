// Saves a picture of the About window into $KORVEL_SCREENSHOT_DIR (skipped when unset), for a
// person to look at; the program test takes the onboarding steps and every settings tab from the
// real program. (Without a tray host the About window has no way in from the program itself.)
#include <gtest/gtest.h>

#include <QTest>

#include "About/AboutWindow.h"
#include "Localization/Localization.h"

TEST(Screens, AboutWindow) {
    const char* dir = std::getenv("KORVEL_SCREENSHOT_DIR");
    if (!dir) GTEST_SKIP() << "set KORVEL_SCREENSHOT_DIR to save screenshots";
    Localizer::shared().setLanguage(AppLanguage::english);
    AboutWindow about;
    about.show();
    QTest::qWait(150);
    const QString path = QString::fromLocal8Bit(dir) + "/about.png";
    EXPECT_TRUE(about.grab().save(path)) << path.toStdString();
}
