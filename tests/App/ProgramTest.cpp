// The real program under the test desktop: it opens onboarding on a first start, a second start
// hands over to the first and exits, the data folder is held, and SIGTERM ends it cleanly.
#include <gtest/gtest.h>

#include <QProcess>

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
