// The vault page's model and view against a real vault in a temporary folder, with scripted
// authentication answers and the real master password over a private file secret store.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QMimeData>
#include <QProcess>
#include <QPromise>
#include <QTest>

#include <atomic>

#include "Common/DialogRunner.h"
#include "Identity/MasterPassword.h"
#include "Localization/Localization.h"
#include "Platform/FileSecretStore.h"
#include "ScriptedAuthenticator.h"
#include "Shell/SessionLockWatcher.h"
#include "SecretStoreFixture.h"
#include "TestSupport.h"
#include "TextFits.h"
#include "Vault/KorvelIDVault.h"
#include "Vault/SerialWorker.h"
#include "Vault/VaultAccess.h"
#include "Vault/VaultModel.h"
#include "Vault/VaultView.h"

namespace fs = std::filesystem;
using TestSupport::TempDir;

namespace {
using Result = VaultAuthenticator::Result;
constexpr const char* password = "päss wörd";

using TestSupport::ScriptedAuthenticator;

class VaultModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MasterPassword::set(password));
        KorvelIDVault::setStore(std::make_unique<VaultStore>(dir_ / "Vault"));
        KorvelIDVault::setAuthenticator(auth_);
    }
    void TearDown() override {
        DialogRunner::setResponder({});
        KorvelIDVault::setStore(nullptr);
        KorvelIDVault::setAuthenticator(nullptr);
    }

    void settle(VaultModel& model) {
        ASSERT_TRUE(TestSupport::waitUntil([&] { return !model.isBusy() && !model.isWorking(); }, 20000));
    }
    void unlockedVault(VaultModel& model) {
        auth_->typed.push_back(password);
        model.setUp();
        settle(model);
        ASSERT_TRUE(model.isSetUp() && model.isUnlocked()) << model.error().toStdString();
    }
    QUrl file(const std::string& name, const std::string& text) {
        TestSupport::writeText(dir_ / name, text);
        return QUrl::fromLocalFile(QString::fromStdString((dir_ / name).string()));
    }
    // The desktop's opener, replaced by a list of what it was given.
    static void recordOpens(VaultModel& model, std::vector<QUrl>& opened) {
        model.setOpener([&opened](const QUrl& url) { opened.push_back(url); return true; });
    }
    std::vector<std::string> names(const VaultModel& model) {
        std::vector<std::string> out;
        for (const auto& item : model.items()) out.push_back(item.name);
        return out;
    }
    std::size_t scratchCount() {
        const fs::path scratch = dir_ / "Vault" / VaultStore::scratchFolderName;
        if (!fs::exists(scratch)) return 0;
        return static_cast<std::size_t>(std::count_if(fs::recursive_directory_iterator(scratch), fs::recursive_directory_iterator(),
                                                      [](const fs::directory_entry& e) { return e.is_regular_file(); }));
    }

    TempDir dir_;
    TestSupport::ScopedSecretStore secrets_{std::make_shared<FileSecretStore>(dir_ / "Secrets" / "secrets.json")};
    std::shared_ptr<ScriptedAuthenticator> auth_ = std::make_shared<ScriptedAuthenticator>();
};
}  // namespace

TEST_F(VaultModelTest, StatesFollowSetUpUnlockAndLock) {
    VaultModel model;
    model.refresh();
    settle(model);
    EXPECT_FALSE(model.isSetUp());

    auth_->typed.push_back(std::nullopt);  // the set-up prompt dismissed
    model.setUp();
    settle(model);
    EXPECT_FALSE(model.isSetUp());
    EXPECT_EQ(model.error().toStdString(), VaultError::locked().description());

    unlockedVault(model);
    EXPECT_TRUE(model.error().isEmpty()) << "a new action clears the last message";
    model.addURLs({file("a.txt", "alpha")});
    settle(model);
    ASSERT_EQ(model.rowCount(), 1);

    model.lock();
    settle(model);
    EXPECT_FALSE(model.isUnlocked());
    EXPECT_EQ(model.rowCount(), 0) << "a locked vault lists nothing, though the index is readable";
    EXPECT_EQ(KorvelIDVault::items().size(), 1u);

    auth_->faceResults.push_back(Result::cancelled());
    model.unlock();
    settle(model);
    EXPECT_FALSE(model.isUnlocked());
    EXPECT_EQ(model.error(), qL("vault.unlockFailed"));

    auth_->faceResults.push_back(Result::success(VaultAuthenticator::Method::password()));
    auth_->typed.push_back(password);
    model.unlock();
    settle(model);
    EXPECT_TRUE(model.isUnlocked());
    EXPECT_TRUE(model.error().isEmpty());
    EXPECT_EQ(names(model), std::vector<std::string>{"a.txt"});
}

