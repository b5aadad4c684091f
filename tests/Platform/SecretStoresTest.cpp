// Choosing the secret store at start-up, and moving secrets from the file into the Secret Service.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "Identity/MasterPassword.h"
#include "Platform/FileSecretStore.h"
#include "Platform/SecretServiceStore.h"
#include "Platform/SecretStores.h"
#include "SecretStoreFixture.h"
#include "Support/AppPaths.h"
#include "Support/DataFolderLock.h"
#include "Support/Logger.h"
#include "TestSupport.h"

namespace {
using TestSupport::ScopedDataHome;
using TestSupport::ScopedSecretStore;
using TestSupport::TempDir;

// Without a session bus: the file store, no bus started, and what an interrupted save left is removed.
TEST(SecretStores, WithoutASessionBusTheFileStoreIsChosenAndLeftoversOfItsSavesGo) {
    ScopedDataHome home;
    ScopedSecretStore restore(nullptr);
    TestSupport::ScopedEnv noBus{{"DBUS_SESSION_BUS_ADDRESS", std::nullopt}, {"XDG_RUNTIME_DIR", std::nullopt}};
    std::string reason;
    EXPECT_EQ(SecretServiceStore::connect(&reason), nullptr);
    EXPECT_EQ(reason, "No session bus is running.");
    const auto folder = FileSecretStore::defaultPath().parent_path();
    std::filesystem::create_directories(folder);
    TestSupport::writeText(folder / ".secrets.json.k3Y9aQ", R"([{"service":"s","account":"a","value":"AQ=="}])");
    EXPECT_EQ(installDefaultSecretStore(), SecretStore::Kind::file);
    EXPECT_TRUE(std::filesystem::exists(folder / ".secrets.json.k3Y9aQ"))
        << "only the folder's writer tidies: a reading command may run while the application saves";
    const auto lock = DataFolderLock::tryAcquire(AppPaths::supportDirectory()).lock;
    ASSERT_TRUE(lock);
    EXPECT_EQ(installDefaultSecretStore(), SecretStore::Kind::file);
    EXPECT_FALSE(std::filesystem::exists(folder / ".secrets.json.k3Y9aQ"));
    EXPECT_EQ(SecretStore::activeKind(), SecretStore::Kind::file);
    ASSERT_TRUE(SecretStore::shared()->store("s", "a", Bytes{1}).ok());
    EXPECT_TRUE(std::filesystem::exists(home.path() / "KorvelID" / "com.korvel.id.unbundled" / "Secrets" / "secrets.json"));
}

// Secrets written to the file while the keyring was away never replace the keyring's own: the
// vault's password copy belongs to the keyring's master password.
TEST(SecretStores, AServiceTheTargetHoldsWithOtherValuesStaysAndIsReportedAsAConflict) {
    TempDir dir;
    FileSecretStore keyring(dir / "keyring" / "secrets.json");
    ASSERT_TRUE(keyring.store("master", "salt", Bytes{5}).ok());
    ASSERT_TRUE(keyring.store("master", "verifier", Bytes{6}).ok());
    ASSERT_TRUE(keyring.store("same", "a", Bytes{7}).ok());

    FileSecretStore file(dir / "file" / "secrets.json");
    ASSERT_TRUE(file.store("master", "salt", Bytes{1}).ok());
    ASSERT_TRUE(file.store("master", "verifier", Bytes{6}).ok());
    ASSERT_TRUE(file.store("kek", "device", Bytes{2}).ok());
    ASSERT_TRUE(file.store("same", "a", Bytes{7}).ok());

    const auto moved = moveSecrets(file, keyring);
    EXPECT_TRUE(moved.ok) << moved.reason;
    EXPECT_EQ(moved.conflicts, std::vector<std::string>{"master"});
    EXPECT_EQ(keyring.lookup("master", "salt").value, Bytes{5});
    EXPECT_EQ(keyring.lookup("kek", "device").value, Bytes{2});
    // The file keeps exactly the conflicting service, as a whole, for the user to recover.
    const auto left = file.allItems();
    ASSERT_TRUE(left);
    ASSERT_EQ(left->size(), 2u);
    EXPECT_EQ(file.lookup("master", "salt").value, Bytes{1});
    EXPECT_EQ(file.lookup("master", "verifier").value, Bytes{6});

    // Once nothing conflicts, the file goes.
    ASSERT_TRUE(file.remove("master", "salt").ok());
    ASSERT_TRUE(file.remove("master", "verifier").ok());
    ASSERT_TRUE(file.store("new", "a", Bytes{3}).ok());
    EXPECT_TRUE(moveSecrets(file, keyring).ok);
    EXPECT_FALSE(file.fileExists());
    EXPECT_EQ(keyring.lookup("new", "a").value, Bytes{3});
}

TEST(SecretStores, TheSecretServiceIsChosenWhenItAnswersAndAConflictIsLoggedAndExposed) {
    std::string reason;
    auto service = SecretServiceStore::connect(&reason);
    if (!service) KORVEL_SKIP() << "no Secret Service answers (" << reason << "); run under scripts/test-desktop";
    ScopedDataHome home;
    ScopedSecretStore restore(nullptr);
    const std::string name = "com.korvel.id.test." + Uuid::random().toString();

    FileSecretStore file;
    ASSERT_TRUE(file.store(name, "salt", Bytes{0, 1, 0}).ok());
    ASSERT_TRUE(service->store(name, "salt", Bytes{5}).ok());

    LogCapture log;
    std::filesystem::create_directories(AppPaths::supportDirectory());
    const auto lock = DataFolderLock::tryAcquire(AppPaths::supportDirectory()).lock;
    ASSERT_TRUE(lock) << "the data folder's writer moves secrets; a reader keeps to the file";
    EXPECT_EQ(installDefaultSecretStore(), SecretStore::Kind::secretService);
    EXPECT_EQ(SecretStore::activeKind(), SecretStore::Kind::secretService);
    EXPECT_EQ(service->lookup(name, "salt").value, Bytes{5});
    const auto conflict = secretStoreConflict();
    ASSERT_TRUE(conflict);
    EXPECT_EQ(conflict->services, std::vector<std::string>{name});
    EXPECT_EQ(conflict->file, file.path());
    EXPECT_EQ(file.lookup(name, "salt").value, (Bytes{0, 1, 0}));
    const auto errors = log.messages("store");
    EXPECT_TRUE(std::ranges::any_of(errors, [&](const std::string& m) { return m.find(name) != std::string::npos; }));
    service->remove(name, "salt");
}

// A keyring that held the master password and does not answer at the next start leaves it out of
// reach, not unset (which would open every gate); deleting the marker is the way back to a file.
TEST(SecretStores, AKeyringThatHeldThePasswordAndDoesNotAnswerLeavesItOutOfReach) {
    std::string reason;
    if (!SecretServiceStore::connect(&reason)) KORVEL_SKIP() << "no Secret Service answers (" << reason << ")";
    ScopedDataHome home;
    ScopedSecretStore restore(nullptr);
    const std::string prefix = "test." + Uuid::random().toString() + ".";
    std::filesystem::create_directories(AppPaths::supportDirectory());
    const auto lock = DataFolderLock::tryAcquire(AppPaths::supportDirectory()).lock;
    ASSERT_EQ(installDefaultSecretStore(prefix), SecretStore::Kind::secretService);
    ASSERT_TRUE(MasterPassword::set("birch-tree-1"));  // marked now, not only at the next start
    {
        TestSupport::ScopedEnv noBus{{"DBUS_SESSION_BUS_ADDRESS", std::nullopt}, {"XDG_RUNTIME_DIR", std::nullopt}};
        EXPECT_EQ(installDefaultSecretStore(prefix), SecretStore::Kind::unavailable);
        EXPECT_EQ(MasterPassword::state(), MasterPassword::State::unavailable);
        std::filesystem::remove(FileSecretStore::defaultPath().parent_path() / "in-secret-service");
        EXPECT_EQ(installDefaultSecretStore(prefix), SecretStore::Kind::file);
    }
    ASSERT_EQ(installDefaultSecretStore(prefix), SecretStore::Kind::secretService);
    // Gone from a keyring that still answers (a KeePassXC database closed): out of reach as well.
    SecretServiceStore::Options options;
    options.servicePrefix = prefix;
    ASSERT_TRUE(SecretServiceStore::connect(options)->remove(MasterPassword::service, MasterPassword::verifierAccount).ok());
    EXPECT_EQ(MasterPassword::state(), MasterPassword::State::unavailable);
    MasterPassword::reset();
    EXPECT_FALSE(std::filesystem::exists(FileSecretStore::defaultPath().parent_path() / "in-secret-service"));
}

TEST(SecretStores, AFailedMoveLeavesTheFileAsItWas) {
    TempDir dir;
    FileSecretStore from(dir / "a" / "secrets.json");
    ASSERT_TRUE(from.store("s", "a", Bytes{1}).ok());
    const auto before = TestSupport::readText(from.path());

    FileSecretStore to(dir / "b" / "secrets.json");
    std::filesystem::create_directories(dir / "b");
    TestSupport::writeText(to.path(), "damaged");
    const auto failed = moveSecrets(from, to);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.reason, "The secret file is damaged.");
    EXPECT_EQ(TestSupport::readText(from.path()), before);
}

}  // namespace
