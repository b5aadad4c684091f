// The app lock end to end on a real X server and window manager with real X clients (xterm, each
// with its own WM_CLASS and desktop entry), the X11 window system and a recording curtain.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "AppLock/KorvelIDAppLock.h"
#include "AppLockTestSupport.h"
#include "Platform/X11WindowSystem.h"
#include "PrivateDesktop.h"
#include "TestSupport.h"

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
        lock = std::make_unique<AppLockController>(windows, dir / "protected-apps.json");
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
    // Quits the application as a person would: gone from the server before anything restarts it.
    void quit(const std::string& id) {
        PrivateDesktop::stop(*clients.at(id));
        EXPECT_TRUE(waitUntil([&] { return windowOf(id).empty() && windows->runningApplications(id).empty(); }, 5000));
        settle();
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
    ::testing::AssertionResult waitForCurtains(std::size_t n) {
        if (waitUntil([&] { return curtains.count() >= n; }, 5000) && curtains.count() == n) return ::testing::AssertionSuccess();
        std::string ids;
        for (const auto& id : curtains.ids()) ids += " " + id;
        return ::testing::AssertionFailure() << "curtains:" << ids << (lock->isCurtainUp() ? " (one is up)" : "");
    }
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

// Real activation and termination events drive the lock: covered on activation, the until-quit
// grace holds across switches and ends when the process really quits, and cancelling iconifies the
// application and activates the default file manager (from the private mimeapps.list).
TEST_F(AppLockDesktop, CoversOnActivationGraceEndsOnQuitCancelHides) {
    const auto files = launch("korvel-files");
    launch("korvel-alpha");
    launch("korvel-bravo");
    // Bravo in front before monitoring starts: a protected app already in front is covered at once.
    bring("korvel-bravo");
    lock->add({"korvel-alpha", "Alpha", -1});
    lock->startMonitoring();
    settle();
    EXPECT_EQ(curtains.count(), 0u);

    bring("korvel-alpha");
    ASSERT_TRUE(waitForCurtains(1));
    EXPECT_EQ(curtains.last().app, (ProtectedApp{"korvel-alpha", "Alpha", -1}));
    curtains.last().unlock();  // bringing it back is the curtain tests' case
    bring("korvel-bravo");
    bring("korvel-alpha");
    EXPECT_EQ(curtains.count(), 1u) << "asked again within the grace";

    bring("korvel-bravo");
    quit("korvel-alpha");
    const auto alpha = launch("korvel-alpha");
    bring("korvel-alpha");
    ASSERT_TRUE(waitForCurtains(2)) << "the grace outlived the process";
    curtains.last().cancel();
    EXPECT_TRUE(waitUntil([&] { return iconified(alpha); }, 5000));
    EXPECT_TRUE(waitUntil([&] { return activeWindow() == files; }, 5000));
    settle(1500);
    EXPECT_EQ(curtains.count(), 2u);
    EXPECT_FALSE(lock->isCurtainUp());
}

TEST_F(AppLockDesktop, CoversAtStartAndLateStartedApplicationsAndSurvivesTheServerGoingAway) {
    launch("korvel-alpha");
    for (const char* id : {"korvel-alpha", "korvel-charlie"}) lock->store().add({id, id, 0});
    bring("korvel-alpha");
    lock->startMonitoring();
    ASSERT_TRUE(waitForCurtains(1)) << "in front when protection starts: covered at once";
    curtains.last().unlock();
    settle();

    launch("korvel-charlie");  // its windows appear while monitoring runs
    bring("korvel-charlie");
    ASSERT_TRUE(waitForCurtains(2));
    EXPECT_EQ(curtains.last().app.bundleIdentifier, "korvel-charlie");

    desktop.reset();
    settle(1000);
    EXPECT_EQ(windows->windowControl(), WindowControl::noDisplay);
    EXPECT_FALSE(lock->hasAccessibilityPermission());
    EXPECT_EQ(windows->frontmostApplicationID(), std::nullopt);
    EXPECT_TRUE(windows->runningApplications().empty());
}

// A program that dies and starts again at once may get the dead one's window ID from the server
// (client slots are reused), and the window manager's list may drop the old window and add the new
// one before this process looks again. The quit must still be seen, or an until-quit grace would
// outlive it.
TEST_F(AppLockDesktop, AQuitIsSeenWhenTheProgramStartsAgainAtOnce) {
    int quits = 0;
    const auto subscription = windows->subscribeTerminations([&](const std::string& id) { quits += id == "korvel-alpha"; });
    for (int round = 0; round < 3; ++round) {
        quits = 0;
        const auto before = launch("korvel-alpha");
        settle(200);
        PrivateDesktop::stop(*clients.at("korvel-alpha"));
        // No events are read meanwhile: the next look sees both changes at once.
        clients["korvel-alpha"] = &desktop->start("xterm", {"-class", QString::fromStdString(testApps.at("korvel-alpha")),
                                                            "-title", "korvel-alpha"});
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_TRUE(waitUntil([&] { return quits > 0; }, 5000))
            << "round " << round << ", window " << before << " -> " << windowOf("korvel-alpha");
        PrivateDesktop::stop(*clients.at("korvel-alpha"));
        settle(200);
    }
    windows->unsubscribe(subscription);
}
