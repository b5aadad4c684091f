// The authentication facade: scripted face results, the real password dialog answered through the
// dialog hook, and the real master password in the test desktop's secret store.
#include <gtest/gtest.h>

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

#include "Auth/PasswordDialog.h"
#include "Auth/PasswordDialogPrompt.h"
#include "AppLock/CurtainModel.h"
#include "Settings/ChangePasswordState.h"
#include "Common/DialogRunner.h"
#include "Identity/CredentialGate.h"
#include "Identity/KorvelIDAuth.h"
#include "Identity/MasterPassword.h"
#include "Identity/PasswordRules.h"
#include "Localization/Localization.h"
#include "Vault/KorvelIDVault.h"
#include "Vault/VaultKeychain.h"
#include "IdentityTestSupport.h"
#include "SecretStoreFixture.h"
#include "Support/Async.h"

namespace {
using IdentityTest::await;
using Result = KorvelIDAuth::Result;
using Method = KorvelIDAuth::Method;

const std::string rightPassword = "correct horse battery staple";

// What the person at the dialog does. A wrong or empty password brings the same dialog back with
// "Incorrect password.", then cancelled (or, for wrongThenRight, given the right password).
enum class Answer { none, right, wrong, empty, cancel, wrongThenRight };

class KorvelIDAuthTest : public ::testing::Test {
protected:
    void SetUp() override {
        KorvelIDAuth::setPasswordPrompt(std::make_shared<PasswordDialogPrompt>());
        KorvelIDAuth::setFace({[this] { return faceEnrolled; },
                               [this] {
                                   ++scans;
                                   return Async::ready(faceResult);
                               }});
        DialogRunner::setResponder([this](QDialog& dialog) { return respond(dialog); });
    }
    void TearDown() override {
        MasterPassword::reset();
        DialogRunner::setResponder({});
        KorvelIDAuth::setFace({});
        KorvelIDAuth::setPasswordPrompt({});
    }

    int respond(QDialog& dialog) {
        ++dialogs;
        auto* field = dialog.findChild<QLineEdit*>("passwordField");
        EXPECT_TRUE(field);
        if (!field) return QDialog::Rejected;
        shownReason = dialog.findChild<QLabel*>("informativeLabel")->text().toStdString();
        if (&dialog == keptOpen) {
            const auto* error = dialog.findChild<QLabel*>("errorLabel");
            EXPECT_TRUE(error && !error->isHidden() && error->text() == qL("curtain.incorrectPassword"));
            if (answer != Answer::wrongThenRight) return QDialog::Rejected;
            field->setText(QString::fromStdString(rightPassword));
            return QDialog::Accepted;
        }
        if (answer == Answer::wrong || answer == Answer::empty || answer == Answer::wrongThenRight) keptOpen = &dialog;
        switch (answer) {
        case Answer::none: ADD_FAILURE() << "unexpected password dialog"; return QDialog::Rejected;
        case Answer::cancel: field->setText(QString::fromStdString(rightPassword)); return QDialog::Rejected;
        case Answer::right: field->setText(QString::fromStdString(rightPassword)); break;
        case Answer::wrong:
        case Answer::wrongThenRight: field->setText("wrong horse"); break;
        case Answer::empty: break;
        }
        return QDialog::Accepted;
    }

