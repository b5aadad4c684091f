// The app lock end to end on a real X server and window manager with real X clients (xterm, each
// with its own WM_CLASS and desktop entry), the X11 window system and a recording curtain.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <cstdlib>

#include "AppLock/KorvelIDAppLock.h"
#include "AppLockTestSupport.h"
#include "Platform/X11WindowSystem.h"
#include "PrivateDesktop.h"
#include "TestSupport.h"

using namespace std::chrono_literals;
using TestSupport::TempDir;
using TestSupport::waitUntil;

namespace {
// Sets environment variables for the test's lifetime (xdg-mime reads them).
class ScopedEnvironment {
public:
    void set(const char* name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            it->second ? ::setenv(it->first.c_str(), it->second->c_str(), 1) : ::unsetenv(it->first.c_str());
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The test applications: desktop-entry ID and the WM_CLASS their xterm carries.
const std::map<std::string, std::string> testApps = {
    {"korvel-alpha", "KorvelAlpha"}, {"korvel-bravo", "KorvelBravo"},
    {"korvel-charlie", "KorvelCharlie"}, {"korvel-files", "KorvelFiles"}};

struct AppLockDesktop : ::testing::Test {
    TempDir dir;
    ScopedEnvironment env;
    std::unique_ptr<PrivateDesktop> desktop;
    std::shared_ptr<X11WindowSystem> windows;
    ManualClock clock;
    CurtainLog curtains;
    std::unique_ptr<AppLockController> lock;
    std::map<std::string, QProcess*> clients;

    void SetUp() override {
        desktop = std::make_unique<PrivateDesktop>(std::vector<std::string>{"Xvfb", "openbox", "xterm", "xdotool", "xprop", "xdg-mime"});
        if (desktop->unavailable) GTEST_SKIP() << *desktop->unavailable << "; skipping";
        const auto apps = dir / "data/applications";
        std::filesystem::create_directories(apps);
        std::filesystem::create_directories(dir / "config");
        for (const auto& [id, wmClass] : testApps)
            TestSupport::writeText(apps / (id + ".desktop"),
                                   "[Desktop Entry]\nType=Application\nName=" + wmClass + "\nExec=xterm -class " +
                                       wmClass + "\nStartupWMClass=" + wmClass + "\n");
        TestSupport::writeText(dir / "config/mimeapps.list", "[Default Applications]\ninode/directory=korvel-files.desktop\n");
        env.set("XDG_CONFIG_HOME", (dir / "config").string());
        env.set("XDG_DATA_HOME", (dir / "data").string());
        env.set("XDG_DATA_DIRS", (dir / "data").string());
        env.set("XDG_CURRENT_DESKTOP", std::nullopt);

        windows = X11WindowSystem::open({desktop->display, std::vector{apps}});
        ASSERT_TRUE(waitUntil([&] {
            windows->recheckWindowControl();
            return windows->windowControl() == WindowControl::available;
        }, 10000)) << "openbox did not start";
        lock = std::make_unique<AppLockController>(windows, dir / "protected-apps.json", clock.function());
        lock->setCurtainFactory(curtains.factory());
    }

    void TearDown() override {
        lock.reset();
        windows.reset();
        desktop.reset();
    }

    // Starts the application's xterm and returns its window (as xdotool names it).
    std::string launch(const std::string& id) {
        clients[id] = &desktop->start("xterm", {"-class", QString::fromStdString(testApps.at(id)), "-title",
                                                QString::fromStdString(id)});
        std::string window;
        EXPECT_TRUE(waitUntil([&] {
            window = windowOf(id);
            return !window.empty() && !windows->runningApplications(id).empty();
        }, 10000)) << id << " did not show a window";
        return window;
    }
    void quit(const std::string& id) {
        PrivateDesktop::stop(*clients.at(id));
        EXPECT_TRUE(waitUntil([&] { return windows->runningApplications(id).empty(); }, 5000));
    }
    std::string windowOf(const std::string& id) const {
        const auto found = desktop->run("xdotool", {"search", "--class", QString::fromStdString("^" + testApps.at(id) + "$")});
        return found.substr(0, found.find('\n'));
    }
    std::string activeWindow() const { return desktop->run("xdotool", {"getactivewindow"}); }
    bool iconified(const std::string& window) const {
        return desktop->run("xprop", {"-id", QString::fromStdString(window), "WM_STATE"}).find("Iconic") != std::string::npos;
    }
    // Activates the application's window as a pager or a click would, and waits until it is in front.
    void bring(const std::string& id) {
        const auto window = windowOf(id);
        desktop->run("xdotool", {"windowactivate", QString::fromStdString(window)});
        EXPECT_TRUE(waitUntil([&] { return activeWindow() == window; }, 5000)) << id << " did not come to the front";
        settle();
    }
    // Lets events and a few polls arrive.
    static void settle(int ms = 500) { waitUntil([] { return false; }, ms); }
    bool waitForCurtains(std::size_t n) { return waitUntil([&] { return curtains.count() >= n; }, 5000) && curtains.count() == n; }
};
}  // namespace

TEST_F(AppLockDesktop, IdentifiesWindowsByEntryGtkIdAndProgram) {
    const auto alpha = launch("korvel-alpha");
    EXPECT_EQ(windows->applicationIDOfWindow(std::stoul(alpha)), "korvel-alpha");

    // A GTK application ID naming an entry outranks the WM_CLASS.
    desktop->run("xprop", {"-id", QString::fromStdString(alpha), "-f", "_GTK_APPLICATION_ID", "8u", "-set",
                           "_GTK_APPLICATION_ID", "korvel-charlie"});
    // A window of no entry's class belongs to the entry that starts its program, found through the
    // client's process ID.
    TestSupport::writeText(dir / "data/applications/xterm.desktop", "[Desktop Entry]\nType=Application\nName=XTerm\nExec=xterm\n");
    auto& plain = desktop->start("xterm", {"-class", "SomethingElse"});
    std::string plainWindow;
    ASSERT_TRUE(waitUntil([&] {
        plainWindow = desktop->run("xdotool", {"search", "--class", "^SomethingElse$"});
        return !plainWindow.empty();
    }, 10000));
    const auto fresh = X11WindowSystem::open({desktop->display, std::vector{dir / "data/applications"}});
    EXPECT_EQ(fresh->applicationIDOfWindow(std::stoul(alpha)), "korvel-charlie");
    EXPECT_EQ(fresh->applicationIDOfWindow(std::stoul(plainWindow)), "xterm");
    EXPECT_EQ(fresh->defaultFileManagerID(), "korvel-files");
    PrivateDesktop::stop(plain);
}

TEST_F(AppLockDesktop, SurvivesTheXServerGoingAway) {
    launch("korvel-alpha");
    lock->add({"korvel-alpha", "Alpha", 0});
    lock->startMonitoring();
    ASSERT_TRUE(waitForCurtains(1));
    desktop.reset();
    settle(1000);
    EXPECT_EQ(windows->windowControl(), WindowControl::noDisplay);
    EXPECT_FALSE(lock->hasAccessibilityPermission());
    EXPECT_EQ(windows->frontmostApplicationID(), std::nullopt);
    EXPECT_TRUE(windows->runningApplications().empty());
}

TEST_F(AppLockDesktop, CoversOnActivationAcceptReturnsCancelHides) {
    const auto files = launch("korvel-files");
    const auto alpha = launch("korvel-alpha");
    launch("korvel-bravo");
    lock->add({"korvel-alpha", "Alpha", -1});
    lock->startMonitoring();
    settle();
    EXPECT_EQ(curtains.count(), 0u);

    bring("korvel-alpha");
    ASSERT_TRUE(waitForCurtains(1));
    EXPECT_EQ(curtains.last().app, (ProtectedApp{"korvel-alpha", "Alpha", -1}));

    // Accepting brings the application back to the front (the file manager stands in for whatever
    // took the front meanwhile).
    bring("korvel-files");
    curtains.last().unlock();
    EXPECT_TRUE(waitUntil([&] { return activeWindow() == alpha; }, 5000));
    bring("korvel-bravo");
    bring("korvel-alpha");
    EXPECT_EQ(curtains.count(), 1u);

    // Asking every time, set while the application is in front, covers it at once. Cancelling
    // iconifies it and activates the file manager, and nothing is covered after that.
    lock->setGrace(0, "korvel-alpha");
    ASSERT_TRUE(waitForCurtains(2));
    curtains.last().cancel();
    EXPECT_TRUE(waitUntil([&] { return iconified(alpha); }, 5000));
    EXPECT_TRUE(waitUntil([&] { return activeWindow() == files; }, 5000));
    settle(1500);
    EXPECT_EQ(curtains.count(), 2u);
    EXPECT_FALSE(lock->isCurtainUp());
}

TEST_F(AppLockDesktop, TimedAndUntilQuitGrace) {
    launch("korvel-files");
    launch("korvel-alpha");
    launch("korvel-bravo");
    lock->add({"korvel-alpha", "Alpha", 60});
    lock->add({"korvel-bravo", "Bravo", -1});
    lock->startMonitoring();
    settle();
    const auto curtainsAtStart = curtains.count();  // bravo may have been in front at start
    if (curtainsAtStart) curtains.last().unlock();

    bring("korvel-alpha");
    ASSERT_TRUE(waitForCurtains(curtainsAtStart + 1));
    curtains.last().unlock();
    bring("korvel-bravo");
    if (!curtainsAtStart) {
        ASSERT_TRUE(waitForCurtains(2));
        curtains.last().unlock();
    }
    const auto unlocked = curtains.count();
    bring("korvel-alpha");
    bring("korvel-bravo");
    bring("korvel-alpha");
    EXPECT_EQ(curtains.count(), unlocked) << "asked again within the grace";

    clock.advance(61s);
    bring("korvel-bravo");
    EXPECT_EQ(curtains.count(), unlocked) << "until-quit grace ended early";
    bring("korvel-alpha");
    ASSERT_TRUE(waitForCurtains(unlocked + 1)) << "timed grace did not end";
    EXPECT_EQ(curtains.last().app.bundleIdentifier, "korvel-alpha");
    curtains.last().unlock();

    // Quitting ends the until-quit grace: the restarted application is covered again.
    quit("korvel-bravo");
    launch("korvel-bravo");
    bring("korvel-bravo");
    ASSERT_TRUE(waitForCurtains(unlocked + 2));
    EXPECT_EQ(curtains.last().app.bundleIdentifier, "korvel-bravo");
}

TEST_F(AppLockDesktop, OneCurtainAtATimeAndLateStartedApplications) {
    launch("korvel-files");
    launch("korvel-alpha");
    launch("korvel-bravo");
    for (const char* id : {"korvel-alpha", "korvel-bravo", "korvel-charlie"}) lock->store().add({id, id, 0});
    bring("korvel-alpha");
    // Protected and already in front when protection starts: covered at once.
    lock->startMonitoring();
    ASSERT_TRUE(waitForCurtains(1));
    EXPECT_EQ(curtains.last().app.bundleIdentifier, "korvel-alpha");

    // A second protected application brought forward while the curtain is up is covered once the
    // first curtain has ended.
    bring("korvel-bravo");
    EXPECT_EQ(curtains.count(), 1u);
    curtains.last().cancel();
    ASSERT_TRUE(waitForCurtains(2));
    EXPECT_EQ(curtains.last().app.bundleIdentifier, "korvel-bravo");
    curtains.last().unlock();
    settle();

    // An application started while monitoring runs is covered on its first activation.
    const auto before = curtains.count();
    launch("korvel-charlie");
    bring("korvel-charlie");
    ASSERT_TRUE(waitForCurtains(before + 1));
    EXPECT_EQ(curtains.last().app.bundleIdentifier, "korvel-charlie");
}
