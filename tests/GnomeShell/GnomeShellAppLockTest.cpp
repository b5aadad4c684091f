// The app lock under a real headless GNOME Shell with the shipped extension, over a foot terminal;
// what the tests look at, and the keys, come from the Shell through a test-only driver extension.
#include <QImage>
#include <QPointer>
#include <QTest>

#include <gtest/gtest.h>

#include "AppLock/KorvelIDAppLock.h"
#include "Curtain/LockCurtainWindow.h"
#include "CompositorAppLock.h"
#include "CompositorTestMain.h"
#include "GnomeShellDesktop.h"
#include "Localization/Localization.h"
#include "Platform/GnomeShellWindowSystem.h"
#include "TestSupport.h"

using TestSupport::waitUntil;

namespace {
GnomeShellDesktop* gnome = nullptr;

std::vector<QJsonObject> shellWindows(const std::function<bool(const QJsonObject&)>& which) {
    std::vector<QJsonObject> found;
    for (const auto& w : gnome->windows())
        if (which(w.toObject())) found.push_back(w.toObject());
    return found;
}
std::vector<QJsonObject> curtainWindows() {
    return shellWindows([](const QJsonObject& w) { return w.value("pid").toInteger() == ::getpid(); });
}
std::optional<QJsonObject> windowOf(const QString& wmClass) {
    const auto found = shellWindows([&](const QJsonObject& w) { return w.value("wmClass").toString() == wmClass; });
    return found.empty() ? std::nullopt : std::optional(found.front());
}

// One curtain window per monitor, each above and full-screen, one of them focused.
bool curtainInPlace() {
    const auto curtain = curtainWindows();
    if (curtain.size() != 2 || curtain[0].value("monitor") == curtain[1].value("monitor")) return false;
    int focused = 0;
    for (const auto& w : curtain) {
        if (!w.value("fullscreen").toBool() || !w.value("above").toBool() || w.value("minimized").toBool()) return false;
        focused += w.value("focused").toBool();
    }
    return focused == 1;
}

const QList<QPoint> curtainProbes = {{20, 20}, {640, 780}, {1300, 10}, {2540, 790}};

bool showsCurtain(const QImage& shot) { return shot.size() == QSize(2560, 800) && showsCurtain(shot, curtainProbes); }

// The desktop as the Shell composes it, through its screenshot service, once it shows the curtain.
QImage screenshot(const char* name) {
    const auto file = gnome->runtime / "shot.png";
    QImage shot;
    for (int i = 0; i < 30; ++i) {
        gnome->run("gnome-screenshot", {"-f", QString::fromStdString(file.string())});
        shot = QImage(QString::fromStdString(file.string()));
        if (showsCurtain(shot)) break;
        QTest::qWait(200);
    }
    QDir().mkpath("screenshots");
    shot.save(QString("screenshots/%1.png").arg(name));
    return shot;
}

struct GnomeShellAppLock : CompositorAppLock<GnomeShellWindowSystem> {
    void SetUp() override {
        if (gnome->unavailable) KORVEL_SKIP() << *gnome->unavailable;
        Localizer::shared().setLanguage(AppLanguage::english);
        const auto apps = gnome->dataHome / "applications";
        setUpAppLock(*gnome, apps, [&] { return GnomeShellWindowSystem::open({std::vector{apps}}); });
    }

    void focus(const QString& appID) { gnome->drive("Focus", {appID}); }
    void type(const QString& text) {
        gnome->drive("Type", {text});
        QTest::qWait(300);
    }
};
}  // namespace

