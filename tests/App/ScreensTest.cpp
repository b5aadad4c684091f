// Saves pictures of every settings tab, the vault page's states and the About window into
// $KORVEL_SCREENSHOT_DIR (skipped when unset), for a person to look at. The onboarding steps are
// taken from the real program by the program test.
#include <gtest/gtest.h>

#include <QTabWidget>
#include <QTest>

#include "About/AboutWindow.h"
#include "AppLock/AppLockView.h"
#include "Shell/ShellServices.h"
#include "Identity/MasterPassword.h"
#include "Localization/Localization.h"
#include "Platform/FileSecretStore.h"
#include "SecretStoreFixture.h"
#include "Settings/SettingsWindow.h"
#include "Shell/AppState.h"
#include "Support/Async.h"
#include "TestSupport.h"
#include "Vault/KorvelIDVault.h"
#include "Vault/VaultModel.h"
#include "Vault/VaultView.h"

namespace {
class KeyAuthenticator final : public VaultAuthenticator {
public:
    QFuture<std::optional<SymmetricKey>> promptVaultKey(const std::string&) override {
        return MasterPassword::deriveKeyForVaultAsync("screens pw");
    }
    QFuture<Result> authenticate(const std::string&, bool) override { return Async::ready(Result::cancelled()); }
};

void save(QWidget& w, const std::string& name) {
    w.show();
    QTest::qWait(150);
    const QString path = QString::fromLocal8Bit(std::getenv("KORVEL_SCREENSHOT_DIR")) + "/" + QString::fromStdString(name) + ".png";
    EXPECT_TRUE(w.grab().save(path)) << path.toStdString();
}
}  // namespace

TEST(Screens, EveryWindow) {
    if (!std::getenv("KORVEL_SCREENSHOT_DIR")) GTEST_SKIP() << "set KORVEL_SCREENSHOT_DIR to save screenshots";
    TestSupport::TempDir dir;
    TestSupport::ScopedSecretStore secrets{std::make_shared<FileSecretStore>(dir / "secrets.json")};
    KorvelIDVault::setStore(std::make_unique<VaultStore>(dir / "Vault"));
    KorvelIDVault::setAuthenticator(std::make_shared<KeyAuthenticator>());
    Localizer::shared().setLanguage(AppLanguage::english);

    const ShellServices saved = ShellServices::shared();
    ShellServices::shared().makeAppLockPage = [] { return new AppLockView; };
    ASSERT_TRUE(MasterPassword::set("screens pw"));
    AppState state(true, false);
    SettingsWindow settings(state);
    const char* tabs[] = {"settings-1-general", "settings-2-applock", "settings-3-vault-setup", "settings-4-security"};
    for (int i = 0; i < 4; ++i) {
        settings.tabs().setCurrentIndex(i);
        save(settings, tabs[i]);
    }
    VaultModel& vault = settings.vault().model();
    vault.setUp();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return vault.isUnlocked() && !vault.isBusy(); }, 10000));
    settings.tabs().setCurrentIndex(2);
    for (const char* name : {"Tax return 2025.pdf", "holiday.JPG", "notes.md", "backup.zip", "archive.tar.gz"})
        TestSupport::writeText(dir / name, std::string(std::strlen(name) * 40000, 'x'));
    QList<QUrl> urls;
    for (const char* name : {"Tax return 2025.pdf", "holiday.JPG", "notes.md", "backup.zip", "archive.tar.gz"})
        urls << QUrl::fromLocalFile(QString::fromStdString((dir / name).string()));
    vault.addURLs(urls);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return vault.rowCount() == 5 && !vault.isBusy(); }, 10000));
    vault.addURLs({QUrl::fromLocalFile(QString::fromStdString(dir.path().string()))});
    ASSERT_TRUE(TestSupport::waitUntil([&] { return !vault.error().isEmpty(); }, 10000));
    save(settings, "settings-3-vault-items");
    AboutWindow about;
    save(about, "about");
    KorvelIDVault::setStore(nullptr);
    KorvelIDVault::setAuthenticator(nullptr);
    ShellServices::shared() = saved;
}
