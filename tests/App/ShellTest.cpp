// The application's services: quit guard decisions and prompts, launch at login, single instance.
#include <gtest/gtest.h>

#include <QDBusConnection>

#include <unistd.h>

#include "Identity/MasterPassword.h"
#include "Platform/FileSecretStore.h"
#include "SecretStoreFixture.h"
#include "Shell/LaunchAtLogin.h"
#include "Shell/QuitGuard.h"
#include "Shell/ShellServices.h"
#include "Shell/SingleInstance.h"
#include "Support/Async.h"
#include "Support/Logger.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using Result = VaultAuthenticator::Result;

TEST(QuitDecision, GuardedOnlyWhilePasswordAndProtectedAppsAndNotSystem) {
    struct Case {
        const char* name;
        QuitFacts facts;
        QuitDecision expected;
    };
    const Case cases[] = {
        {"no password", {false, false, false, true}, QuitDecision::terminateNow},
        {"password, no protected app", {false, false, true, false}, QuitDecision::terminateNow},
        {"password and protected app", {false, false, true, true}, QuitDecision::authenticate},
        {"system quit while protected", {false, true, true, true}, QuitDecision::terminateNow},
        {"already authorised", {true, false, true, true}, QuitDecision::terminateNow},
    };
    for (const Case& c : cases) EXPECT_EQ(decideQuit(c.facts), c.expected) << c.name;
}

class QuitGuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = ShellServices::shared();
        ShellServices::shared().hasProtectedApps = [this] { return protectedApps_; };
        ShellServices::shared().authenticate = [this](const std::string& reason, bool fallback) {
            reasons_.push_back(reason);
            EXPECT_TRUE(fallback);
            return Async::ready(answer_);
        };
    }
    void TearDown() override { ShellServices::shared() = saved_; }

    TestSupport::TempDir dir_;
    TestSupport::ScopedSecretStore secrets_{std::make_shared<FileSecretStore>(dir_ / "secrets.json")};
    ShellServices saved_;
    bool protectedApps_ = true;
    Result answer_ = Result::cancelled();
    std::vector<std::string> reasons_;
    int terminated_ = 0;
    QuitGuard guard_{[this] { ++terminated_; }};
};

TEST_F(QuitGuardTest, PromptsOnlyWhileProtectedAndQuitsOnSuccess) {
    guard_.requestQuit();
    EXPECT_EQ(terminated_, 1) << "no master password: immediate";
    EXPECT_TRUE(reasons_.empty());

    ASSERT_TRUE(MasterPassword::set("secret1"));
    protectedApps_ = false;
    guard_.requestQuit();
    EXPECT_EQ(terminated_, 2) << "nothing protected: immediate";

    protectedApps_ = true;
    guard_.requestQuit();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return !guard_.isPrompting(); }));
    EXPECT_EQ(terminated_, 2) << "a cancelled prompt keeps the program running";
    EXPECT_EQ(reasons_, std::vector<std::string>{QuitGuard::reason});

    answer_ = Result::success(VaultAuthenticator::Method::face("Ann"));
    guard_.requestQuit();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return terminated_ == 3; }));
    EXPECT_TRUE(guard_.isQuitAuthorized());
}

TEST_F(QuitGuardTest, SystemQuitIsNeverHeldUp) {
    ASSERT_TRUE(MasterPassword::set("secret1"));
    guard_.systemQuit();
    EXPECT_EQ(terminated_, 1);
    EXPECT_TRUE(reasons_.empty());
}

class LaunchAtLoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) previous_ = old;
        setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    }
    void TearDown() override {
        if (previous_) setenv("XDG_CONFIG_HOME", previous_->c_str(), 1);
        else unsetenv("XDG_CONFIG_HOME");
    }
    TestSupport::TempDir dir_;
    std::optional<std::string> previous_;
};

TEST_F(LaunchAtLoginTest, WritesAndRemovesTheAutostartEntry) {
    EXPECT_FALSE(LaunchAtLogin::isEnabled());
    LaunchAtLogin::set(true);
    const fs::path entry = dir_ / "autostart" / "com.korvel.id.desktop";
    ASSERT_TRUE(fs::exists(entry));
    EXPECT_TRUE(LaunchAtLogin::isEnabled());
    const std::string text = TestSupport::readText(entry);
    EXPECT_NE(text.find("Exec=" + LaunchAtLogin::execLine() + "\n"), std::string::npos) << text;
    LaunchAtLogin::set(false);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_FALSE(LaunchAtLogin::isEnabled());
}

TEST_F(LaunchAtLoginTest, FailureIsLoggedAndNotRaised) {
    TestSupport::writeText(dir_ / "autostart", "a file where the folder should be");
    LogCapture capture;
    EXPECT_NO_THROW(LaunchAtLogin::set(true));
    const auto lines = capture.messages("app");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Korvel ID: launch-at-login toggle failed: ", 0), 0u) << lines[0];
}

TEST(SingleInstanceTest, SecondStartActivatesTheFirst) {
    if (!QDBusConnection::sessionBus().isConnected()) GTEST_SKIP() << "no session bus; run inside scripts/test-desktop";
    const QString name = QStringLiteral("com.korvel.id.test%1").arg(::getpid());
    SingleInstance first(name);
    int activations = 0;
    QObject::connect(&first, &SingleInstance::activationRequested, [&] { ++activations; });
    ASSERT_EQ(first.claim(), SingleInstance::Claim::primary);

    QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("second-start"));
    {
        SingleInstance second(name, other);
        EXPECT_EQ(second.claim(), SingleInstance::Claim::activated);
    }
    EXPECT_TRUE(TestSupport::waitUntil([&] { return activations == 1; }));
    QDBusConnection::disconnectFromBus(QStringLiteral("second-start"));
}
