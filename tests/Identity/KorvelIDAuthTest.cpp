// The authentication facade: scripted face results, the real password dialog answered through the
// dialog hook, and the real master password in the test desktop's secret store.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "Auth/PasswordDialog.h"
#include "Auth/PasswordDialogPrompt.h"
#include "Common/DialogRunner.h"
#include "Identity/KorvelIDAuth.h"
#include "Identity/MasterPassword.h"
#include "IdentityTestSupport.h"
#include "SecretStoreFixture.h"
#include "Support/Async.h"

namespace {
using IdentityTest::await;
using Result = KorvelIDAuth::Result;
using Method = KorvelIDAuth::Method;

const std::string rightPassword = "correct horse battery staple";

// What the person at the dialog does.
enum class Answer { none, right, wrong, empty, cancel };

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
        switch (answer) {
        case Answer::none: ADD_FAILURE() << "unexpected password dialog"; return QDialog::Rejected;
        case Answer::cancel: field->setText(QString::fromStdString(rightPassword)); return QDialog::Rejected;
        case Answer::right: field->setText(QString::fromStdString(rightPassword)); break;
        case Answer::wrong: field->setText("wrong horse"); break;
        case Answer::empty: break;
        }
        return QDialog::Accepted;
    }

    TestSupport::TempDir dir;
    TestSupport::ScopedSecretStore secrets{TestSupport::makeTestSecretStore(dir.path())};
    bool faceEnrolled = false;
    UnlockResult faceResult;
    Answer answer = Answer::none;
    int scans = 0;
    int dialogs = 0;
    std::string shownReason;
};

struct Row {
    const char* what;
    bool face;
    bool password;
    bool fallback;
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
        {"not recognised, wrong password", true, true, true, notRecognized, Answer::wrong, Result::cancelled(), 1},
        {"not recognised, empty password", true, true, true, notRecognized, Answer::empty, Result::cancelled(), 1},
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

        EXPECT_EQ(KorvelIDAuth::isConfigured(), row.face || row.password);
        EXPECT_EQ(await(KorvelIDAuth::authenticate("Quit Korvel ID", row.fallback)), row.expected);
        EXPECT_EQ(scans, row.face ? 1 : 0);
        EXPECT_EQ(dialogs, row.dialogs);
        if (row.dialogs) {
            EXPECT_EQ(shownReason, "Quit Korvel ID");
        }
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
}

TEST(PasswordDialogTest, MaskedFieldUnlockByDefaultAndEmptiedWhenRead) {
    PasswordDialog dialog("Unlock your vault");
    auto* field = dialog.findChild<QLineEdit*>("passwordField");
    ASSERT_TRUE(field);
    EXPECT_EQ(field->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dialog.focusWidget(), field);
    EXPECT_TRUE(dialog.findChild<QPushButton*>("unlockButton")->isDefault());

    field->setText("s3cret");
    dialog.show();
    TestSupport::waitUntil([] { return false; }, 200);
    const auto shot = std::filesystem::path(QCoreApplication::applicationDirPath().toStdString()) / "password-dialog.png";
    EXPECT_TRUE(dialog.grab().save(QString::fromStdString(shot.string())));
    EXPECT_EQ(dialog.takePassword().str(), "s3cret");
    EXPECT_TRUE(field->text().isEmpty());
}

}  // namespace
