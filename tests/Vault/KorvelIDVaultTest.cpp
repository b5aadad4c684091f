// The vault facade with scripted authentication answers, the real master password and the real
// secret store (the test desktop's gnome-keyring, else a file store).
#include <gtest/gtest.h>

#include <deque>

#include "Identity/MasterPassword.h"
#include "SecretStoreFixture.h"
#include "Support/Async.h"
#include "Support/Logger.h"
#include "TestSupport.h"
#include "Vault/KorvelIDVault.h"
#include "Vault/VaultCrypto.h"
#include "Vault/VaultKeychain.h"

namespace fs = std::filesystem;

namespace {
using Result = VaultAuthenticator::Result;
using Method = VaultAuthenticator::Method;

// Answers like the authentication facade: the password prompt derives the key of what the
// "user" typed (nothing for a dismissed dialog); the face step returns the scripted result.
class ScriptedAuthenticator final : public VaultAuthenticator {
public:
    std::deque<std::optional<std::string>> typed;
    std::deque<Result> faceResults;
    std::vector<std::string> promptReasons;
    std::vector<std::pair<std::string, bool>> authenticateCalls;

    QFuture<std::optional<SymmetricKey>> promptVaultKey(const std::string& reason) override {
        promptReasons.push_back(reason);
        const auto entry = pop(typed, std::optional<std::string>{});
        if (!entry) return Async::ready(std::optional<SymmetricKey>{});
        return MasterPassword::deriveKeyForVaultAsync(*entry);
    }

    QFuture<Result> authenticate(const std::string& reason, bool allowPasswordFallback) override {
        authenticateCalls.emplace_back(reason, allowPasswordFallback);
        return Async::ready(pop(faceResults, Result::cancelled()));
    }

private:
    template <typename T>
    static T pop(std::deque<T>& queue, T otherwise) {
        if (queue.empty()) return otherwise;
        T front = std::move(queue.front());
        queue.pop_front();
        return front;
    }
};

// Fails the first write of one account, then passes everything through to the real store.
class FailOnceStore final : public SecretStore {
public:
    FailOnceStore(std::shared_ptr<SecretStore> inner, std::string account) : inner_(std::move(inner)), account_(std::move(account)) {}
    Kind kind() const override { return inner_->kind(); }
    SecretLookup lookup(std::string_view s, std::string_view a) override { return inner_->lookup(s, a); }
    SecretLookup exists(std::string_view s, std::string_view a) override { return inner_->exists(s, a); }
    SecretWrite store(std::string_view s, std::string_view a, std::span<const std::uint8_t> v) override {
        if (a == account_ && !failed_) {
            failed_ = true;
            return {SecretWrite::Status::error, "injected"};
        }
        return inner_->store(s, a, v);
    }
    SecretWrite remove(std::string_view s, std::string_view a) override { return inner_->remove(s, a); }

private:
    std::shared_ptr<SecretStore> inner_;
    std::string account_;
    bool failed_ = false;
};

template <typename T>
T await(const QFuture<T>& future) {
    EXPECT_TRUE(TestSupport::waitUntil([&] { return future.isFinished(); }, 20000));
    return future.result();
}

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
    EXPECT_EQ(auth_->promptReasons, std::vector<std::string>{"Set up your encrypted vault"});
    EXPECT_TRUE(KorvelIDVault::isSetUp());
    EXPECT_TRUE(KorvelIDVault::isUnlocked());

    const auto header = TestSupport::readText(dir_ / "Vault" / "vault.json");
    KorvelIDVault::lock();
    EXPECT_FALSE(awaitSetUp());
    EXPECT_EQ(auth_->promptReasons.size(), 1u) << "no second prompt";
    EXPECT_EQ(TestSupport::readText(dir_ / "Vault" / "vault.json"), header);
    EXPECT_FALSE(KorvelIDVault::isUnlocked());
}

TEST_F(KorvelIDVaultTest, UnlockWithoutAVaultOrWhenUnlockedAsksNothing) {
    EXPECT_FALSE(await(KorvelIDVault::unlock()));
    lockedVault();
    auth_->typed.push_back("old password");
    auth_->faceResults.push_back(Result::success(Method::password()));
    EXPECT_TRUE(await(KorvelIDVault::unlock()));
    const auto calls = auth_->authenticateCalls.size();
    EXPECT_TRUE(await(KorvelIDVault::unlock()));
    EXPECT_EQ(auth_->authenticateCalls.size(), calls) << "no scan for an unlocked vault";
}

TEST_F(KorvelIDVaultTest, UnlockByFaceUsesTheDeviceKeyAndWithoutItFallsBackToThePassword) {
    lockedVault();
    auth_->faceResults.push_back(Result::success(Method::face("Ada")));
    EXPECT_TRUE(await(KorvelIDVault::unlock()));
    ASSERT_EQ(auth_->authenticateCalls.size(), 1u);
    EXPECT_EQ(auth_->authenticateCalls[0], std::make_pair(std::string("Unlock your vault"), true));
    EXPECT_TRUE(auth_->promptReasons.empty());

    KorvelIDVault::lock();
    VaultKeychain::remove();
    auth_->faceResults.push_back(Result::success(Method::face("Ada")));
    auth_->typed.push_back("wrong");
    EXPECT_FALSE(await(KorvelIDVault::unlock()));
    EXPECT_EQ(auth_->promptReasons, std::vector<std::string>{"Unlock your vault"});
    auth_->faceResults.push_back(Result::success(Method::face("Ada")));
    auth_->typed.push_back("old password");
    EXPECT_TRUE(await(KorvelIDVault::unlock()));
}

