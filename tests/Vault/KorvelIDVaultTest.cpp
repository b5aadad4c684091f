// The vault facade with scripted authentication answers, the real master password and the real
// secret store (the test desktop's gnome-keyring, else a file store).
#include <gtest/gtest.h>

#include <algorithm>

#include "Identity/MasterPassword.h"
#include "ScriptedAuthenticator.h"
#include "SecretStoreFixture.h"
#include "Support/Logger.h"
#include "TestSupport.h"
#include "Vault/KorvelIDVault.h"
#include "Vault/VaultCrypto.h"
#include "Vault/VaultKeychain.h"

namespace fs = std::filesystem;

namespace {
using Result = VaultAuthenticator::Result;
using Method = VaultAuthenticator::Method;

using TestSupport::await;
using TestSupport::ScriptedAuthenticator;

std::optional<VaultError> awaitSetUp() {
    QFuture<void> f = KorvelIDVault::setUp();
    EXPECT_TRUE(TestSupport::waitUntil([&] { return f.isFinished(); }, 20000));
    try {
        f.waitForFinished();
    } catch (const VaultError& e) {
        return e;
    }
    return std::nullopt;
}

class KorvelIDVaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        MasterPassword::reset();
        VaultKeychain::remove();
        KorvelIDVault::setStore(std::make_unique<VaultStore>(dir_ / "Vault", writer_));
        KorvelIDVault::setAuthenticator(auth_);
    }
    void TearDown() override {
        KorvelIDVault::setStore(nullptr);
        KorvelIDVault::setAuthenticator(nullptr);
        MasterPassword::reset();
        VaultKeychain::remove();
    }

    // A set-up vault, locked, with the master password "old password".
    void lockedVault() {
        ASSERT_TRUE(MasterPassword::set("old password"));
        auth_->typed.push_back("old password");
        ASSERT_FALSE(awaitSetUp());
        KorvelIDVault::lock();
        auth_->promptReasons.clear();
    }

    bool vaultOpensWithPassword(const std::string& password) {
        VaultStore probe(dir_ / "Vault");
        const auto key = MasterPassword::deriveKey(password, MasterPassword::snapshot().value_or(MasterPassword::Credential{}).salt);
        try {
            probe.unlock(key);
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }

    TestSupport::TempDir dir_;
    std::shared_ptr<SecretStore> secrets_ = TestSupport::makeTestSecretStore(dir_.path());
    TestSupport::ScopedSecretStore installed_{secrets_};
    TestSupport::FailingFileWriter writer_;
    std::shared_ptr<ScriptedAuthenticator> auth_ = std::make_shared<ScriptedAuthenticator>();
};

TEST_F(KorvelIDVaultTest, SetUpAsksForThePasswordOnceAndWithoutAKeyIsLockedAndWritesNothing) {
    ASSERT_TRUE(MasterPassword::set("old password"));
    auth_->typed.push_back(std::nullopt);        // dismissed
    auth_->typed.push_back("not the password");  // wrong
    for (int i = 0; i < 2; ++i) {
        const auto error = awaitSetUp();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->description(), "The vault is locked.");
    }
    EXPECT_FALSE(KorvelIDVault::isSetUp());
    EXPECT_FALSE(fs::exists(dir_ / "Vault" / "vault.json"));

    auth_->promptReasons.clear();
    auth_->typed.push_back("old password");
    EXPECT_FALSE(awaitSetUp());
    EXPECT_TRUE(KorvelIDVault::isSetUp() && KorvelIDVault::isUnlocked());

    const auto header = TestSupport::readText(dir_ / "Vault" / "vault.json");
    KorvelIDVault::lock();
    EXPECT_FALSE(awaitSetUp());
    EXPECT_EQ(auth_->promptReasons, std::vector<std::string>{"Set up your encrypted vault"}) << "no second prompt";
    EXPECT_EQ(TestSupport::readText(dir_ / "Vault" / "vault.json"), header);
}

