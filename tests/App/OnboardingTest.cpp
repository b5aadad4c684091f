// Onboarding and change-password rules, and the language switch across open windows.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QTabWidget>

#include "Identity/MasterPassword.h"
#include "Localization/Localization.h"
#include "Onboarding/OnboardingState.h"
#include "Platform/FileSecretStore.h"
#include "SecretStoreFixture.h"
#include "Settings/ChangePasswordState.h"
#include "Settings/SettingsWindow.h"
#include "Shell/AppState.h"
#include "Support/Async.h"
#include "TestSupport.h"
#include "Tray/TrayMenu.h"
#include "Vault/KorvelIDVault.h"

using Step = OnboardingState::Step;

TEST(PasswordRules, LengthInPerceivedCharactersBeforeMatch) {
    struct Case {
        QString password, confirm;
        const char* expected;  // nullptr: accepted
    };
    const Case cases[] = {
        {"abc", "abd", "onboard.tooShort"},
        {"abcdef", "abcdeg", "onboard.mismatch"},
        // Six characters of several bytes each: é, ü, 🙂 (two UTF-16 units), e + combining acute, 한, ß.
        {QString::fromUtf8("éü🙂e\u0301한ß"), QString::fromUtf8("éü🙂e\u0301한ß"), nullptr},
        // Five user-perceived characters, though seven UTF-16 units.
        {QString::fromUtf8("🙂🙂e\u0301ab"), QString::fromUtf8("🙂🙂e\u0301ab"), "onboard.tooShort"},
    };
    for (const Case& c : cases) {
        const char* got = OnboardingState::validate(c.password, c.confirm);
        EXPECT_STREQ(got, c.expected) << c.password.toStdString();
    }
}

class OnboardingStateTest : public ::testing::Test {
protected:
    TestSupport::TempDir dir_;
    TestSupport::ScopedSecretStore secrets_{std::make_shared<FileSecretStore>(dir_ / "secrets.json")};
    AppState state_{false, false};
    OnboardingState model_{state_};
};

TEST_F(OnboardingStateTest, WalksTheStepsAndStoresThePassword) {
    model_.advance();
    ASSERT_EQ(model_.step(), Step::master);
    EXPECT_FALSE(model_.canAdvance());
    model_.setPassword("abc");
    EXPECT_FALSE(model_.canAdvance()) << "both fields need a character";
    model_.setConfirm("abd");
    ASSERT_TRUE(model_.canAdvance()) << "the rules are checked on advancing, with a message";

    model_.setPassword(QString::fromUtf8("pässwörd"));
    model_.setConfirm(QString::fromUtf8("pässwörd"));
    model_.advance();
    EXPECT_FALSE(model_.canAdvance()) << "disabled while the key is derived";
    ASSERT_TRUE(TestSupport::waitUntil([&] { return model_.step() == Step::face; }, 10000));
    EXPECT_TRUE(state_.isOnboarded());
    EXPECT_TRUE(MasterPassword::verify("pässwörd"));
    EXPECT_STREQ(model_.primaryTitleKey(), "onboard.skip");
    state_.setFaceEnrolled(true);
    EXPECT_STREQ(model_.primaryTitleKey(), "common.continue") << "an enrolment done from this step counts";

    // The saved password cannot be replaced from the open window: no way back to its page.
    EXPECT_FALSE(model_.showsBack());
    model_.back();
    EXPECT_EQ(model_.step(), Step::face);
}

TEST_F(OnboardingStateTest, SaveFailureStaysOnThePasswordStepAndCompletionIsOnce) {
    model_.setPasswordSaver([](std::string) { return Async::ready(false); });
    model_.advance();
    model_.setPassword("secret1");
    model_.setConfirm("secret1");
    model_.advance();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return !model_.isSavingPassword(); }));
    EXPECT_EQ(model_.passwordError(), "onboard.saveFailed");
    EXPECT_EQ(model_.step(), Step::master);
    EXPECT_EQ(model_.password(), "secret1") << "the fields keep their contents";

    model_.setPasswordSaver([](std::string) { return Async::ready(true); });
    model_.advance();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return model_.step() == Step::face; }));
    model_.advance();
    int completions = 0;
    QObject::connect(&model_, &OnboardingState::completed, [&] { ++completions; });
    model_.advance();
    model_.advance();
    EXPECT_EQ(completions, 1);
}

