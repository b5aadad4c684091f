// The curtain behind the app lock on the headless desktop: an xterm described by a desktop entry
// in a private XDG folder is protected; activating it brings up a real curtain over it that takes
// its keys; the password brings it back to the front, Escape iconifies it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QProcess>
#include <QTest>

#include <stdexcept>
#include <string_view>

#include "AppLock/KorvelIDAppLock.h"
#include "Curtain/LockCurtainWindow.h"
#include "Platform/X11WindowSystem.h"
#include "TestSupport.h"

using TestSupport::waitUntil;

namespace {
QString run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

class AppLockCurtainTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X server (scripts/test-desktop)";
        const auto apps = dir_ / "applications";
        std::filesystem::create_directories(apps);
        TestSupport::writeText(apps / "korvel-probe.desktop",
                               "[Desktop Entry]\nType=Application\nName=Korvel Probe\nExec=xterm\n"
                               "StartupWMClass=KorvelProbe\n");
        X11WindowSystem::Options options;
        options.applicationDirectories = std::vector<std::filesystem::path>{apps};
        windows_ = X11WindowSystem::open(options);
        ASSERT_EQ(windows_->windowControl(), WindowControl::available);
        controller_ = std::make_unique<AppLockController>(windows_, dir_ / "protected-apps.json");
        controller_->setCurtainFactory([this](const ProtectedApp& app, auto onUnlocked, auto onCancelled) {
            CurtainServices s = CurtainServices::defaults();
            s.faceScan = [](auto) {};  // no camera here: the password route decides
            s.masterPasswordIsSet = [] { return true; };
            s.verifyPassword = [](std::string password, std::function<void(bool)> done) { done(std::string_view(password) == "birch"); };
            s.requiresBlink = [] { return false; };
            s.hideScanDisplay = nullptr;
            auto curtain = std::make_unique<LockCurtainWindow>(app, std::move(onUnlocked), std::move(onCancelled), s);
            curtain_ = curtain.get();
            ++curtains_;
            return curtain;
        });
    }
    void TearDown() override {
        controller_.reset();
        if (xterm_.state() != QProcess::NotRunning) {
            xterm_.terminate();
            if (!xterm_.waitForFinished(3000)) xterm_.kill();
        }
    }
    void startXterm() {
        xterm_.start("xterm", {"-class", "KorvelProbe", "-geometry", "100x40+0+0", "-e", "sh", "-c",
                               QString("stty -icanon; cat > '%1'").arg(QString::fromStdString((dir_ / "typed").string()))});
        window_ = run("xdotool", {"search", "--sync", "--class", "KorvelProbe"}).split('\n').first().trimmed();
    }
    LockCurtainWindow& curtain() {
        LockCurtainWindow* c = curtain_.data();
        if (!c) throw std::runtime_error("no curtain");
        return *c;
    }
    bool covered() {
        const LockCurtainWindow* c = curtain_.data();
        return c != nullptr && c->holdsKeyboard();
    }
    CurtainModel& model() {
        CurtainModel* m = curtain().model();
        if (!m) throw std::runtime_error("no model");
        return *m;
    }
    std::string typed() { return TestSupport::readText(dir_ / "typed"); }
    bool frontmostIsProbe() { return windows_->frontmostApplicationID() == std::optional<std::string>("korvel-probe"); }

    TestSupport::TempDir dir_;
    std::shared_ptr<X11WindowSystem> windows_;
    std::unique_ptr<AppLockController> controller_;
    QPointer<LockCurtainWindow> curtain_;
    int curtains_ = 0;
    QProcess xterm_;
    QString window_;
};
}  // namespace

TEST_F(AppLockCurtainTest, ActivationIsCoveredAndOnlyThePasswordOrEscapeEndIt) {
    controller_->startMonitoring();
    controller_->add({"korvel-probe", "Korvel Probe", 0});
    startXterm();
    ASSERT_FALSE(window_.isEmpty());
    run("xdotool", {"windowactivate", "--sync", window_});

    // Covered, with the keyboard taken before anything could be typed into the xterm.
    ASSERT_TRUE(waitUntil([&] { return covered(); }, 5000));
    run("xdotool", {"type", "--delay", "20", "secret"});
    QTest::qWait(200);  // the keys arrive while the curtain is still scanning
    model().usePassword();
    QTest::qWait(100);
    run("xdotool", {"type", "--delay", "20", "birch"});
    run("xdotool", {"key", "Return"});
    ASSERT_TRUE(waitUntil([&] { return !controller_->isCurtainUp(); }, 5000))
        << "phase " << static_cast<int>(model().phase()) << " input '" << model().passwordInput().toStdString()
        << "' message '" << model().message().toStdString() << "' focus "
        << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString() : "none");
    EXPECT_EQ(typed(), "") << "keys typed while covered never reach the application";
    // Unlocked: the application is in front again and gets the keyboard back.
    EXPECT_TRUE(waitUntil([&] { return frontmostIsProbe(); }, 3000));
    run("xdotool", {"type", "--delay", "20", "ok"});
    EXPECT_TRUE(waitUntil([&] { return typed() == "ok"; }, 3000));
    EXPECT_EQ(curtains_, 1);

    // A grace change covers the application in front at once; Escape hides it.
    controller_->setGrace(0, "korvel-probe");
    ASSERT_TRUE(waitUntil([&] { return covered(); }, 5000));
    EXPECT_EQ(curtains_, 2);
    run("xdotool", {"key", "Escape"});
    ASSERT_TRUE(waitUntil([&] { return !controller_->isCurtainUp(); }, 5000));
    EXPECT_TRUE(waitUntil([&] { return run("xprop", {"-id", window_, "WM_STATE"}).contains("Iconic"); }, 3000))
        << "cancelling iconifies the application";
    EXPECT_EQ(typed(), "ok");
}
