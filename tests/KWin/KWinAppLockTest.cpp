// The app lock under a real virtual KWin, as its native Wayland client, over a weston terminal; what
// the tests look at comes from KWin, and a second user script activates the terminal.
#include <QApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QImage>
#include <QPointer>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include <unistd.h>

#include "AppLock/KorvelIDAppLock.h"
#include "Curtain/LockCurtainWindow.h"
#include "GuardedCurtains.h"
#include "CompositorTestMain.h"
#include "KWinDesktop.h"
#include "Localization/Localization.h"
#include "Platform/KWinWindowSystem.h"
#include "TestSupport.h"

using TestSupport::waitUntil;

namespace {
KWinDesktop* kwin = nullptr;

// The whole workspace as KWin composes it, through its screenshot interface.
QImage screenshot() {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    QDBusUnixFileDescriptor writeEnd(fds[1]);
    ::close(fds[1]);
    const auto reply = KWinDesktop::callKWin("/org/kde/KWin/ScreenShot2", "org.kde.KWin.ScreenShot2", "CaptureWorkspace",
                                {QVariantMap{}, QVariant::fromValue(writeEnd)});
    writeEnd = {};
    QByteArray data;
    if (reply.type() == QDBusMessage::ReplyMessage) {
        char buffer[65536];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) data.append(buffer, n);
    }
    ::close(fds[0]);
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    const QVariantMap info = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    const int width = info.value("width").toInt(), height = info.value("height").toInt(), stride = info.value("stride").toInt();
    if (width <= 0 || data.size() < qsizetype(stride) * height) return {};
    return QImage(reinterpret_cast<const uchar*>(data.constData()), width, height, stride,
                  QImage::Format(info.value("format").toInt())).copy();
}
}  // namespace

TEST(KWinAppLock, ScriptReportsActivationsAndKeepsTheCurtainAboveFullScreenAndActive) {
    if (kwin->unavailable) KORVEL_SKIP() << *kwin->unavailable;
    Localizer::shared().setLanguage(AppLanguage::english);
    TestSupport::TempDir dir;
    const auto apps = dir / "applications";
    std::filesystem::create_directories(apps);
    TestSupport::writeText(apps / "korvel-alpha.desktop", "[Desktop Entry]\nType=Application\nName=Alpha\nExec=/usr/bin/weston-terminal\n");

    auto windows = KWinWindowSystem::open({std::vector{apps}, 3000, 500});
    ASSERT_EQ(windows->windowControl(), WindowControl::available) << "the script was loaded and reported";
    std::vector<std::string> activated;
    windows->subscribeActivations([&](const std::string& id) { activated.push_back(id); });

    QProcess* terminal = kwin->start("weston-terminal", {});
    ASSERT_TRUE(waitUntil([&] { return windows->frontmostApplicationID() == "korvel-alpha"; }, 10000));
    EXPECT_EQ(activated, std::vector<std::string>{"korvel-alpha"});
    ASSERT_EQ(windows->runningApplications("korvel-alpha").size(), 1u);

    QPointer<LockCurtainWindow> curtain;
    AppLockController lock(windows, dir / "protected-apps.json");
    lock.setCurtainFactory(guardedCurtains(curtain, "birch"));
    lock.startMonitoring();
    lock.add({"korvel-alpha", "Alpha", 0});  // in front: covered at once

    // One curtain window per screen, each full-screen as KWin configured it, the key one active.
    const auto inPlace = [&] {
        const LockCurtainWindow* c = curtain.data();
        if (!c || !c->keyWindow() || c->coverWindows().size() != 1) return false;
        const QWindow* key = c->keyWindow()->windowHandle();
        const QWindow* cover = c->coverWindows().front()->windowHandle();
        // Under heavy load Qt 6.4 can lose its own record of an activation KWin made (a quick
        // leave and enter of the keyboard): no window of ours counts as focused then although KWin
        // has the key window active. KWin's word is what the script controls.
        const bool active = key && (key->isActive() || (!QGuiApplication::focusWindow() && windows->curtainKeyActive()));
        return cover && active && (key->windowStates() & Qt::WindowFullScreen) &&
               (cover->windowStates() & Qt::WindowFullScreen) && key->screen() != cover->screen();
    };
    ASSERT_TRUE(waitUntil([&] { return lock.isCurtainUp() && inPlace(); }, 8000));
    EXPECT_NE(windows->frontmostApplicationID(), "korvel-alpha");

    // Another script activates the terminal: the curtain is active again after the round trip.
    for (int round = 0; round < 2; ++round) {
        const int before = windows->curtainRestorations();
        ASSERT_TRUE(kwin->activateTerminalFromScript());
        EXPECT_TRUE(waitUntil([&] { return windows->curtainRestorations() > before; }, 3000)) << "round " << round;
        EXPECT_TRUE(waitUntil(inPlace, 8000)) << "round " << round;
    }

    // Another script keeps the key window below, or sends it to the other screen: put back.
    const std::string own = "if (w.pid === " + std::to_string(::getpid()) + " && w.active) ";
    for (const std::string& disturb : {own + "w.keepBelow = true;", own + "workspace.sendClientToScreen(w, 1 - w.screen);"}) {
        const int before = windows->curtainRestorations();
        ASSERT_TRUE(kwin->runScript(disturb));
        EXPECT_TRUE(waitUntil([&] { return windows->curtainRestorations() > before; }, 3000)) << disturb;
        EXPECT_TRUE(waitUntil(inPlace, 8000)) << disturb;
    }

    // Above the terminal on both screens: KWin's own picture shows the curtain's backdrop.
    QTest::qWait(LockCurtainWindow::fadeInMs + 200);
    QImage shot;
    const QList<QPoint> probes = {{20, 20}, {640, 780}, {1300, 10}, {2540, 790}};
    EXPECT_TRUE(waitUntil([&] { return showsCurtain(shot = screenshot(), probes); }, 5000));
    ASSERT_EQ(shot.size(), QSize(2560, 800));

    // Cancelled: the curtain goes and the terminal's quit is seen.
    {
        LockCurtainWindow* c = curtain.data();
        ASSERT_NE(c, nullptr);
        c->model()->cancel();
    }
    ASSERT_TRUE(waitUntil([&] { return !lock.isCurtainUp(); }, 5000));

    // Another of the user's programs unloads the script: it is seen within the standing request's
    // time plus the silence allowed, and loaded again. (The reload can follow too quickly for the
    // unavailable state in between to be seen, so the loads are counted.)
    const int loads = windows->scriptLoads();
    KWinDesktop::callKWin("/Scripting", "org.kde.kwin.Scripting", "unloadScript", {QString("korvel-id-applock-%1-%2").arg(::getpid()).arg(loads)});
    EXPECT_TRUE(waitUntil([&] { return windows->scriptLoads() > loads && windows->windowControl() == WindowControl::available; }, 13000));
    KWinDesktop::stop(*terminal);
    EXPECT_TRUE(waitUntil([&] { return windows->runningApplications("korvel-alpha").empty(); }, 5000));
}

int main(int argc, char** argv) {
    return runUnderCompositor<KWinDesktop>(argc, argv, kwin, [] { return new KWinDesktop; });
}