TEST_F(KorvelIDVaultTest, APasswordApprovalAsksOnceMoreAndFailuresUnlockNothing) {
    lockedVault();
    auth_->faceResults.push_back(Result::success(Method::password()));
    auth_->typed.push_back(std::nullopt);
    EXPECT_FALSE(await(KorvelIDVault::unlock()));
    EXPECT_EQ(auth_->promptReasons.size(), 1u);

    auth_->faceResults.push_back(Result::failed("Not recognized"));
    EXPECT_FALSE(await(KorvelIDVault::unlock()));
    auth_->faceResults.push_back(Result::cancelled());
    EXPECT_FALSE(await(KorvelIDVault::unlock()));
    EXPECT_EQ(auth_->promptReasons.size(), 1u) << "no prompt after a failed or cancelled authentication";

    auth_->faceResults.push_back(Result::success(Method::password()));
    auth_->typed.push_back("old password");
    EXPECT_TRUE(await(KorvelIDVault::unlock()));
}

TEST_F(KorvelIDVaultTest, ChangingThePasswordWithoutAVault) {
    ASSERT_TRUE(MasterPassword::set("old password"));
    const auto pending = KorvelIDVault::changeMasterPassword("old password", "new password");
    EXPECT_FALSE(pending.isFinished()) << "the derivations run off the main thread";
    EXPECT_EQ(await(pending), PasswordChangeResult::success);
    EXPECT_TRUE(MasterPassword::verify("new password"));
    EXPECT_FALSE(MasterPassword::verify("old password"));
    EXPECT_FALSE(KorvelIDVault::isSetUp());
}

TEST_F(KorvelIDVaultTest, AWrongCurrentPasswordOrAVaultItCannotOpenChangesNothing) {
    lockedVault();
    const auto header = TestSupport::readText(dir_ / "Vault" / "vault.json");
    auto before = MasterPassword::snapshot();
    EXPECT_EQ(await(KorvelIDVault::changeMasterPassword("wrong", "new password")), PasswordChangeResult::wrongCurrentPassword);
    EXPECT_EQ(MasterPassword::snapshot(), before);
    EXPECT_EQ(TestSupport::readText(dir_ / "Vault" / "vault.json"), header);
    EXPECT_FALSE(KorvelIDVault::isUnlocked());

    // The master password was replaced behind the vault's back (another program, a reset).
    ASSERT_TRUE(MasterPassword::set("other password"));
    before = MasterPassword::snapshot();
    EXPECT_EQ(await(KorvelIDVault::changeMasterPassword("other password", "new password")), PasswordChangeResult::failed);
    EXPECT_EQ(MasterPassword::snapshot(), before);
    EXPECT_EQ(TestSupport::readText(dir_ / "Vault" / "vault.json"), header);
    EXPECT_FALSE(KorvelIDVault::isUnlocked());
}

TEST_F(KorvelIDVaultTest, ALockedVaultIsUnlockedRewrappedAndLeftUnlocked) {
    lockedVault();
    EXPECT_EQ(await(KorvelIDVault::changeMasterPassword("old password", "new password")), PasswordChangeResult::success);
    EXPECT_TRUE(KorvelIDVault::isUnlocked());
    EXPECT_TRUE(MasterPassword::verify("new password"));
    EXPECT_TRUE(vaultOpensWithPassword("new password"));
    EXPECT_FALSE(vaultOpensWithPassword("old password"));

    KorvelIDVault::lock();
    auth_->faceResults.push_back(Result::success(Method::password()));
    auth_->typed.push_back("old password");
    EXPECT_FALSE(await(KorvelIDVault::unlock()));
    auth_->faceResults.push_back(Result::success(Method::password()));
    auth_->typed.push_back("new password");
    EXPECT_TRUE(await(KorvelIDVault::unlock()));
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
        TestSupport::ScopedSecretStore failing(std::make_shared<FailOnceStore>(secrets_, "verifier"));
        EXPECT_EQ(await(KorvelIDVault::changeMasterPassword("old password", "new password")), PasswordChangeResult::failed);
    }
    EXPECT_TRUE(MasterPassword::isSet()) << "not left with a new salt and no verifier";
    EXPECT_TRUE(MasterPassword::verify("old password"));
    EXPECT_EQ(TestSupport::readText(dir_ / "Vault" / "vault.json"), header);
    EXPECT_TRUE(vaultOpensWithPassword("old password"));
}

TEST_F(KorvelIDVaultTest, TheDefaultStoreRemovesCopiesLeftByAnEarlierProcess) {
    TestSupport::ScopedDataHome home;
    KorvelIDVault::setStore(nullptr);
    const fs::path open = home.path() / "KorvelID" / "com.korvel.id.unbundled" / "Vault" / "open";
    fs::create_directories(open);
    TestSupport::writeText(open / "KorvelID-left.pdf", "plaintext");
    KorvelIDVault::removeLeftoverCopies();
    EXPECT_TRUE(fs::is_directory(open));
    EXPECT_TRUE(fs::is_empty(open));
    EXPECT_EQ(KorvelIDVault::store().directory(), home.path() / "KorvelID" / "com.korvel.id.unbundled" / "Vault");
}

// A whole session through the facade (set-up, face unlock, add, export, remove, password change,
// lock); every log line is searched for the passwords and every key in the forms a careless
// message would use.
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
        static constexpr char lower[] = "0123456789abcdef", upper[] = "0123456789ABCDEF";
        std::string hexLower, hexUpper;
        for (const std::uint8_t b : key->bytes()) {
            hexLower += {lower[b >> 4], lower[b & 15]};
            hexUpper += {upper[b >> 4], upper[b & 15]};
        }
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
