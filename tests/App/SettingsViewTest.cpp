// The General and Security pages and the application delegate with scripted identity services.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "Common/DialogRunner.h"
#include "Face/CameraActivity.h"
#include "Localization/Localization.h"
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
        s.presentEnrollment = [this](std::function<void()> done) {
            ++faces;
            done();
        };
        s.resetFaces = [this] { faces = 0; };
        s.requireLiveness = [this] { return blink; };
        s.setRequireLiveness = [this](bool on) { blink = on; };
        s.secretStoreKind = [this] { return kind; };
        s.startMonitoring = [this] { ++monitoringStarts; };
    }
    ~ScriptedServices() { ShellServices::shared() = saved_; }
    int faces = 0;
    bool blink = true;
    SecretStore::Kind kind = SecretStore::Kind::secretService;
    int monitoringStarts = 0;

private:
    ShellServices saved_;
};

template <typename T>
T* child(QWidget& w, const char* name) {
    T* found = w.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}
}  // namespace

class PagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = Localizer::shared().language();
        Localizer::shared().setLanguage(AppLanguage::english);
    }
    void TearDown() override {
        DialogRunner::setResponder({});
        Localizer::shared().setLanguage(previous_);
    }
    TestSupport::TempDir dir_;
    TestSupport::ScopedSecretStore secrets_{std::make_shared<FileSecretStore>(dir_ / "secrets.json")};
    ScriptedServices services_;
    AppState state_{true, false};
    AppLanguage previous_ = AppLanguage::english;
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
    blink->click();
    EXPECT_FALSE(services_.blink);
    EXPECT_EQ(note->text(), qL("general.requireBlinkOff"));

    EXPECT_TRUE(child<QLabel>(page, "generalFileStoreWarning")->isHidden());
    services_.kind = SecretStore::Kind::file;
    GeneralView fileStorePage(state_);
    EXPECT_FALSE(child<QLabel>(fileStorePage, "generalFileStoreWarning")->isHidden());

    auto* language = child<QComboBox>(page, "generalLanguage");
    language->setCurrentIndex(1);
    Q_EMIT language->activated(1);
    EXPECT_EQ(child<QComboBox>(fileStorePage, "generalLanguage")->currentIndex(), 1) << "every open page follows";
}

TEST_F(PagesTest, SecurityPageCountsFacesRemovesThemAndReportsAPasswordChange) {
    GeneralView general(state_);
    SecurityView page(state_);
    auto* count = child<QLabel>(page, "securityEnrolledCount");
    auto* remove = child<QPushButton>(page, "securityRemoveFaces");
    EXPECT_EQ(count->text(), "0");
    EXPECT_TRUE(remove->isHidden());

    child<QPushButton>(page, "securityAddFace")->click();
    EXPECT_EQ(count->text(), "1");
    EXPECT_TRUE(state_.isFaceEnrolled());
    EXPECT_FALSE(remove->isHidden());
    EXPECT_EQ(child<QLabel>(general, "generalFaceStatus")->text(), qL("general.enabled")) << "without reopening";

    remove->click();
    EXPECT_EQ(services_.faces, 0);
    EXPECT_FALSE(state_.isFaceEnrolled());
    EXPECT_TRUE(remove->isHidden());

    auto* status = child<QLabel>(page, "securityStatus");
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

// Onboarding on to the settings window is walked by the program test.
TEST_F(PagesTest, DelegateStartsMonitoringAndReopensTheOnboardingWindow) {
    KorvelIDVault::setStore(std::make_unique<VaultStore>(dir_ / "Vault"));
    AppState fresh(false, false);
    {
        AppDelegate delegate(fresh);
        delegate.start();
        EXPECT_EQ(services_.monitoringStarts, 1);
        ASSERT_NE(delegate.onboardingWindow(), nullptr);
        EXPECT_EQ(delegate.settingsWindow(), nullptr) << "not before onboarding is done";
        delegate.onboardingWindow()->close();
        delegate.reopen();
        EXPECT_TRUE(delegate.onboardingWindow()->isVisible()) << "the same window comes back";
    }
    KorvelIDVault::setStore(nullptr);
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
