// The application's services: the quit guard's decisions and prompts, launch at login. (A second
// start handing over to the first is walked by the program test.)
#include <gtest/gtest.h>

#include <QMessageBox>

#include "Common/DialogRunner.h"
#include "Curtain/LockCurtainWindow.h"
#include "Identity/KorvelIDAuth.h"
#include "Identity/MasterPassword.h"
#include "Shell/AppState.h"
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
    // (A locked keyring, which cannot tell whether a password is set, is asked about: the next case.)

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

    guard_.requestQuit();
    EXPECT_EQ(terminated_, 4) << "once authorised, a later quit is not asked again";

    QuitGuard fresh{[this] { ++terminated_; }};
    fresh.systemQuit();
    EXPECT_EQ(terminated_, 5) << "log-out and shut-down are never held up";
    EXPECT_EQ(reasons_.size(), 2u);
}

// A locked keyring may hold a password: the guard still asks (and says why the password cannot
// help), the curtain keeps its password route, and the program does not count as not onboarded.
TEST_F(QuitGuardTest, ALockedKeyringIsNoMissingPassword) {
    TestSupport::ScopedSecretStore locked{std::make_shared<TestSupport::LockedStore>()};
    answer_ = Result::failed(KorvelIDAuth::keyringLockedReason);
    std::vector<QString> boxes;
    DialogRunner::setResponder([&](QDialog& d) { boxes.push_back(d.objectName()); return int(QMessageBox::Ok); });
    guard_.requestQuit();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return !guard_.isPrompting(); }));
    DialogRunner::setResponder({});
    EXPECT_EQ(terminated_, 0) << "the app lock keeps running";
    EXPECT_EQ(reasons_, std::vector<std::string>{QuitGuard::reason});
    EXPECT_EQ(boxes, std::vector<QString>{"keyringLockedNotice"});
    EXPECT_TRUE(CurtainServices::defaults().masterPasswordIsSet());
    AppState state(false, false);
    state.refresh();
    EXPECT_TRUE(state.isOnboarded());
}

TEST(LaunchAtLoginTest, WritesAndRemovesTheEntryAndLogsAFailure) {
    TestSupport::TempDir dir;
    TestSupport::ScopedEnv config{{"XDG_CONFIG_HOME", dir.path().string()}};
    const fs::path entry = dir / "autostart" / "com.korvel.id.desktop";
    EXPECT_FALSE(LaunchAtLogin::isEnabled());
    LaunchAtLogin::set(true);
    EXPECT_TRUE(LaunchAtLogin::isEnabled());
    EXPECT_NE(TestSupport::readText(entry).find("Exec=" + LaunchAtLogin::execLine() + " --tray\n"), std::string::npos)
        << "started at login, the program keeps to the tray";
    LaunchAtLogin::set(false);
    EXPECT_FALSE(fs::exists(entry));

    fs::remove_all(dir / "autostart");
    TestSupport::writeText(dir / "autostart", "a file where the folder should be");
    LogCapture capture;
    EXPECT_NO_THROW(LaunchAtLogin::set(true));
    const auto lines = capture.messages("app");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Korvel ID: launch-at-login toggle failed: ", 0), 0u) << lines[0];
}
