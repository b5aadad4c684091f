// Every window in every language: no text elided, clipped or drawn over another (TextFits). The
// vault page's states are checked with the vault model's tests, the enrolment window with its own.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPalette>
#include <QTabWidget>

#include "About/AboutWindow.h"
#include "AppLock/AppLockBackend.h"
#include "AppLock/AppLockView.h"
#include "AppLock/ApplicationChooserDialog.h"
#include "AppLock/CurtainModel.h"
#include "Auth/PasswordDialog.h"
#include "Identity/CredentialGate.h"
#include "Curtain/LockCurtainView.h"
#include "Identity/KorvelIDController.h"
#include "Identity/NotchState.h"
#include "Onboarding/OnboardingState.h"
#include "Onboarding/OnboardingWindow.h"
#include "Platform/FileSecretStore.h"
#include "ScanDisplay/NotchView.h"
#include "SecretStoreFixture.h"
#include "Settings/ChangePasswordDialog.h"
#include "Settings/SettingsWindow.h"
#include "Shell/AppState.h"
#include "Shell/QuitGuard.h"
#include "Shell/ShellServices.h"
#include "Support/Async.h"
#include "TestSupport.h"
#include "TextFits.h"
#include "Vault/KorvelIDVault.h"

namespace {
// Protected applications with every grace choice, by default on a session where window control is
// missing (so the banner shows too).
class ListedApps final : public AppLockBackend {
public:
    explicit ListedApps(WindowControl control = WindowControl::noWindowManager, WindowIntegration in = WindowIntegration::none)
        : control_(control), integration_(in) {}
    std::vector<ProtectedApp> protectedApps() const override {
        return {{"firefox-esr", "Firefox ESR", -1}, {"org.gnome.Nautilus", "Files", 0}, {"xterm", "XTerm", 300}};
    }
    void add(const ProtectedApp&) override {}
    void remove(const std::string&) override {}
    void setGrace(std::int64_t, const std::string&) override {}
    WindowControl windowControl() const override { return control_; }
    void requestWindowControl() override {}
    WindowIntegration integration() const override { return integration_; }

private:
    WindowControl control_;
    WindowIntegration integration_;
};

class TextFitsTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = ShellServices::shared();
        ShellServices::shared().makeAppLockPage = [] { return new AppLockView(std::make_shared<ListedApps>(), {}); };
        ShellServices::shared().presentEnrollment = [this](std::function<void()> done) { enrolled_ = true; done(); };
        ShellServices::shared().isEnrolled = [this] { return enrolled_; };
        KorvelIDVault::setStore(std::make_unique<VaultStore>(dir_ / "Vault"));
    }
    void TearDown() override {
        KorvelIDVault::setStore(nullptr);
        ShellServices::shared() = saved_;
    }
    TestSupport::TempDir dir_;
    TestSupport::ScopedSecretStore secrets_{std::make_shared<FileSecretStore>(dir_ / "secrets.json")};
    ShellServices saved_;
    bool enrolled_ = false;
};
}  // namespace

TEST_F(TextFitsTest, OnboardingSteps) {
    AppState state(false, false);
    OnboardingWindow window(state);
    TextFits::expectFitsInEveryLanguage(window, "onboarding-welcome");
    window.model().advance();
    const auto type = [&](const char* password, const char* confirm) {
        window.findChild<QLineEdit*>("onboardingPassword")->setText(password);
        window.findChild<QLineEdit*>("onboardingConfirm")->setText(confirm);
        window.model().advance();
    };
    type("abc", "abd");  // refused, with the message shown
    TextFits::expectFitsInEveryLanguage(window, "onboarding-password");
    type("secret1", "secret1");
    ASSERT_TRUE(TestSupport::waitUntil([&] { return window.model().step() == OnboardingState::Step::face; }, 20000));
    TextFits::expectFitsInEveryLanguage(window, "onboarding-face");
    state.setFaceEnrolled(true);
    TextFits::expectFitsInEveryLanguage(window, "onboarding-face-added");
    window.model().advance();
    TextFits::expectFitsInEveryLanguage(window, "onboarding-done");
}