TEST_F(VaultModelTest, AddingStopsAtTheFirstUnreadableFileAndRefreshesOnlyLater) {
    VaultModel model;
    unlockedVault(model);
    const QUrl missing = QUrl::fromLocalFile(QString::fromStdString((dir_ / "gone.txt").string()));
    model.addURLs({file("first.txt", "1"), missing, file("third.txt", "3")});
    settle(model);
    EXPECT_TRUE(model.error().contains(QStringLiteral("gone.txt"))) << model.error().toStdString();
    EXPECT_EQ(model.rowCount(), 0) << "no refresh after a failure";
    ASSERT_EQ(KorvelIDVault::items().size(), 1u);
    EXPECT_EQ(KorvelIDVault::items()[0].name, "first.txt") << "the third file is not tried";

    model.refresh();
    settle(model);
    EXPECT_EQ(names(model), std::vector<std::string>{"first.txt"});
}

TEST_F(VaultModelTest, DropsAddEachFileAndRefuseFoldersAndNonFiles) {
    VaultModel model;
    unlockedVault(model);
    fs::create_directory(dir_ / "folder");

    QMimeData drop;
    drop.setUrls({file("one.txt", "1"), QUrl(QStringLiteral("https://example.com/x.txt")), file("two.md", "2")});
    ASSERT_TRUE(model.dropMimeData(&drop, Qt::CopyAction, -1, -1, {}));
    settle(model);
    EXPECT_EQ(model.rowCount(), 2) << "a URL that names no local file is skipped";
    EXPECT_TRUE(model.error().isEmpty());

    QMimeData folder;
    folder.setUrls({QUrl::fromLocalFile(QString::fromStdString((dir_ / "folder").string()))});
    ASSERT_TRUE(model.dropMimeData(&folder, Qt::CopyAction, -1, -1, {}));
    settle(model);
    EXPECT_TRUE(model.error().contains(QStringLiteral("folder"))) << model.error().toStdString();
    EXPECT_EQ(KorvelIDVault::items().size(), 2u) << "nothing is added for a folder";

    model.lock();
    settle(model);
    EXPECT_FALSE(model.canDropMimeData(&drop, Qt::CopyAction, -1, -1, {})) << "a locked vault takes no drops";
}

