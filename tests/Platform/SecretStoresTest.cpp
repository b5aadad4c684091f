// Choosing the secret store at start-up, and moving secrets from the file into the Secret Service.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "Platform/FileSecretStore.h"
#include "Platform/SecretServiceStore.h"
#include "Platform/SecretStores.h"
#include "SecretStoreFixture.h"
#include "TestSupport.h"

namespace {
using TestSupport::ScopedDataHome;
using TestSupport::ScopedSecretStore;
using TestSupport::TempDir;

// Sets or (for nullptr) unsets a variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name), previous_(std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt) {
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { previous_ ? ::setenv(name_, previous_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

TEST(SecretStores, WithoutASessionBusTheFileStoreIsChosenAndNoBusIsStarted) {
    ScopedDataHome home;
    ScopedSecretStore restore(nullptr);
    ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", nullptr);
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    std::string reason;
    EXPECT_EQ(SecretServiceStore::connect(&reason), nullptr);
    EXPECT_EQ(reason, "No session bus is running.");
    EXPECT_EQ(installDefaultSecretStore(), SecretStore::Kind::file);
    EXPECT_EQ(SecretStore::activeKind(), SecretStore::Kind::file);
    ASSERT_TRUE(SecretStore::shared()->store("s", "a", Bytes{1}).ok());
    EXPECT_TRUE(std::filesystem::exists(home.path() / "KorvelID" / "com.korvel.id.unbundled" / "Secrets" / "secrets.json"));
}

TEST(SecretStores, TheSecretServiceIsChosenWhenItAnswersAndTakesOverTheFilesItems) {
    std::string reason;
    auto service = SecretServiceStore::connect(&reason);
    if (!service) GTEST_SKIP() << "no Secret Service answers (" << reason << "); run under scripts/test-desktop";
    ScopedDataHome home;
    ScopedSecretStore restore(nullptr);
    const std::string name = "com.korvel.id.test." + Uuid::random().toString();

    FileSecretStore file;
    ASSERT_TRUE(file.store(name, "salt", Bytes{0, 1, 0}).ok());
    ASSERT_TRUE(file.store(name, "verifier", Bytes{2}).ok());
    ASSERT_TRUE(service->store(name, "salt", Bytes{5}).ok()) << "an older value, written before the file";

    EXPECT_EQ(installDefaultSecretStore(), SecretStore::Kind::secretService);
    EXPECT_EQ(SecretStore::activeKind(), SecretStore::Kind::secretService);
    EXPECT_FALSE(file.fileExists());
    EXPECT_EQ(service->lookup(name, "salt").value, (Bytes{0, 1, 0}));
    EXPECT_EQ(service->lookup(name, "verifier").value, Bytes{2});
    service->remove(name, "salt");
    service->remove(name, "verifier");
}

TEST(SecretStores, AFailedMoveLeavesTheFileAsItWas) {
    TempDir dir;
    FileSecretStore from(dir / "a" / "secrets.json");
    ASSERT_TRUE(from.store("s", "a", Bytes{1}).ok());
    const auto before = TestSupport::readText(from.path());

    FileSecretStore to(dir / "b" / "secrets.json");
    std::filesystem::create_directories(dir / "b");
    TestSupport::writeText(to.path(), "damaged");
    std::string reason;
    EXPECT_FALSE(moveSecrets(from, to, &reason));
    EXPECT_EQ(reason, "The secret file is damaged.");
    EXPECT_EQ(TestSupport::readText(from.path()), before);

    FileSecretStore fine(dir / "c" / "secrets.json");
    EXPECT_TRUE(moveSecrets(from, fine, &reason));
    EXPECT_FALSE(from.fileExists());
    EXPECT_EQ(fine.lookup("s", "a").value, Bytes{1});
}

}  // namespace
