// The app lock under a real headless sway, over a foot terminal; what the tests look at comes from
// sway (its tree, grim screenshots), keys from wtype's virtual keyboard.
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QTest>

#include <gtest/gtest.h>

#include "AppLock/KorvelIDAppLock.h"
#include "Curtain/LockCurtainWindow.h"
#include "CompositorAppLock.h"
#include "Localization/Localization.h"
#include "Platform/SwayWindowSystem.h"
#include "ScanDisplay/NotchWindowController.h"
#include "SwayDesktop.h"
#include "CompositorTestMain.h"
#include "TestSupport.h"

using TestSupport::waitUntil;

namespace {
SwayDesktop* sway = nullptr;

// A window as sway's tree shows it.
struct SwayView {
    std::int64_t pid = 0;
    QString appID, title, output;
    bool fullscreen = false, focused = false, visible = false, floating = false;
};

void collect(const QJsonObject& node, const QString& output, std::vector<SwayView>& views) {
    const QString here = node.value("type").toString() == "output" ? node.value("name").toString() : output;
    if (node.contains("pid"))
        views.push_back({node.value("pid").toInteger(), node.value("app_id").toString(), node.value("name").toString(), here,
                         node.value("fullscreen_mode").toInt() != 0, node.value("focused").toBool(),
                         node.value("visible").toBool(), node.value("type").toString() == "floating_con"});
    for (const char* key : {"nodes", "floating_nodes"})
        for (const auto& child : node.value(key).toArray()) collect(child.toObject(), here, views);
}

std::vector<SwayView> views() {
    std::vector<SwayView> all;
    collect(sway->tree().object(), {}, all);
    return all;
}

std::vector<SwayView> curtainViews() {
    auto all = views();
    std::erase_if(all, [](const SwayView& v) { return v.pid != ::getpid(); });
    return all;
}

std::optional<SwayView> viewOf(const QString& appID) {
    for (const auto& v : views())
        if (v.appID == appID) return v;
    return std::nullopt;
}

// The curtain as it must be: one window per output, each full-screen and in view, one of them focused.
bool curtainInPlace() {
    const auto curtain = curtainViews();
    if (curtain.size() != 2 || curtain[0].output == curtain[1].output) return false;
    int focused = 0;
    for (const auto& v : curtain) {
        if (!v.fullscreen || !v.visible) return false;
        focused += v.focused;
    }
    return focused == 1;
}

const QList<QPoint> curtainProbes = {{20, 20}, {512, 700}, {1030, 10}, {1800, 590}};

// What sway shows of this process's windows, for a failure message.
std::string describeCurtain() {
    std::string all;
    for (const auto& v : curtainViews())
        all += v.title.toStdString() + " " + v.output.toStdString() + (v.fullscreen ? " fullscreen" : " tiled") +
               (v.floating ? " floating" : "") + (v.focused ? " focused" : "") + (v.visible ? " visible; " : " hidden; ");
    return all;
}

// The whole desktop as sway composes it, once two captures agree and show what is `expected`. Sway
// draws a new layout only when the clients have redrawn for it, which a loaded machine delays.
QImage screenshot(const std::function<bool(const QImage&)>& expected) {
    const auto file = sway->runtime / "shot.png";
    QImage previous, shot;
    for (int i = 0; i < 50; ++i) {
        sway->run("grim", {QString::fromStdString(file.string())});
        shot = QImage(QString::fromStdString(file.string()));
        if (!shot.isNull() && shot == previous && expected(shot)) break;
        previous = shot;
        QTest::qWait(100);
    }
    return shot;
}

struct SwayAppLock : CompositorAppLock<SwayWindowSystem> {
    void SetUp() override {
        if (sway->unavailable) KORVEL_SKIP() << *sway->unavailable;
        Localizer::shared().setLanguage(AppLanguage::english);
        const auto apps = dir / "applications";
        std::filesystem::create_directories(apps);
        TestSupport::writeText(apps / "korvel-bravo.desktop",
                               "[Desktop Entry]\nType=Application\nName=Bravo\nExec=xterm\nStartupWMClass=KorvelBravo\n");
        setUpAppLock(*sway, apps, [&] { return SwayWindowSystem::open({sway->socket.string(), std::vector{apps}}); });
    }

    void focus(const QString& appID) { sway->run("swaymsg", {QString("[app_id=%1] focus").arg(appID)}); }
    void type(const QStringList& args) {
        sway->run("wtype", args);
        QTest::qWait(300);
    }
    bool covered() const { return lock->isCurtainUp() && curtainInPlace(); }
};
}  // namespace