TEST_F(VaultModelTest, OpenedCopyIsDeletedAfterItsLifetimeAndExportWritesPlaintext) {
    VaultModel model;
    unlockedVault(model);
    std::vector<QUrl> opened;
    recordOpens(model, opened);
    model.setOpenedCopyLifetime(std::chrono::milliseconds(200));
    model.addURLs({file("note.txt", "secret text")});
    settle(model);

    model.open(0);
    settle(model);
    ASSERT_EQ(opened.size(), 1u);
    const fs::path copy = opened[0].toLocalFile().toStdString();
    EXPECT_EQ(TestSupport::readText(copy), "secret text");
    EXPECT_TRUE(TestSupport::waitUntil([&] { return !fs::exists(copy); }, 5000)) << "still unlocked, copy gone";

    // Opened again and saved by its editor: never deleted; the change is announced, locking waits
    // for an answer, and "Keep Both" stores the edit beside the item.
    std::vector<quint64> changed;
    QObject::connect(&model, &VaultModel::copyChanged, &model, [&](quint64 c) { changed.push_back(c); });
    int lockWaits = 0;
    QObject::connect(&model, &VaultModel::lockWaitsForAnswers, &model, [&] { ++lockWaits; });
    model.open(0);
    settle(model);
    ASSERT_EQ(opened.size(), 2u);
    const fs::path edited = opened[1].toLocalFile().toStdString();
    TestSupport::writeText(edited, "edited text");
    ASSERT_TRUE(TestSupport::waitUntil([&] { return changed.size() == 1; }, 5000));
    QTest::qWait(400);  // past the copy's lifetime
    EXPECT_EQ(TestSupport::readText(edited), "edited text");
    model.lock();
    EXPECT_EQ(lockWaits, 1);
    model.lock(true);  // as if answered, but the copy is still changed (say its save failed)
    settle(model);
    EXPECT_EQ(lockWaits, 2) << "asked again";
    EXPECT_TRUE(model.isUnlocked());
    model.resolveCopy(changed[0], VaultModel::CopyAnswer::keepBoth);
    settle(model);
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_FALSE(fs::exists(edited));
    std::vector<std::string> contents;
    for (const auto& item : KorvelIDVault::items()) {
        const Bytes b = KorvelIDVault::decryptedData(item);
        contents.emplace_back(b.begin(), b.end());
    }
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (std::vector<std::string>{"edited text", "secret text"}));

    model.exportItem(model.items()[0].id, dir_ / "out.txt");
    settle(model);
    EXPECT_TRUE(model.error().isEmpty()) << model.error().toStdString();
    EXPECT_NE(model.notice().indexOf("out.txt"), -1) << "the export is confirmed, naming where it went";
    EXPECT_EQ(TestSupport::readText(dir_ / "out.txt"), "edited text") << "the newest item, first in the list";
    EXPECT_EQ(scratchCount(), 0u) << "the export leaves no decrypted copy behind";

    model.exportItem(model.items()[0].id, dir_ / "no such folder" / "out.txt");
    settle(model);
    EXPECT_FALSE(model.error().isEmpty());
    EXPECT_TRUE(model.notice().isEmpty());

    model.setOpener([](const QUrl&) { return false; });  // no application takes the file
    model.open(0);
    settle(model);
    EXPECT_EQ(model.error(), qL("vault.openFailed").replace("%@", "note.txt"));
}

// The screen locker's signal, sent by a real D-Bus client, locks the vault; a copy another program
// changed meanwhile is kept beside its item, and the page shows the vault locked.
TEST_F(VaultModelTest, TheScreenLockingLocksTheVaultKeepingChangedCopies) {
    VaultModel model;
    unlockedVault(model);
    std::vector<QUrl> opened;
    recordOpens(model, opened);
    model.addURLs({file("note.txt", "secret text")});
    settle(model);
    model.open(0);
    settle(model);
    ASSERT_EQ(opened.size(), 1u);
    TestSupport::writeText(opened[0].toLocalFile().toStdString(), "edited text");
    SessionLockWatcher watcher(QDBusConnection::sessionBus(), QDBusConnection(QStringLiteral("none")));
    QObject::connect(&watcher, &SessionLockWatcher::sessionLocked, [] { VaultAccess::lockForSessionLock(); });
    const auto screenSaver = [](const char* active) {
        return QProcess::execute("dbus-send", {"--session", "--type=signal", "/org/freedesktop/ScreenSaver",
                                               "org.freedesktop.ScreenSaver.ActiveChanged", QString("boolean:") + active});
    };
    ASSERT_EQ(screenSaver("false"), 0);
    QTest::qWait(300);
    EXPECT_TRUE(model.isUnlocked()) << "the screen unlocking locks nothing";
    ASSERT_EQ(screenSaver("true"), 0);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return !model.isUnlocked(); }, 5000));
    EXPECT_EQ(KorvelIDVault::items().size(), 2u) << "the edit is kept beside its item";
    EXPECT_EQ(scratchCount(), 0u);
}

TEST_F(VaultModelTest, LockQueuedBehindAnExportLeavesNoCopy) {
    VaultModel model;
    unlockedVault(model);
    model.setOpener([](const QUrl&) { return true; });
    std::string big(8 << 20, 'x');
    model.addURLs({file("big.bin", big)});
    settle(model);
    model.open(0);
    model.lock();  // queued right behind the decrypting open
    settle(model);
    EXPECT_FALSE(model.isUnlocked());
    EXPECT_EQ(scratchCount(), 0u);
}