    TestSupport::TempDir dir;
    TestSupport::ScopedSecretStore secrets{TestSupport::makeTestSecretStore(dir.path())};
    bool faceEnrolled = false;
    UnlockResult faceResult;
    Answer answer = Answer::none;
    int scans = 0, dialogs = 0;
    QPointer<QDialog> keptOpen;  // a guarded pointer: the next dialog may reuse a gone one's address
    std::string shownReason;
};

struct Row {
    const char* what;
    bool face, password, fallback;
    UnlockResult faceResult;
    Answer answer;
    Result expected;
    int dialogs;
};

TEST_F(KorvelIDAuthTest, EveryWayThroughFaceAndPassword) {
    const auto notRecognized = UnlockResult::denied("Face not recognized");
    const Row rows[] = {
        {"face recognised", true, true, true, UnlockResult::approved("Ada"), Answer::none, Result::success(Method::face("Ada")), 0},
        {"not recognised, right password", true, true, true, notRecognized, Answer::right, Result::success(Method::password()), 1},
        {"busy, right password", true, true, true, UnlockResult::denied("Busy"), Answer::right, Result::success(Method::password()), 1},
        {"no camera, right password", true, true, true, UnlockResult::cameraUnavailable(), Answer::right, Result::success(Method::password()), 1},
        {"scan cancelled, right password", true, true, true, UnlockResult::denied("Cancelled"), Answer::right, Result::success(Method::password()), 1},
        {"not recognised, dialog cancelled", true, true, true, notRecognized, Answer::cancel, Result::cancelled(), 1},
        {"not recognised, wrong password", true, true, true, notRecognized, Answer::wrong, Result::cancelled(), 2},
        {"not recognised, empty password", true, true, true, notRecognized, Answer::empty, Result::cancelled(), 2},
        {"no face, wrong then right password", false, true, true, {}, Answer::wrongThenRight, Result::success(Method::password()), 2},
        {"fallback not allowed", true, true, false, notRecognized, Answer::none, Result::failed("Not recognized"), 0},
        {"no password set", true, false, true, notRecognized, Answer::none, Result::failed("Not recognized"), 0},
        {"no face, password, fallback not allowed", false, true, false, {}, Answer::right, Result::success(Method::password()), 1},
        {"no face, password, dialog cancelled", false, true, true, {}, Answer::cancel, Result::cancelled(), 1},
        {"nothing configured", false, false, true, {}, Answer::none, Result::failed("Not configured"), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        MasterPassword::reset();
        if (row.password) {
            ASSERT_TRUE(MasterPassword::set(rightPassword));
        }
        faceEnrolled = row.face;
        faceResult = row.faceResult;
        answer = row.answer;
        scans = dialogs = 0;
        keptOpen.clear();

        EXPECT_EQ(KorvelIDAuth::isConfigured(), row.face || row.password);
        EXPECT_EQ(await(KorvelIDAuth::authenticate("Quit Korvel ID", row.fallback)), row.expected);
        EXPECT_EQ(scans, row.face ? 1 : 0);
        EXPECT_EQ(dialogs, row.dialogs);
        if (row.dialogs) {
            EXPECT_EQ(shownReason, "Quit Korvel ID");
        }
    }

    // A keyring that cannot answer is no keyring without a password: no prompt, and a reason that says so.
    TestSupport::ScopedSecretStore locked{std::make_shared<TestSupport::LockedStore>()};
    EXPECT_EQ(MasterPassword::state(), MasterPassword::State::unavailable);
    answer = Answer::none;
    for (const bool face : {false, true}) {
        faceEnrolled = face;
        faceResult = notRecognized;
        EXPECT_TRUE(KorvelIDAuth::isConfigured());
        EXPECT_EQ(await(KorvelIDAuth::authenticate("Quit Korvel ID", true)), Result::failed(KorvelIDAuth::keyringLockedReason));
    }
}

TEST_F(KorvelIDAuthTest, PasswordValueAndVaultKeyOnlyForTheRightPassword) {
    ASSERT_TRUE(MasterPassword::set(rightPassword));
    const auto expectedKey = MasterPassword::deriveKeyForVault(rightPassword);
    ASSERT_TRUE(expectedKey);
    const std::pair<Answer, bool> cases[] = {{Answer::right, true}, {Answer::wrong, false}, {Answer::cancel, false}};
    for (const auto& [given, accepted] : cases) {
        SCOPED_TRACE(static_cast<int>(given));
        answer = given;
        const auto value = await(KorvelIDAuth::promptPasswordReturningValue("Change password"));
        EXPECT_EQ(value.has_value(), accepted);
        if (value) {
            EXPECT_EQ(value->str(), rightPassword);
        }
        const auto key = await(KorvelIDAuth::vaultAuthenticator()->promptVaultKey("Unlock your vault"));
        EXPECT_EQ(key.has_value(), accepted);
        if (key) {
            EXPECT_TRUE(*key == *expectedKey);
        }
    }

    // The vault's unlock asks once: the key of the password typed at the one prompt opens it.
    TestSupport::TempDir vaultDir;
    VaultStore(vaultDir / "Vault").initialize(*expectedKey);
    KorvelIDVault::setStore(std::make_unique<VaultStore>(vaultDir / "Vault"));
    KorvelIDVault::setAuthenticator(KorvelIDAuth::vaultAuthenticator());
    answer = Answer::wrongThenRight;
    dialogs = 0;
    EXPECT_TRUE(await(KorvelIDVault::unlock()));
    EXPECT_EQ(dialogs, 2) << "one dialog, kept open after the wrong password, and no second prompt";
    KorvelIDVault::setStore(nullptr);
    KorvelIDVault::setAuthenticator(nullptr);
    VaultKeychain::remove();
}

// Who may change who can unlock: nothing is asked without a master password; a new face needs the
// password even when a face is enrolled; the rest take the face or the password.
TEST_F(KorvelIDAuthTest, ChangesToWhoCanUnlockAskForTheExistingCredential) {
    using CredentialGate::Change, CredentialGate::Outcome;
    const auto ask = [](Change c) { return await(CredentialGate::confirm(c)); };
    EXPECT_EQ(ask(Change::addFace), Outcome::allowed);
    EXPECT_EQ(dialogs + scans, 0);

    ASSERT_TRUE(MasterPassword::set(rightPassword));
    faceEnrolled = true;
    faceResult = UnlockResult::approved("Ada");
    answer = Answer::cancel;
    EXPECT_EQ(ask(Change::addFace), Outcome::refused);
    EXPECT_EQ(scans, 0) << "the face about to be replaced does not count";
    answer = Answer::right;
    EXPECT_EQ(ask(Change::addFace), Outcome::allowed);
    EXPECT_EQ(dialogs, 2);
    for (const Change c : {Change::removeFaces, Change::unprotectApp, Change::changeGrace, Change::blinkOff})
        EXPECT_EQ(ask(c), Outcome::allowed);
    EXPECT_EQ(scans, 4);
    EXPECT_EQ(dialogs, 2);

    TestSupport::ScopedSecretStore locked{std::make_shared<TestSupport::LockedStore>()};
    EXPECT_EQ(ask(Change::addFace), Outcome::keyringLocked);
    faceResult = UnlockResult::denied("Face not recognized");
    EXPECT_EQ(ask(Change::removeFaces), Outcome::keyringLocked);
}

// Wrong passwords on one prompt hold every prompt opened afterwards until the wait is over: a new
// dialog, a new curtain and the change-password sheet take nothing before.
TEST_F(KorvelIDAuthTest, APromptOpenedAfterWrongPasswordsWaitsOutTheRest) {
    ASSERT_TRUE(MasterPassword::set(rightPassword));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(MasterPassword::verify("wrong horse"));
    EXPECT_GT(MasterPassword::retryWait().count(), 0);
    EXPECT_LE(MasterPassword::retryWait().count(), 1000);
    PasswordDialog dialog("Quit Korvel ID");
    EXPECT_TRUE(dialog.isWaiting());
    CurtainModel curtain("Files", false, {}, {}, true, {}, {});
    curtain.setKeyboardHeld(true);
    curtain.usePassword();
    EXPECT_FALSE(curtain.canTypePassword());
    ChangePasswordState sheet;
    int changes = 0;
    sheet.setChanger([&](std::string, std::string) { ++changes; return Async::ready(PasswordChangeResult::failed); });
    sheet.newPassword = sheet.confirm = "a new long password";
    sheet.attempt();
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(TestSupport::waitUntil([&] { return curtain.canTypePassword() && !dialog.isWaiting() && changes == 1; }, 3000));
}

TEST(PasswordDialogTest, MaskedFieldUnlockByDefaultAndEmptiedWhenRead) {
    const TestSupport::TempDir dir;
    const TestSupport::ScopedSecretStore secrets{TestSupport::makeTestSecretStore(dir.path())};
    PasswordDialog dialog("Unlock your vault");
    auto* field = dialog.findChild<QLineEdit*>("passwordField");
    ASSERT_TRUE(field);
    EXPECT_EQ(field->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dialog.focusWidget(), field);
    EXPECT_TRUE(dialog.findChild<QPushButton*>("unlockButton")->isDefault());

    field->setText("s3cret");
    dialog.show();
    EXPECT_EQ(dialog.takePassword().str(), "s3cret");
    EXPECT_TRUE(field->text().isEmpty());

    // Wrong passwords keep it open; after the third, Unlock waits (1 s, doubling to 30 s).
    int checks = 0;
    dialog.setCheck([&](std::string typed) { ++checks; return Async::ready(typed == "right"); });
    for (int i = 0; i < 3; ++i) {
        field->setText("wrong");
        dialog.accept();
        ASSERT_TRUE(TestSupport::waitUntil([&] { return !dialog.isChecking(); }));
    }
    EXPECT_TRUE(dialog.isVisible() && !dialog.isVerified());
    EXPECT_EQ(dialog.failures(), 3);
    EXPECT_TRUE(dialog.isWaiting());
    field->setText("right");
    dialog.accept();
    EXPECT_EQ(checks, 3) << "no try while waiting";
    ASSERT_TRUE(TestSupport::waitUntil([&] { return !dialog.isWaiting(); }, 3000));
    dialog.accept();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return dialog.isVerified(); }));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.takePassword().str(), "right");
    for (const auto& [failures, ms] : {std::pair{2, 0}, {3, 1000}, {4, 2000}, {8, 30000}, {40, 30000}})
        EXPECT_EQ(PasswordRules::retryDelay(failures).count(), ms) << failures;

    // A keyring that locks while the dialog is open refuses every password: the dialog says why,
    // and the refusals are no wrong passwords to wait for.
    PasswordDialog locked("Unlock your vault");
    locked.setCheck([](std::string) { return Async::ready(false); });
    TestSupport::ScopedSecretStore keyring{std::make_shared<TestSupport::LockedStore>()};
    for (int i = 0; i < 4; ++i) {
        locked.findChild<QLineEdit*>("passwordField")->setText("right");
        locked.accept();
        ASSERT_TRUE(TestSupport::waitUntil([&] { return !locked.isChecking(); }));
    }
    EXPECT_EQ(locked.findChild<QLabel*>("errorLabel")->text(), qL("auth.keyringLocked"));
    EXPECT_EQ(locked.failures(), 0);
    EXPECT_FALSE(locked.isWaiting());
}

}  // namespace