TEST_F(SwayAppLock, CoversEveryOutputTakesFocusBackAndKeepsKeysUntilThePassword) {
    launch("korvel-files");
    launch("korvel-alpha");
    focus("korvel-files");
    lock->add({"korvel-alpha", "Alpha", 0});
    lock->startMonitoring();
    ASSERT_FALSE(lock->isCurtainUp());

    focus("korvel-alpha");
    ASSERT_TRUE(waitUntil([&] { return covered(); }, 5000)) << "one full-screen curtain per output, one focused";
    ASSERT_TRUE(waitUntil([&] {
        const LockCurtainWindow* c = curtain.data();
        return c != nullptr && c->holdsKeyboard();
    }, 3000));

    // Another client forces the focus to the terminal: sway also drops the curtain's full-screen
    // state for it. Both come back.
    for (int round = 0; round < 3; ++round) {
        const int before = windows->curtainRestorations();
        focus("korvel-alpha");
        EXPECT_TRUE(waitUntil([&] { return windows->curtainRestorations() > before && curtainInPlace(); }, 3000))
            << "round " << round;
    }
    type({"secret"});
    EXPECT_EQ(typedText(), "") << "keys reach the curtain, never the terminal";

    QTest::qWait(LockCurtainWindow::fadeInMs + 100);
    const QImage shot = screenshot([](const QImage& s) { return showsCurtain(s, curtainProbes); });
    EXPECT_TRUE(curtainInPlace()) << describeCurtain();
    ASSERT_EQ(shot.size(), QSize(1824, 768));
    EXPECT_TRUE(showsCurtain(shot, curtainProbes)) << "the curtain's backdrop on both outputs";

    {
        LockCurtainWindow* c = curtain.data();
        ASSERT_NE(c, nullptr);
        CurtainModel* m = c->model();
        ASSERT_NE(m, nullptr);
        m->usePassword();
    }
    QTest::qWait(100);
    type({"birch", "-k", "Return"});
    ASSERT_TRUE(waitUntil([&] { return !lock->isCurtainUp(); }, 5000));
    EXPECT_TRUE(waitUntil([&] { return curtainViews().empty(); }, 3000));
    EXPECT_TRUE(waitUntil([&] { return viewOf("korvel-alpha") && viewOf("korvel-alpha")->focused; }, 3000));
    type({"ok"});
    EXPECT_TRUE(waitUntil([&] { return typedText() == "ok"; }, 3000)) << "the terminal has the keyboard again";
}

TEST_F(SwayAppLock, EscapeMovesTheApplicationAwayAndItsQuitIsSeen) {
    std::vector<std::string> quit;
    const auto subscription = windows->subscribeTerminations([&](const std::string& id) { quit.push_back(id); });
    // An XWayland window is named by its X11 class.
    QProcess* xterm = sway->start("xterm", {"-class", "KorvelBravo"});
    EXPECT_TRUE(waitUntil([&] { return windows->frontmostApplicationID() == "korvel-bravo"; }, 10000));
    SwayDesktop::stop(*xterm);
    EXPECT_TRUE(waitUntil([&] { return std::count(quit.begin(), quit.end(), "korvel-bravo") == 1; }, 3000));

    launch("korvel-files");
    launch("korvel-alpha");
    {
        // The scan display floats over the terminals instead of taking a tile beside them.
        NotchWindowController display;
        display.ensureVisible();
        display.beginScanning();
        EXPECT_TRUE(waitUntil([&] {
            const auto own = curtainViews();
            return own.size() == 1 && own[0].floating && own[0].visible;
        }, 3000)) << describeCurtain();
    }
    EXPECT_TRUE(waitUntil([&] { return curtainViews().empty(); }, 3000));
    focus("korvel-alpha");
    lock->add({"korvel-alpha", "Alpha", 0});  // in front: covered at once
    ASSERT_TRUE(waitUntil([&] { return covered(); }, 5000));
    type({"-k", "Escape"});
    ASSERT_TRUE(waitUntil([&] { return !lock->isCurtainUp(); }, 5000));
    EXPECT_TRUE(waitUntil([&] { return viewOf("korvel-alpha") && viewOf("korvel-alpha")->output == "__i3"; }, 3000))
        << "hidden in the scratchpad";
    EXPECT_TRUE(waitUntil([&] { return viewOf("korvel-files") && viewOf("korvel-files")->focused; }, 3000))
        << "the file manager comes forward";
    EXPECT_EQ(windows->frontmostApplicationID(), "korvel-files");

    SwayDesktop::stop(*clients.back());
    EXPECT_TRUE(waitUntil([&] { return std::count(quit.begin(), quit.end(), "korvel-alpha") == 1; }, 3000));
    EXPECT_TRUE(windows->runningApplications("korvel-alpha").empty());
    windows->unsubscribe(subscription);
}

int main(int argc, char** argv) {
    return runUnderCompositor<SwayDesktop>(argc, argv, sway, [] { return new SwayDesktop; });
}