// The facade creates the vault on the main thread: nothing queued meanwhile may touch the store.
TEST_F(VaultModelTest, WorkerIsHeldWhileTheSetUpPromptIsOpen) {
    VaultModel model;
    QPromise<std::optional<SymmetricKey>> answer;
    answer.start();
    auth_->held = answer.future();
    model.setUp();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return auth_->promptReasons.size() == 1; }));
    enum { waiting, ranBefore, ranAfter };
    std::atomic<int> ran = waiting;
    VaultAccess::worker().post([&] { ran = KorvelIDVault::isSetUp() ? ranAfter : ranBefore; });
    answer.addResult(MasterPassword::deriveKeyForVaultAsync(password).result());
    answer.finish();
    settle(model);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return ran != waiting; }));
    EXPECT_EQ(ran, ranAfter) << "the job ran before the vault existed";
    EXPECT_TRUE(model.isUnlocked());
}

TEST_F(VaultModelTest, RemoveAsksFirst) {
    VaultView view;
    VaultModel& model = view.model();
    unlockedVault(model);
    model.addURLs({file("keep.txt", "k")});
    settle(model);
    int answer = QMessageBox::Cancel;
    DialogRunner::setResponder([&](QDialog& d) {
        auto& box = dynamic_cast<QMessageBox&>(d);
        EXPECT_EQ(box.objectName(), "vaultRemoveDialog");
        EXPECT_NE(box.text().indexOf("keep.txt"), -1) << "names the file";
        EXPECT_EQ(static_cast<QAbstractButton*>(box.defaultButton()), box.button(QMessageBox::Cancel)) << "Return must not remove";
        if (answer == QMessageBox::Ok) model.addURLs({file("new.txt", "n")}), settle(model);  // row 0 while asking
        return answer;
    });
    view.removeItem(0);
    settle(model);
    EXPECT_EQ(model.rowCount(), 1) << "cancelling changes nothing";
    answer = QMessageBox::Ok;
    view.removeItem(0);
    settle(model);
    ASSERT_EQ(KorvelIDVault::items().size(), 1u);
    EXPECT_EQ(KorvelIDVault::items()[0].name, "new.txt") << "the file the box named is the one removed";

    // A damaged index lists nothing, and the page says why.
    TestSupport::writeText(KorvelIDVault::store().indexURL(), "[{]");
    model.refresh();
    settle(model);
    EXPECT_EQ(model.folderProblem(), qL("vault.indexDamaged"));
    EXPECT_TRUE(view.findChild<QLabel*>("vaultError")->text().contains(qL("vault.indexDamaged")));
}

// Each state of the page fits in every language at the settings tab's size; two files of one name
// are told apart.
TEST_F(VaultModelTest, PageTextsFitInEveryLanguage) {
    VaultView view;
    view.resize(600, 400);  // not set up: the settings window's vault tab in the text-fits tests
    VaultModel& model = view.model();
    unlockedVault(model);
    TempDir other;
    TestSupport::writeText(other / "Quarterly report.pdf", "older");
    model.addURLs({QUrl::fromLocalFile(QString::fromStdString((other / "Quarterly report.pdf").string())),
                   file("Quarterly report.pdf", "newer"), file("notes.txt", "n")});
    model.addURLs({QUrl::fromLocalFile(QString::fromStdString((dir_ / "missing.txt").string()))});
    settle(model);
    ASSERT_EQ(model.rowCount(), 3);
    QStringList shown;
    for (int row = 0; row < 3; ++row) shown << model.index(row).data().toString();
    shown.sort();
    EXPECT_EQ(shown, (QStringList{"Quarterly report.pdf (1)", "Quarterly report.pdf (2)", "notes.txt"}));
    TextFits::expectFitsInEveryLanguage(view, "vault-items");
    model.lock();
    settle(model);
    TextFits::expectFitsInEveryLanguage(view, "vault-locked");
}