// Face first (device key); a password approval opens with that password's key (no second prompt);
// a face approval without a usable device key asks for the password. The key goes last.
TEST_F(KorvelIDVaultTest, UnlockPaths) {
    EXPECT_FALSE(await(KorvelIDVault::unlock())) << "no vault";
    lockedVault();
    const Result face = Result::success(Method::face("Ada")), password = Result::success(Method::password());
    struct Case {
        const char* what;
        Result authentication;
        std::optional<std::string> typed;
        bool deviceKey, unlocks;
        std::size_t prompts;
    };
    const Case cases[] = {
        {"face", face, std::nullopt, true, true, 0},
        {"password approval", password, "old password", true, true, 0},
        {"scan failed", Result::failed("Not recognized"), "old password", true, false, 0},
        {"cancelled", Result::cancelled(), "old password", true, false, 0},
        {"face without device key, wrong password", face, "wrong", false, false, 1},
        {"face without device key", face, "old password", false, true, 1},
    };
    for (const auto& c : cases) {
        KorvelIDVault::lock();
        if (!c.deviceKey) VaultKeychain::remove();
        auth_->promptReasons.clear();
        auth_->typed.clear();
        auth_->faceResults.push_back(c.authentication);
        auth_->typed.push_back(c.typed);
        EXPECT_EQ(await(KorvelIDVault::unlock()), c.unlocks) << c.what;
        EXPECT_EQ(auth_->promptReasons, std::vector<std::string>(c.prompts, "Unlock your vault")) << c.what;
        EXPECT_EQ(auth_->authenticateCalls.back(), std::make_pair(std::string("Unlock your vault"), true));
    }
    const auto calls = auth_->authenticateCalls.size();
    EXPECT_TRUE(await(KorvelIDVault::unlock()));
    EXPECT_EQ(auth_->authenticateCalls.size(), calls) << "no scan for an unlocked vault";
}

TEST_F(KorvelIDVaultTest, AWrongCurrentPasswordOrAVaultItCannotOpenChangesNothing) {
    lockedVault();
    const auto header = TestSupport::readText(dir_ / "Vault" / "vault.json");
    auto before = MasterPassword::snapshot();
    EXPECT_EQ(await(KorvelIDVault::changeMasterPassword("wrong", "new password")), PasswordChangeResult::wrongCurrentPassword);
    EXPECT_EQ(MasterPassword::snapshot(), before);
    EXPECT_EQ(TestSupport::readText(dir_ / "Vault" / "vault.json"), header);
    EXPECT_FALSE(KorvelIDVault::isUnlocked());
    {
        // A locked keyring refuses the right password too: that is not a wrong password.
        TestSupport::ScopedSecretStore locked{std::make_shared<TestSupport::LockedStore>()};
        EXPECT_EQ(await(KorvelIDVault::changeMasterPassword("old password", "new password")), PasswordChangeResult::keyringLocked);
    }

    // The master password moved on without the vault, and the device key that could mend the
    // vault's copy is gone: the vault cannot follow.
    ASSERT_TRUE(MasterPassword::set("other password"));
    VaultKeychain::remove();
    before = MasterPassword::snapshot();
    EXPECT_EQ(await(KorvelIDVault::changeMasterPassword("other password", "new password")), PasswordChangeResult::failed);
    EXPECT_EQ(MasterPassword::snapshot(), before);
    EXPECT_EQ(TestSupport::readText(dir_ / "Vault" / "vault.json"), header);
    EXPECT_FALSE(KorvelIDVault::isUnlocked());
}

// What a change cut short between the password items and the vault's copy leaves: the next
// password unlock re-wraps the copy from the device key, for the accepted password only.
TEST_F(KorvelIDVaultTest, APasswordAheadOfTheVaultsCopyIsMendedAtTheNextUnlock) {
    lockedVault();
    const auto oldKey = MasterPassword::deriveKeyForVault("old password");
    ASSERT_TRUE(MasterPassword::set("new password"));
    const auto header = TestSupport::readText(dir_ / "Vault" / "vault.json");
    VaultStore probe(dir_ / "Vault");
    EXPECT_THROW(probe.unlock(SymmetricKey::random()), CryptoError) << "a key the master password does not accept";
    EXPECT_EQ(TestSupport::readText(dir_ / "Vault" / "vault.json"), header);

    LogCapture log;
    auth_->faceResults.push_back(Result::success(Method::password()));
    auth_->typed.push_back("new password");
    EXPECT_TRUE(await(KorvelIDVault::unlock()));
    EXPECT_TRUE(vaultOpensWithPassword("new password")) << "the copy was written";
    probe.lock();
    EXPECT_THROW(probe.unlock(*oldKey), CryptoError) << "the replaced password no longer opens the vault";
    const auto lines = log.lines();
    EXPECT_TRUE(std::ranges::any_of(lines, [](const auto& l) { return l.message.find("wrapped anew") != std::string::npos; }));
}

TEST_F(KorvelIDVaultTest, ALockedVaultIsUnlockedRewrappedAndLeftUnlocked) {
    lockedVault();
    EXPECT_EQ(await(KorvelIDVault::changeMasterPassword("old password", "new password")), PasswordChangeResult::success);
    EXPECT_TRUE(KorvelIDVault::isUnlocked());
    EXPECT_TRUE(MasterPassword::verify("new password"));
    EXPECT_TRUE(vaultOpensWithPassword("new password"));
    EXPECT_FALSE(vaultOpensWithPassword("old password"));
}

