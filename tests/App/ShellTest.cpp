// The application's services: quit guard decisions and prompts, launch at login. (A second start
// handing over to the first is walked by the program test.)
#include <gtest/gtest.h>

#include "Identity/MasterPassword.h"
#include "Platform/FileSecretStore.h"
#include "SecretStoreFixture.h"
#include "Shell/LaunchAtLogin.h"
#include "Shell/QuitGuard.h"
#include "Shell/ShellServices.h"
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

TEST_F(QuitGuardTest, PromptsOnlyWhileProtectedNeverOnSystemQuitAndQuitsOnSuccess) {
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

    QuitGuard fresh{[this] { ++terminated_; }};
    fresh.systemQuit();
    EXPECT_EQ(terminated_, 4) << "log-out and shut-down are never held up";
    EXPECT_EQ(reasons_.size(), 2u);
}

TEST(LaunchAtLoginTest, WritesAndRemovesTheEntryAndLogsAFailure) {
    TestSupport::TempDir dir;
    const std::optional<std::string> previous = std::getenv("XDG_CONFIG_HOME") ? std::optional<std::string>(std::getenv("XDG_CONFIG_HOME")) : std::nullopt;
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    const fs::path entry = dir / "autostart" / "com.korvel.id.desktop";
    EXPECT_FALSE(LaunchAtLogin::isEnabled());
    LaunchAtLogin::set(true);
    EXPECT_TRUE(LaunchAtLogin::isEnabled());
    EXPECT_NE(TestSupport::readText(entry).find("Exec=" + LaunchAtLogin::execLine() + "\n"), std::string::npos);
    LaunchAtLogin::set(false);
    EXPECT_FALSE(fs::exists(entry));

    fs::remove_all(dir / "autostart");
    TestSupport::writeText(dir / "autostart", "a file where the folder should be");
    LogCapture capture;
    EXPECT_NO_THROW(LaunchAtLogin::set(true));
    const auto lines = capture.messages("app");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Korvel ID: launch-at-login toggle failed: ", 0), 0u) << lines[0];
    if (previous) setenv("XDG_CONFIG_HOME", previous->c_str(), 1);
    else unsetenv("XDG_CONFIG_HOME");
}
