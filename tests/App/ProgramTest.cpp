// The real program under the test desktop: it opens onboarding on a first start, a second start
// hands over to the first and exits, the data folder is held, and SIGTERM ends it cleanly.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTest>

#include <csignal>

#include "TestSupport.h"

namespace {
QProcessEnvironment programEnvironment(const std::filesystem::path& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.string()));
    env.insert("XDG_DATA_HOME", QString::fromStdString((home / "data").string()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString((home / "config").string()));
    return env;
}

// Visible windows with this exact title, by xdotool.
int windowsTitled(const QString& title) {
    QProcess search;
    search.start("xdotool", {"search", "--onlyvisible", "--name", "^" + title + "$"});
    search.waitForFinished(5000);
    return QString::fromUtf8(search.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts).size();
}
}  // namespace

TEST(Program, FirstStartOnboardsSecondStartHandsOverSigtermQuits) {
    if (!std::getenv("KORVEL_DESKTOP_DIR")) GTEST_SKIP() << "needs the test desktop (scripts/test-desktop)";
    TestSupport::TempDir home;
    QProcess first;
    first.setProcessEnvironment(programEnvironment(home.path()));
    first.start(KORVEL_APP_BINARY, {});
    ASSERT_TRUE(first.waitForStarted());
    ASSERT_TRUE(TestSupport::waitUntil([] { return windowsTitled("Welcome to Korvel ID") == 1; }, 15000));
    EXPECT_TRUE(std::filesystem::exists(home / "data" / "KorvelID" / "com.korvel.id" / ".lock"));

    QProcess second;
    second.setProcessEnvironment(programEnvironment(home.path()));
    second.start(KORVEL_APP_BINARY, {});
    ASSERT_TRUE(second.waitForFinished(15000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_EQ(windowsTitled("Welcome to Korvel ID"), 1) << "the same window, not a second one";

    ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
    ASSERT_TRUE(first.waitForFinished(15000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
}

namespace {
bool xdotool(const QStringList& args) {
    QProcess p;
    p.start("xdotool", args);
    return p.waitForFinished(15000) && p.exitCode() == 0;
}
}  // namespace

// A new user with simulated keys: onboarding with a password, skipping the face, the settings
// window, then a guarded quit (an application is protected) answered with the master password.
// The program runs on a private session bus without a Secret Service, so it keeps its secrets in
// its own data folder and shares no keyring items with other tests.
TEST(Program, OnboardsByKeyboardAndQuitsThroughTheGuard) {
    if (!std::getenv("KORVEL_DESKTOP_DIR")) GTEST_SKIP() << "needs the test desktop (scripts/test-desktop)";
    TestSupport::TempDir home;
    const auto data = home / "data" / "KorvelID" / "com.korvel.id";
    std::filesystem::create_directories(data);
    TestSupport::writeText(data / "protected-apps.json", R"([{"bundleIdentifier":"xterm","name":"XTerm","graceSeconds":0}])");
    QProcess app;
    app.setProcessEnvironment(programEnvironment(home.path()));
    app.start("dbus-run-session", {"--", KORVEL_APP_BINARY});
    ASSERT_TRUE(app.waitForStarted());
    ASSERT_TRUE(TestSupport::waitUntil([] { return windowsTitled("Welcome to Korvel ID") == 1; }, 15000));
    ASSERT_TRUE(xdotool({"search", "--onlyvisible", "--name", "^Welcome to Korvel ID$", "windowactivate", "--sync"}));
    ASSERT_TRUE(xdotool({"key", "--delay", "100", "Return"}));
    ASSERT_TRUE(xdotool({"type", "--delay", "30", "secret1"}));
    ASSERT_TRUE(xdotool({"key", "Tab"}));
    ASSERT_TRUE(xdotool({"type", "--delay", "30", "secret1"}));
    ASSERT_TRUE(xdotool({"key", "Return"}));
    QTest::qWait(1500);  // the key derivation
    ASSERT_TRUE(xdotool({"key", "--delay", "300", "Return", "Return"}));  // skip the face, open the settings
    ASSERT_TRUE(TestSupport::waitUntil([] { return windowsTitled("Welcome to Korvel ID") == 0 && windowsTitled("Korvel ID") == 1; }, 15000));

    ASSERT_TRUE(xdotool({"search", "--onlyvisible", "--name", "^Korvel ID$", "windowactivate", "--sync"}));
    ASSERT_TRUE(xdotool({"key", "ctrl+q"}));
    // No face is enrolled: the guard's prompt is the master-password dialog (also titled "Korvel ID").
    ASSERT_TRUE(TestSupport::waitUntil([] { return windowsTitled("Korvel ID") == 2; }, 15000));
    EXPECT_EQ(app.state(), QProcess::Running) << "quitting waits for the password";
    QTest::qWait(500);
    ASSERT_TRUE(xdotool({"type", "--delay", "30", "secret1"}));
    ASSERT_TRUE(xdotool({"key", "Return"}));
    ASSERT_TRUE(app.waitForFinished(20000)) << "the right password lets the quit through";
    EXPECT_EQ(app.exitCode(), 0);
}