TEST_F(GnomeShellAppLock, CoversEveryMonitorTakesFocusBackAndKeepsKeysUntilThePassword) {
    std::vector<std::string> activated;
    windows->subscribeActivations([&](const std::string& id) { activated.push_back(id); });
    launch("korvel-files");
    launch("korvel-alpha");
    focus("korvel-files");
    EXPECT_TRUE(waitUntil([&] { return !activated.empty() && activated.back() == "korvel-files"; }, 3000))
        << "the extension reports activations";
    EXPECT_EQ(windows->frontmostApplicationID(), "korvel-files");
    lock->add({"korvel-alpha", "Alpha", 0});
    lock->startMonitoring();
    ASSERT_FALSE(lock->isCurtainUp());

    focus("korvel-alpha");
    ASSERT_TRUE(waitUntil([&] { return lock->isCurtainUp() && curtainInPlace(); }, 5000))
        << "one full-screen curtain above the rest per monitor, one focused";
    EXPECT_TRUE(waitUntil([&] { return windowOf("korvel-alpha") && windowOf("korvel-alpha")->value("minimized").toBool(); }, 3000))
        << "the locked application is minimised";

    // Another program activates the terminal: the curtain takes the focus back at once.
    for (int round = 0; round < 3; ++round) {
        focus("korvel-alpha");
        EXPECT_TRUE(waitUntil([&] { return curtainInPlace(); }, 3000)) << "round " << round;
    }
    type("secret");
    EXPECT_EQ(typedText(), "") << "keys reach the curtain, never the terminal";

    QTest::qWait(LockCurtainWindow::fadeInMs + 100);
    EXPECT_TRUE(showsCurtain(screenshot("gnome-curtain"))) << "the curtain's dark backdrop on both monitors";

    {
        LockCurtainWindow* c = curtain.data();
        ASSERT_NE(c, nullptr);
        ASSERT_NE(c->model(), nullptr);
        c->model()->usePassword();
    }
    QTest::qWait(100);
    type("birch");
    gnome->drive("Key", {uint(0xff0d)});  // Return
    ASSERT_TRUE(waitUntil([&] { return !lock->isCurtainUp(); }, 5000));
    EXPECT_TRUE(waitUntil([&] { return curtainWindows().empty(); }, 3000));
    EXPECT_TRUE(waitUntil([&] { return windowOf("korvel-alpha") && windowOf("korvel-alpha")->value("focused").toBool(); }, 3000))
        << "unlocking brings the terminal back";
    type("ok");
    EXPECT_TRUE(waitUntil([&] { return typedText() == "ok"; }, 3000)) << "the terminal has the keyboard again";

    // Escape on the next curtain minimises the application and brings the file manager forward;
    // its quit is seen.
    std::vector<std::string> quit;
    windows->subscribeTerminations([&](const std::string& id) { quit.push_back(id); });
    focus("korvel-files");
    ASSERT_TRUE(waitUntil([&] { return windows->frontmostApplicationID() == "korvel-files"; }, 3000));
    focus("korvel-alpha");
    ASSERT_TRUE(waitUntil([&] { return lock->isCurtainUp() && curtainInPlace(); }, 5000));
    gnome->drive("Key", {uint(0xff1b)});
    ASSERT_TRUE(waitUntil([&] { return !lock->isCurtainUp(); }, 5000));
    EXPECT_TRUE(waitUntil([&] { return windows->frontmostApplicationID() == "korvel-files"; }, 3000));
    EXPECT_TRUE(windowOf("korvel-alpha") && windowOf("korvel-alpha")->value("minimized").toBool());
    GnomeShellDesktop::stop(*clients.back());
    EXPECT_TRUE(waitUntil([&] { return std::count(quit.begin(), quit.end(), "korvel-alpha") == 1; }, 3000));

    // The extension goes off (as under every screen lock): the window system says so, finds it
    // again by itself, and then hides the app under a curtain that went up meanwhile.
    gnome->run("gnome-extensions", {"disable", GnomeShellWindowSystem::extensionUUID});
    const auto control = [&] {
        windows->frontmostApplicationID();  // polls, and so reconnects
        return windows->windowControl();
    };
    EXPECT_TRUE(waitUntil([&] { return control() == WindowControl::gnomeExtensionMissing; }, 3000));
    windows->guardCurtain({{"Korvel ID", "", true}});
    gnome->run("gnome-extensions", {"enable", GnomeShellWindowSystem::extensionUUID});
    EXPECT_TRUE(waitUntil([&] { return control() == WindowControl::available; }, 5000));
    EXPECT_TRUE(windowOf("korvel-files") && windowOf("korvel-files")->value("minimized").toBool());
    windows->guardCurtain({});
}

int main(int argc, char** argv) {
    return runUnderCompositor<GnomeShellDesktop>(argc, argv, gnome,
                                                 [] { return new GnomeShellDesktop(KORVEL_TEST_SOURCE_DIR "/GnomeShell"); });
}
