// The General and Security pages and the application delegate with scripted identity services.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "Common/DialogRunner.h"
#include "Face/CameraActivity.h"
#include "Identity/CredentialGate.h"
#include "Localization/Localization.h"
#include "Onboarding/OnboardingState.h"
#include "Onboarding/OnboardingWindow.h"
#include "Platform/FileSecretStore.h"
#include "SecretStoreFixture.h"
#include "Settings/ChangePasswordDialog.h"
#include "Settings/ChangePasswordState.h"
#include "Settings/GeneralView.h"
#include "Settings/SecurityView.h"
#include "Settings/SettingsWindow.h"
#include "Shell/AppDelegate.h"
#include "Shell/AppState.h"
#include "Shell/ShellServices.h"
#include "Support/Async.h"
#include "TestSupport.h"
#include "TextFits.h"
#include "Vault/KorvelIDVault.h"
#include "Vault/SerialWorker.h"

namespace {
// Scripted faces and settings; restores the real services afterwards.
class ScriptedServices {
public:
    ScriptedServices() : saved_(ShellServices::shared()) {
        ShellServices& s = ShellServices::shared();
        s.isEnrolled = [this] { return faces > 0; };
        s.enrolledCount = [this] { return faces; };
        s.presentEnrollment = [this](std::function<void()> done) { ++faces; done(); };
        s.resetFaces = [this] { faces = savesWork ? 0 : faces; return savesWork; };
        s.requireLiveness = [this] { return blink; };
        s.setRequireLiveness = [this](bool on) { blink = savesWork ? on : blink; };
        s.secretStoreKind = [this] { return kind; };
        s.startMonitoring = [this] { ++monitoringStarts; };
        s.cameras = [this] { return cameras; };
        s.chosenCamera = [this] { return chosenCamera; };
        s.chooseCamera = [this](int i, const std::string& name) { chosenCamera = i; chosenName = name; };
    }
    ~ScriptedServices() { ShellServices::shared() = saved_; }
    int faces = 0;
    bool blink = true, savesWork = true;
    SecretStore::Kind kind = SecretStore::Kind::secretService;
    int monitoringStarts = 0;
    std::vector<std::string> cameras = {"Test Camera"};
    int chosenCamera = 0;
    std::string chosenName;

private:
    ShellServices saved_;
};

using TestSupport::child;
}  // namespace

class PagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        CredentialGate::setConfirmer([this](CredentialGate::Change change) {
            asked_.push_back(change);
            return Async::ready(outcome_);
        });
    }
    void TearDown() override {
        DialogRunner::setResponder({});
        CredentialGate::setConfirmer({});
    }
    TestSupport::ScopedLanguage english_{AppLanguage::english};
    CredentialGate::Outcome outcome_ = CredentialGate::Outcome::allowed;
    std::vector<CredentialGate::Change> asked_;
    TestSupport::TempDir dir_;
    TestSupport::ScopedSecretStore secrets_{std::make_shared<FileSecretStore>(dir_ / "secrets.json")};
    ScriptedServices services_;
    AppState state_{true, false};
};