TEST(ChangePasswordStateTest, MessagesForEachOutcome) {
    struct Case {
        QString newPassword, confirm;
        std::optional<PasswordChangeResult> result;  // what the vault answers, if asked
        QString error;
        bool succeeded;
    };
    const Case cases[] = {
        {"12345", "99999", std::nullopt, "changepw.tooShort", false},
        {"123456", "123457", std::nullopt, "changepw.mismatch", false},
        {"123456", "123456", PasswordChangeResult::wrongCurrentPassword, "changepw.wrongCurrent", false},
        {"123456", "123456", PasswordChangeResult::failed, "changepw.failed", false},
        {"123456", "123456", PasswordChangeResult::success, "", true},
    };
    for (const Case& c : cases) {
        ChangePasswordState sheet;
        int asked = 0;
        sheet.setChanger([&](std::string, std::string) {
            ++asked;
            return Async::ready(c.result.value_or(PasswordChangeResult::failed));
        });
        bool succeeded = false;
        QObject::connect(&sheet, &ChangePasswordState::succeeded, [&] { succeeded = true; });
        sheet.newPassword = c.newPassword;
        sheet.confirm = c.confirm;
        sheet.attempt();
        ASSERT_TRUE(TestSupport::waitUntil([&] { return !sheet.isWorking(); }));
        EXPECT_EQ(sheet.error(), c.error) << c.newPassword.toStdString();
        EXPECT_EQ(succeeded, c.succeeded);
        EXPECT_EQ(asked, c.result ? 1 : 0) << "the rules are checked before the vault is asked";
    }
}

// The sheet's own changer is the vault facade's (a wrong current password there is the facade's
// tests'; its message here is the outcome table's).
TEST(ChangePasswordStateTest, RealChangeThroughTheVaultFacade) {
    TestSupport::TempDir dir;
    TestSupport::ScopedSecretStore secrets{std::make_shared<FileSecretStore>(dir / "secrets.json")};
    TestSupport::ScopedVaultStore vault(std::make_unique<VaultStore>(dir / "Vault"));
    ASSERT_TRUE(MasterPassword::set("first pw"));
    ChangePasswordState sheet;
    sheet.current = "first pw";
    sheet.newPassword = sheet.confirm = "second pw";
    sheet.attempt();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return !sheet.isWorking(); }, 10000));
    EXPECT_TRUE(sheet.error().isEmpty());
    EXPECT_TRUE(MasterPassword::verify("second pw"));
}

TEST(LanguageSwitch, RelabelsTabsAndTrayMenuAtOnce) {
    TestSupport::TempDir dir;
    TestSupport::ScopedSecretStore secrets{std::make_shared<FileSecretStore>(dir / "secrets.json")};
    TestSupport::ScopedVaultStore vault(std::make_unique<VaultStore>(dir / "Vault"));
    TestSupport::ScopedLanguage inEnglish(AppLanguage::english);
    AppState state(true, false);
    SettingsWindow window(state);
    TrayMenu tray;
    auto texts = [&] {
        QStringList out;
        for (int i = 0; i < window.tabs().count(); ++i) out << window.tabs().tabText(i);
        for (QAction* a : tray.menu().actions())
            if (!a->objectName().isEmpty()) out << a->text();
        return out;
    };
    const QStringList english = texts();
    Localizer::shared().setLanguage(AppLanguage::german);
    const QStringList german = texts();
    ASSERT_EQ(german.size(), 8) << "four tabs, four menu items";
    for (int i = 0; i < german.size(); ++i) EXPECT_NE(german[i], english[i]) << english[i].toStdString();
}
