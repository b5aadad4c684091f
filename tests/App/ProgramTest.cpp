// The real program under the test desktop, driven like a new user with simulated keys and a
// temporary HOME: a second start hands over to the first, onboarding (password, face skipped), an
// application protected through the App Lock page, the vault set up with a file added and exported,
// the language switched, a quit through the guard, and a SIGTERM that the guard never holds up.
// The program runs on a private session bus without a Secret Service, so it keeps its secrets in
// its own data folder and shares no keyring items with other tests.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTest>

#include <csignal>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {
QProcessEnvironment programEnvironment(const fs::path& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.string()));
    env.insert("XDG_DATA_HOME", QString::fromStdString((home / "data").string()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString((home / "config").string()));
    return env;
}

// Starts the program on a private session bus; `bus` and `pid` (files) receive the bus address and
// the program's process id.
void startOnPrivateBus(QProcess& p, const fs::path& home, const fs::path& bus, const fs::path& pid) {
    p.setProcessEnvironment(programEnvironment(home));
    p.start("dbus-run-session", {"--", "sh", "-c", R"(printf %s "$DBUS_SESSION_BUS_ADDRESS" > "$1"; echo $$ > "$2"; exec "$3")",
                                 "sh", QString::fromStdString(bus.string()), QString::fromStdString(pid.string()), KORVEL_APP_BINARY});
}

bool xdotool(const QStringList& args) {
    QProcess p;
    p.start("xdotool", args);
    return p.waitForFinished(15000) && p.exitCode() == 0;
}

// Visible windows with this exact title.
int windowsTitled(const QString& title) {
    QProcess search;
    search.start("xdotool", {"search", "--onlyvisible", "--name", "^" + title + "$"});
    search.waitForFinished(5000);
    return QString::fromUtf8(search.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts).size();
}

// Waits for a window of that title, brings it to the front and gives it a moment to take keys.
bool activate(const QString& title) {
    if (!TestSupport::waitUntil([&] { return windowsTitled(title) >= 1; }, 15000)) return false;
    QTest::qWait(300);
    return xdotool({"search", "--onlyvisible", "--name", "^" + title + "$", "windowactivate", "--sync"});
}

// The master-password prompt, also titled "Korvel ID", in front of the settings window: it has
// the focus as soon as it shows.
bool waitForPasswordPrompt() {
    if (!TestSupport::waitUntil([] { return windowsTitled("Korvel ID") == 2; }, 15000)) return false;
    QTest::qWait(500);
    return true;
}

bool keys(const QStringList& names) { return xdotool(QStringList{"key", "--delay", "150"} + names); }
bool type(const QString& text) { return xdotool({"type", "--delay", "30", text}); }

// Saves the screen to $KORVEL_SCREENSHOT_DIR when set, for a person to look at.
void screenshot(const char* name) {
    const char* dir = std::getenv("KORVEL_SCREENSHOT_DIR");
    if (!dir) return;
    QProcess::execute("import", {"-window", "root", QString::fromLocal8Bit(dir) + "/program-" + name + ".png"});
}
}  // namespace