TEST_F(PagesTest, GeneralPageFollowsCameraBlinkLanguageAndSecretStore) {
    GeneralView page(state_);
    auto* camera = child<QLabel>(page, "generalCameraStatus");
    EXPECT_EQ(camera->text(), qL("general.cameraOff"));
    CameraActivity::shared().cameraStarted();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return camera->text() == qL("general.cameraInUse"); }));
    CameraActivity::shared().cameraStopped();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return camera->text() == qL("general.cameraOff"); }));

    auto* blink = child<QCheckBox>(page, "generalRequireBlink");
    auto* note = child<QLabel>(page, "generalBlinkNote");
    EXPECT_EQ(note->text(), qL("general.requireBlinkOn"));
    // Turning the blink off asks for the credential first; refused, it stays on.
    outcome_ = CredentialGate::Outcome::refused;
    blink->click();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return asked_.size() == 1; }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(services_.blink && blink->isChecked());
    outcome_ = CredentialGate::Outcome::allowed;
    blink->click();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return !services_.blink; }));
    EXPECT_FALSE(blink->isChecked());
    EXPECT_EQ(note->text(), qL("general.requireBlinkOff"));
    EXPECT_EQ(asked_, std::vector<CredentialGate::Change>(2, CredentialGate::Change::blinkOff));
    services_.savesWork = false;
    blink->click();
    EXPECT_FALSE(blink->isChecked()) << "a save that did not take shows what is in force";
    EXPECT_EQ(note->text(), qL("general.settingsNotSaved"));
    services_.savesWork = true;
    blink->click();
    EXPECT_TRUE(services_.blink) << "turning it on asks nothing";
    EXPECT_EQ(asked_.size(), 2u);

    EXPECT_TRUE(child<QLabel>(page, "generalFileStoreWarning")->isHidden());
    services_.kind = SecretStore::Kind::file;
    GeneralView fileStorePage(state_);
    EXPECT_FALSE(child<QLabel>(fileStorePage, "generalFileStoreWarning")->isHidden());

    auto* language = child<QComboBox>(page, "generalLanguage");
    language->setCurrentIndex(1);
    Q_EMIT language->activated(1);
    EXPECT_EQ(child<QComboBox>(fileStorePage, "generalLanguage")->currentIndex(), 1) << "every open page follows";
    Localizer::shared().setLanguage(AppLanguage::english);

    // No camera: said so, with what to do instead; several: a choice; one: nothing to choose.
    EXPECT_FALSE(child<QComboBox>(page, "generalCameraChoice")->isVisibleTo(&page));
    services_.cameras = {};
    GeneralView bare(state_);
    EXPECT_EQ(child<QLabel>(bare, "generalCameraStatus")->text(), qL("scan.noCamera"));
    EXPECT_EQ(child<QLabel>(bare, "generalCameraNote")->text(), qL("general.noCameraHint"));
    services_.cameras = {"Integrated", "USB"};
    GeneralView two(state_);
    auto* choice = child<QComboBox>(two, "generalCameraChoice");
    ASSERT_TRUE(choice->isVisibleTo(&two));
    // Another camera only when the credential allows it.
    outcome_ = CredentialGate::Outcome::refused;
    Q_EMIT choice->activated(1);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return asked_.size() == 3; }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(services_.chosenCamera == 0 && choice->currentIndex() == 0);
    outcome_ = CredentialGate::Outcome::allowed;
    Q_EMIT choice->activated(1);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return services_.chosenCamera == 1; }));
    EXPECT_EQ(services_.chosenName, "USB") << "the device shown is the one approved";
    EXPECT_EQ(asked_.back(), CredentialGate::Change::changeCamera);

    // About and Quit in the window itself while no tray icon offers them.
    auto* quit = child<QPushButton>(two, "generalQuitButton");
    state_.setHasTray(false);
    EXPECT_TRUE(quit->isVisibleTo(&two));
    state_.setHasTray(true);
    EXPECT_FALSE(quit->isVisibleTo(&two));
}