TEST_F(KorvelIDVaultTest, WhenTheHeaderOrTheNewPasswordCannotBeWrittenTheOldPasswordStaysValidEverywhere) {
    lockedVault();
    const auto header = TestSupport::readText(dir_ / "Vault" / "vault.json");
    writer_.shouldFail = [](int, const fs::path& p) { return p.filename() == "vault.json"; };
    EXPECT_EQ(await(KorvelIDVault::changeMasterPassword("old password", "new password")), PasswordChangeResult::failed);
    EXPECT_TRUE(MasterPassword::verify("old password"));
    EXPECT_FALSE(MasterPassword::verify("new password"));
    EXPECT_TRUE(vaultOpensWithPassword("old password"));

    writer_.shouldFail = nullptr;
    {
        TestSupport::ScopedSecretStore failing(TestSupport::HookedStore::failing(secrets_, "verifier", 1));
        EXPECT_EQ(await(KorvelIDVault::changeMasterPassword("old password", "new password")), PasswordChangeResult::failed);
    }
    EXPECT_TRUE(MasterPassword::isSet()) << "not left with a new salt and no verifier";
    EXPECT_TRUE(MasterPassword::verify("old password"));
    EXPECT_EQ(TestSupport::readText(dir_ / "Vault" / "vault.json"), header);
    EXPECT_TRUE(vaultOpensWithPassword("old password"));
}

// A whole session through the facade; every log line is searched for the passwords and keys in
// the forms a careless message would use.
TEST_F(KorvelIDVaultTest, NoSecretEverReachesTheLog) {
    const std::string password = "correct horse battery", newPassword = "Tr0ub4dor&3";
    LogCapture log;
    ASSERT_TRUE(MasterPassword::set(password));
    auth_->typed.push_back(password);
    ASSERT_FALSE(awaitSetUp());
    KorvelIDVault::lock();
    EXPECT_THROW(KorvelIDVault::add("a.txt", Bytes{1}), VaultError);
    auth_->faceResults.push_back(Result::success(Method::face("Ada")));
    ASSERT_TRUE(await(KorvelIDVault::unlock()));
    TestSupport::writeText(dir_ / "note.txt", "secret note");
    const auto item = KorvelIDVault::add(dir_ / "note.txt");
    const auto other = KorvelIDVault::add("other.bin", Bytes{1, 2});
    EXPECT_EQ(KorvelIDVault::decryptedData(other), (Bytes{1, 2}));
    KorvelIDVault::remove(other);
    EXPECT_EQ(KorvelIDVault::items(), std::vector<VaultItem>{item});
    const fs::path copy = KorvelIDVault::exportToTemp(item);
    EXPECT_EQ(TestSupport::readText(copy), "secret note");
    const auto oldKey = MasterPassword::deriveKeyForVault(password);
    ASSERT_EQ(await(KorvelIDVault::changeMasterPassword(password, newPassword)), PasswordChangeResult::success);
    KorvelIDVault::lock();
    EXPECT_FALSE(fs::exists(copy)) << "locking deletes the decrypted copy";

    const auto kek = VaultKeychain::loadDeviceKEK();
    const auto newKey = MasterPassword::deriveKeyForVault(newPassword);
    ASSERT_TRUE(kek && oldKey && newKey);
    const std::string headerText = TestSupport::readText(dir_ / "Vault" / "vault.json");
    const auto header = VaultHeader::decode(Bytes(headerText.begin(), headerText.end()));
    const auto dek = VaultCrypto::unwrap(*header.wrappedByDevice, *kek);

    std::vector<std::string> secrets = {password, newPassword};
    for (const SymmetricKey* key : {&*kek, &*oldKey, &*newKey, &dek}) {
        const std::string hexLower = TestSupport::hex(key->bytes());
        const std::string hexUpper = QString::fromStdString(hexLower).toUpper().toStdString();
        // Any 12 bytes of a key in a line would be a leak; the leading ones stand for them.
        secrets.push_back(hexLower.substr(0, 24));
        secrets.push_back(hexUpper.substr(0, 24));
        secrets.push_back(Base64::encode(key->bytes()).substr(0, 16));
    }
    const auto lines = log.lines();
    for (const auto& line : lines)
        for (const auto& secret : secrets) EXPECT_EQ(line.message.find(secret), std::string::npos) << line.message;
}

}  // namespace