TEST_F(TextFitsTest, SettingsTabsChooserAndDialogs) {
    AppState state(true, false);
    SettingsWindow window(state);
    const char* const tabs[] = {"settings-general", "settings-applock", "settings-vault", "settings-security"};
    for (int i = 0; i < window.tabs().count(); ++i) {
        window.tabs().setCurrentIndex(i);
        TextFits::expectFitsInEveryLanguage(window, tabs[i]);
    }
    // The General page's note when the blink setting could not be saved.
    ShellServices::shared().requireLiveness = [] { return false; };
    ShellServices::shared().setRequireLiveness = [](bool) {};
    SettingsWindow unsaved(state);
    unsaved.findChild<QCheckBox*>("generalRequireBlink")->click();
    TextFits::expectFitsInEveryLanguage(unsaved, "settings-general-not-saved");
    ApplicationChooserDialog chooser({{"firefox-esr", "Firefox ESR", ""}, {"xterm", "XTerm", ""}});
    TextFits::expectFitsInEveryLanguage(chooser, "applock-chooser");
    PasswordDialog quitPrompt(QuitGuard::reason);
    TextFits::expectFitsInEveryLanguage(quitPrompt, "password-prompt");
    PasswordDialog longestReason(CredentialGate::reason(CredentialGate::Change::showLockedApps));
    TextFits::expectFitsInEveryLanguage(longestReason, "password-prompt-long-reason");
    {
        // Refused because the keyring locked while it was open: the longest error it shows.
        TestSupport::ScopedSecretStore locked{std::make_shared<TestSupport::LockedStore>()};
        PasswordDialog refused(QuitGuard::reason);
        refused.setCheck([](std::string) { return Async::ready(false); });
        refused.findChild<QLineEdit*>("passwordField")->setText("right");
        refused.accept();
        ASSERT_TRUE(TestSupport::waitUntil([&] { return !refused.isChecking(); }));
        TextFits::expectFitsInEveryLanguage(refused, "password-prompt-keyring-locked");
    }
    ChangePasswordDialog change;
    TextFits::expectFitsInEveryLanguage(change, "change-password");
    AboutWindow about;
    TextFits::expectFitsInEveryLanguage(about, "about");
    // The App Lock tab's longest texts: the Wayland and GNOME extension banners, the KWin and GNOME lines.
    for (const auto& [control, integration, name] :
         {std::tuple{WindowControl::waylandSession, WindowIntegration::none, "settings-applock-wayland-banner"},
          std::tuple{WindowControl::gnomeExtensionMissing, WindowIntegration::none, "settings-applock-gnome-banner"},
          std::tuple{WindowControl::available, WindowIntegration::kwin, "settings-applock-kwin"},
          std::tuple{WindowControl::available, WindowIntegration::gnomeShell, "settings-applock-gnome"}}) {
        ShellServices::shared().makeAppLockPage = [=] { return new AppLockView(std::make_shared<ListedApps>(control, integration), {}); };
        SettingsWindow appLock(state);
        appLock.tabs().setCurrentIndex(1);
        TextFits::expectFitsInEveryLanguage(appLock, name);
    }
}

// Every phase of the curtain: scanning, the face refused, the password with a wrong one typed.
TEST(TextFits, CurtainPhases) {
    std::function<void(UnlockResult)> answerScan;
    CurtainModel model("Firefox ESR", true, [&](auto done) { answerScan = std::move(done); },
                       [](std::string, std::function<void(bool)> done) { done(false); }, true, [] {}, [] {});
    model.setKeyboardHeld(true);
    LockCurtainView view(&model);
    view.resize(1280, 800);
    view.setAutoFillBackground(true);  // the curtain's dark backdrop, for the pictures
    view.setPalette(QPalette(QColor(30, 30, 34)));
    TextFits::expectFitsInEveryLanguage(view, "curtain-scanning");
    ASSERT_TRUE(answerScan);
    answerScan(UnlockResult::denied(KorvelIDController::notRecognizedReason));
    TextFits::expectFitsInEveryLanguage(view, "curtain-failed");
    model.usePassword();
    model.setPasswordInput("wrong");
    model.submitPassword();
    TextFits::expectFitsInEveryLanguage(view, "curtain-password");
    model.setPasswordInReach([] { return false; });  // the keyring locked meanwhile
    model.setPasswordInput("right");
    model.submitPassword();
    TextFits::expectFitsInEveryLanguage(view, "curtain-keyring-locked");
}

// The scan display in each phase (the panel of a screen without a camera housing).
TEST(TextFits, ScanDisplayPhases) {
    NotchState state;
    NotchView display(state, {NotchMetrics::plainNotchWidth, NotchMetrics::plainNotchHeight, QSizeF(430, 94)});
    display.setFixedSize(430, 94);
    const std::pair<NotchPhase, const char*> phases[] = {
        {NotchPhase::scanning(0.4), "scan-scanning"},
        {NotchPhase::blink(), "scan-blink"},
        {NotchPhase::approved("Ada Lovelace"), "scan-approved"},
        {NotchPhase::denied(KorvelIDController::noCameraFoundText), "scan-denied"},
    };
    for (const auto& [phase, name] : phases) {
        state.setPhase(phase);
        TextFits::expectFitsInEveryLanguage(display, name);
    }
}