TEST(Program, NewUserWalksThroughEverythingAndQuitsThroughTheGuard) {
    if (!std::getenv("KORVEL_DESKTOP_DIR")) GTEST_SKIP() << "needs the test desktop (scripts/test-desktop)";
    TestSupport::TempDir home;
    const fs::path data = home / "data" / "KorvelID" / "com.korvel.id";
    TestSupport::writeText(home / "note.txt", "the secret note");
    QProcess app;
    startOnPrivateBus(app, home.path(), home / "bus", home / "pid");
    ASSERT_TRUE(app.waitForStarted());
    ASSERT_TRUE(activate("Welcome to Korvel ID"));
    EXPECT_TRUE(fs::exists(data / ".lock"));
    screenshot("1-welcome");

    // Onboarding: welcome, the password (typed twice), the face skipped, then the settings.
    ASSERT_TRUE(keys({"Return"}));
    QTest::qWait(300);
    ASSERT_TRUE(type("secret1") && keys({"Tab"}) && type("secret1"));
    screenshot("2-password");
    ASSERT_TRUE(keys({"Return"}));
    QTest::qWait(1500);  // the key derivation
    screenshot("3-face");
    ASSERT_TRUE(keys({"Return"}));
    QTest::qWait(500);
    screenshot("4-done");
    ASSERT_TRUE(keys({"Return"}));
    ASSERT_TRUE(TestSupport::waitUntil([] { return windowsTitled("Welcome to Korvel ID") == 0; }, 15000));
    ASSERT_TRUE(activate("Korvel ID"));

    // App Lock page: Add App…, filter for XTerm, pick it.
    ASSERT_TRUE(keys({"ctrl+Tab"}));
    screenshot("5-applock-empty");
    ASSERT_TRUE(keys({"Tab", "space"}));
    ASSERT_TRUE(activate("Choose Apps to Lock"));
    ASSERT_TRUE(type("XTerm") && keys({"Tab", "End"}));
    screenshot("6-chooser");
    ASSERT_TRUE(keys({"Return"}));
    ASSERT_TRUE(TestSupport::waitUntil([&] {
        return TestSupport::readText(data / "protected-apps.json").find("\"name\":\"XTerm\"") != std::string::npos;
    }, 10000));

    // Vault page: set up with the master password, add the note, export it through the row menu.
    ASSERT_TRUE(activate("Korvel ID"));
    screenshot("7-applock");
    ASSERT_TRUE(keys({"ctrl+Tab"}));
    screenshot("8-vault-setup");
    ASSERT_TRUE(keys({"Tab", "Tab", "space"}));
    ASSERT_TRUE(waitForPasswordPrompt());
    ASSERT_TRUE(type("secret1") && keys({"Return"}));
    ASSERT_TRUE(TestSupport::waitUntil([] { return windowsTitled("Korvel ID") == 1; }, 15000));
    QTest::qWait(1500);  // the vault's key derivation
    ASSERT_TRUE(activate("Korvel ID"));
    ASSERT_TRUE(keys({"Tab", "space"}));  // Add Files…
    ASSERT_TRUE(activate("Open"));
    ASSERT_TRUE(type(QString::fromStdString((home / "note.txt").string())) && keys({"Return"}));
    ASSERT_TRUE(TestSupport::waitUntil([] { return windowsTitled("Open") == 0; }, 10000));
    QTest::qWait(1000);
    screenshot("9-vault-items");
    ASSERT_TRUE(activate("Korvel ID"));
    ASSERT_TRUE(keys({"Tab", "Tab", "Home", "Menu"}));
    QTest::qWait(500);
    ASSERT_TRUE(keys({"Down", "Return"}));  // Export…
    ASSERT_TRUE(activate("Save As"));
    ASSERT_TRUE(type(QString::fromStdString((home / "exported.txt").string())) && keys({"Return"}));
    ASSERT_TRUE(TestSupport::waitUntil([&] { return fs::exists(home / "exported.txt"); }, 10000));
    EXPECT_EQ(TestSupport::readText(home / "exported.txt"), "the secret note");
    EXPECT_NE(TestSupport::readText(data / "Vault" / "index.json").find("note.txt"), std::string::npos);

    // General page: the language picker, one step down to German, kept in the settings.
    ASSERT_TRUE(activate("Korvel ID"));
    ASSERT_TRUE(keys({"ctrl+shift+Tab", "ctrl+shift+Tab", "Tab", "Down"}));
    const fs::path conf = home / "config" / "KorvelID" / "Korvel ID.conf";
    ASSERT_TRUE(TestSupport::waitUntil([&] { return fs::exists(conf) && TestSupport::readText(conf).find("de") != std::string::npos; }, 10000));
    screenshot("10-general-german");
    ASSERT_TRUE(keys({"ctrl+shift+Tab"}));
    screenshot("11-security");

    // A second start on the same bus hands over to this one and exits.
    QProcess second;
    QProcessEnvironment env = programEnvironment(home.path());
    env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(TestSupport::readText(home / "bus")));
    second.setProcessEnvironment(env);
    second.start(KORVEL_APP_BINARY, {});
    ASSERT_TRUE(second.waitForFinished(15000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(app.state(), QProcess::Running);
    EXPECT_EQ(windowsTitled("Korvel ID"), 1) << "the same window, not a second one";

    // The quit: a password is set and XTerm protected, so the guard asks (no face enrolled: the
    // master-password dialog, also titled "Korvel ID").
    ASSERT_TRUE(activate("Korvel ID"));
    ASSERT_TRUE(keys({"ctrl+q"}));
    ASSERT_TRUE(waitForPasswordPrompt());
    EXPECT_EQ(app.state(), QProcess::Running) << "quitting waits for the password";
    ASSERT_TRUE(type("secret1") && keys({"Return"}));
    ASSERT_TRUE(app.waitForFinished(20000)) << "the right password lets the quit through";
    EXPECT_EQ(app.exitCode(), 0) << app.readAllStandardError().right(4000).toStdString();

    // Started again (onboarded, protected app, password): SIGTERM ends it without a prompt.
    QProcess again;
    fs::remove(home / "pid");
    startOnPrivateBus(again, home.path(), home / "bus", home / "pid");
    ASSERT_TRUE(TestSupport::waitUntil([] { return windowsTitled("Korvel ID") >= 1; }, 15000));
    ::kill(static_cast<pid_t>(std::stol(TestSupport::readText(home / "pid"))), SIGTERM);
    ASSERT_TRUE(again.waitForFinished(15000));
    EXPECT_EQ(again.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(again.exitCode(), 0) << again.readAllStandardError().right(4000).toStdString();
}