TEST_F(PagesTest, SecurityPageCountsFacesRemovesThemAndReportsAPasswordChange) {
    GeneralView general(state_);
    SecurityView page(state_);
    auto* count = child<QLabel>(page, "securityEnrolledCount");
    auto* remove = child<QPushButton>(page, "securityRemoveFaces");
    EXPECT_EQ(count->text(), "0");
    EXPECT_TRUE(remove->isHidden());

    child<QPushButton>(page, "securityAddFace")->click();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return count->text() == "1"; }));
    EXPECT_EQ(asked_, std::vector<CredentialGate::Change>{CredentialGate::Change::addFace});
    EXPECT_TRUE(state_.isFaceEnrolled());
    EXPECT_FALSE(remove->isHidden());
    EXPECT_EQ(child<QLabel>(general, "generalFaceStatus")->text(), qL("general.enabled")) << "without reopening";

    // Removing asks to confirm ("Delete enrolled faces?"), then for the credential.
    int answer = QMessageBox::Cancel;
    DialogRunner::setResponder([&](QDialog& d) {
        auto& box = dynamic_cast<QMessageBox&>(d);
        EXPECT_EQ(box.text(), qL("security.deleteFacesTitle"));
        EXPECT_EQ(box.informativeText(), qL("security.deleteFacesBody"));
        return answer;
    });
    remove->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(services_.faces, 1);
    EXPECT_EQ(asked_.size(), 1u) << "cancelled before the credential is asked for";
    answer = QMessageBox::Ok;
    auto* status = child<QLabel>(page, "securityStatus");
    services_.savesWork = false;  // the faces stay, and the page says so
    remove->click();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return status->text() == qL("security.facesNotRemoved"); }));
    EXPECT_FALSE(status->isHidden() || remove->isHidden());
    TextFits::expectFitsInEveryLanguage(page, "settings-security-not-removed");
    services_.savesWork = true;
    remove->click();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return services_.faces == 0; }));
    EXPECT_EQ(asked_.back(), CredentialGate::Change::removeFaces);
    DialogRunner::setResponder({});
    EXPECT_FALSE(state_.isFaceEnrolled());
    EXPECT_TRUE(remove->isHidden() && status->isHidden());
    OnboardingWindow onboarding(state_);  // its face step asks as well
    child<QPushButton>(onboarding, "onboardingEnroll")->click();
    EXPECT_EQ(asked_.back(), CredentialGate::Change::addFace);

    DialogRunner::setResponder([](QDialog& d) {
        auto& sheet = dynamic_cast<ChangePasswordDialog&>(d);
        sheet.model().setChanger([](std::string, std::string) { return Async::ready(PasswordChangeResult::success); });
        sheet.findChild<QLineEdit*>("changePasswordNew")->setText("new secret");
        sheet.findChild<QLineEdit*>("changePasswordConfirm")->setText("new secret");
        sheet.findChild<QPushButton*>("changePasswordChange")->click();
        EXPECT_TRUE(TestSupport::waitUntil([&] { return sheet.result() == QDialog::Accepted; }));
        return sheet.result();
    });
    page.changePassword();
    EXPECT_FALSE(status->isHidden());
    EXPECT_EQ(status->text(), qL("security.passwordUpdated"));
}

TEST_F(PagesTest, DelegateStartsMonitoringReopensTheOnboardingWindowAndGoesOnToTheSettings) {
    TestSupport::ScopedVaultStore vault(std::make_unique<VaultStore>(dir_ / "Vault"));
    AppState fresh(false, false);
    {
        AppDelegate delegate(fresh);
        delegate.start();
        EXPECT_EQ(services_.monitoringStarts, 1);
        ASSERT_NE(delegate.onboardingWindow(), nullptr);
        EXPECT_EQ(delegate.settingsWindow(), nullptr) << "not before onboarding is done";
        delegate.onboardingWindow()->close();
        delegate.reopen();
        OnboardingWindow& onboarding = *delegate.onboardingWindow();
        EXPECT_TRUE(onboarding.isVisible()) << "the same window comes back";
        onboarding.model().advance();
        child<QLineEdit>(onboarding, "onboardingPassword")->setText("secret1");
        child<QLineEdit>(onboarding, "onboardingConfirm")->setText("secret1");
        onboarding.model().advance();
        ASSERT_TRUE(TestSupport::waitUntil([&] { return onboarding.model().step() == OnboardingState::Step::face; }, 20000));
        onboarding.model().advance();  // the face skipped
        onboarding.model().advance();
        ASSERT_TRUE(TestSupport::waitUntil([&] { return delegate.settingsWindow() && delegate.settingsWindow()->isVisible(); }));
    }
}

TEST(SerialWorkerTest, RunsJobsInOrderAndSurvivesAThrowingJob) {
    std::vector<int> order;
    {
        SerialWorker worker("test-worker");
        for (int i = 0; i < 50; ++i) {
            worker.post([&order, i] {
                if (i == 10) throw std::runtime_error("job failure");
                order.push_back(i);
            });
        }
        worker.waitIdle();
        EXPECT_EQ(worker.pending(), 0);
        worker.post([&order] { order.push_back(100); });
    }  // the destructor runs what is still queued
    ASSERT_EQ(order.size(), 50u);
    for (std::size_t i = 1; i < order.size(); ++i) EXPECT_LT(order[i - 1], order[i]);
    EXPECT_EQ(order.back(), 100);
}
