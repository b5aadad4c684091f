// The master password: the key derivation pinned by known answers (computed independently), and the
// operations against a real secret store (the test desktop's gnome-keyring, else a file store).
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <QCoreApplication>
#include <QThread>

#include <atomic>

#include "Face/FaceAttemptLimit.h"
#include "Identity/MasterPassword.h"
#include "SecretStoreFixture.h"
#include "TestSupport.h"

namespace {
using TestSupport::ScopedSecretStore;
using TestSupport::TempDir;

Bytes range(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t(i);
    return b;
}

struct Known {
    const char* what;
    std::string password;
    Bytes salt;
    const char* key;
};

TEST(MasterPasswordDerivation, MatchesKnownAnswers) {
    const Known cases[] = {
        {"empty salt", "password", {}, "dff3443fbf25518e7215af34b5b962ac6be7186b27845bfe02b041273cd6fb18"},
        {"32-byte salt", "correct horse battery staple", range(32), "b60d95f8fa6bb6445cd674aa250b4f45990210e41be225d6db78ea947145249e"},
        {"multi-byte", "Pässwörd 🔑 パスワード", range(32), "46c79ec0182bf971b86bc1b63ff2264a01ec579eae3d0c23bb7d98f3800616fe"},
        {"precomposed é", "caf\u00e9", range(32), "531bf4a795a88919c2135940ed5dedab277bc6cc9a9953f88ae2ad67451ef95f"},
        {"decomposed e + U+0301", "cafe\u0301", range(32), "8b109f3712ce803aeaa368cf84e116eb01c7605df410a0d7e2432248edd82a36"},
        {"salt of one block", "x", range(64), "b51b979b496d53c5688d7de9280dac53341f048034f08b2a70b6b3bab68f2fca"},
        {"salt longer than a block", "x", range(100), "c987449e37dd9bf8dc6bfe46e63e13fcdc20eda6f69356b54231c51a08c671f9"},
        {"password longer than a block", std::string(200, 'a'), range(32), "f7c1563d92dd6376a4271966d0d990b1112dea96b73071cd20a1a6cbbe1b8a61"},
    };
    for (const auto& c : cases) {
        const auto key = MasterPassword::deriveKey(c.password, c.salt);
        EXPECT_EQ(TestSupport::hex(key.bytes()), c.key) << c.what;
    }
}

TEST(MasterPasswordDerivation, ConstantTimeEqualsComparesLengthAndEveryByte) {
    const Bytes a = range(32);
    EXPECT_FALSE(MasterPassword::constantTimeEquals(a, std::span(a).first(31)));
    EXPECT_TRUE(MasterPassword::constantTimeEquals(Bytes{}, Bytes{}));
    for (std::size_t i : {0u, 31u}) {
        Bytes b = a;
        b[i] ^= 0x80;
        EXPECT_FALSE(MasterPassword::constantTimeEquals(a, b)) << i;
    }
}

class MasterPasswordTest : public ::testing::Test {
protected:
    void SetUp() override { MasterPassword::reset(); }
    void TearDown() override { MasterPassword::reset(); }

    TempDir dir_;
    std::shared_ptr<SecretStore> real_ = TestSupport::makeTestSecretStore(dir_.path());
    ScopedSecretStore installed_{real_};
};

TEST_F(MasterPasswordTest, SetVerifyAndTheStoredItems) {
    EXPECT_FALSE(MasterPassword::isSet());
    EXPECT_FALSE(MasterPassword::verify("anything")) << "no password set";
    EXPECT_EQ(real_->exists(MasterPassword::service, "salt").status, SecretLookup::Status::notFound)
        << "verify wrote nothing";
    EXPECT_FALSE(MasterPassword::set(""));
    EXPECT_FALSE(MasterPassword::isSet());

    const auto key = MasterPassword::setReturningKey("hunter22");
    ASSERT_TRUE(key);
    EXPECT_TRUE(MasterPassword::isSet());
    const auto salt = real_->lookup("com.korvel.id.master", "salt");
    const auto verifier = real_->lookup("com.korvel.id.master", "verifier");
    ASSERT_EQ(salt.value.size(), 32u);
    ASSERT_EQ(verifier.value.size(), 32u);
    EXPECT_EQ(MasterPassword::deriveKey("hunter22", salt.value), *key);
    Bytes digest(32);
    EVP_Digest(key->bytes().data(), 32, digest.data(), nullptr, EVP_sha256(), nullptr);
    EXPECT_EQ(verifier.value, digest) << "verifier = SHA-256(derived key)";

    // Face unlock locked by failed scans: a wrong password leaves it so, the right one frees it.
    FaceAttemptLimit::setDataFolder(dir_.path());
    FaceAttemptLimit limit(dir_.path());
    for (int i = 0; i < FaceAttemptLimit::maxFailures; ++i) limit.recordFailure();
    EXPECT_FALSE(MasterPassword::verify("hunter23"));
    EXPECT_FALSE(MasterPassword::verify("hunter24"));
    EXPECT_TRUE(limit.lockedOut());
    EXPECT_EQ(MasterPassword::wrongInARow(), 2) << "counted for the growing wait on every prompt";
    EXPECT_EQ(MasterPassword::deriveKeyForVault("hunter22"), key);
    EXPECT_EQ(limit.failures(), 0);
    EXPECT_EQ(MasterPassword::wrongInARow(), 0);
    FaceAttemptLimit::setDataFolder({});
    EXPECT_FALSE(MasterPassword::deriveKeyForVault("Hunter22"));
    EXPECT_TRUE(MasterPassword::isCurrentKey(*key));
    EXPECT_FALSE(MasterPassword::isCurrentKey(SymmetricKey::random()));
    ASSERT_TRUE(MasterPassword::set("hunter23"));
    EXPECT_EQ(real_->exists(MasterPassword::service, "previous").status, SecretLookup::Status::notFound)
        << "a finished change leaves the two items older versions read, and nothing else";
}

TEST_F(MasterPasswordTest, SettingTheSamePasswordTwiceGivesNewSaltVerifierAndKeyAndSpellingsStayApart) {
    const auto first = MasterPassword::setReturningKey("caf\u00e9");
    const auto snap1 = MasterPassword::snapshot();
    const auto second = MasterPassword::setReturningKey("caf\u00e9");
    const auto snap2 = MasterPassword::snapshot();
    ASSERT_TRUE(first && second && snap1 && snap2);
    EXPECT_NE(*first, *second);
    EXPECT_NE(snap1->salt, snap2->salt);
    EXPECT_NE(snap1->verifier, snap2->verifier);
    EXPECT_TRUE(MasterPassword::verify("caf\u00e9"));
    EXPECT_FALSE(MasterPassword::verify("cafe\u0301")) << "composed and decomposed spellings are different passwords";
}

TEST_F(MasterPasswordTest, ResetSnapshotRestoreAndFailedWrites) {
    ASSERT_TRUE(MasterPassword::set("old password"));
    const auto earlier = MasterPassword::snapshot();
    ASSERT_TRUE(earlier);
    MasterPassword::reset();
    EXPECT_FALSE(MasterPassword::isSet());
    EXPECT_FALSE(MasterPassword::snapshot());
    EXPECT_FALSE(MasterPassword::verify("old password"));

    ASSERT_TRUE(MasterPassword::set("new password"));
    ASSERT_TRUE(MasterPassword::restore(*earlier));
    EXPECT_EQ(MasterPassword::snapshot(), earlier);
    EXPECT_TRUE(MasterPassword::verify("old password"));
    EXPECT_FALSE(MasterPassword::verify("new password"));

    // A change cut short after the salt write leaves the new salt beside the old verifier; the pair
    // kept in "previous" still opens with the old password, and no password pairs with the new salt.
    {
        ScopedSecretStore failing(TestSupport::HookedStore::failing(real_, "verifier"));
        EXPECT_FALSE(MasterPassword::setReturningKey("new password"));
        EXPECT_NE(real_->lookup(MasterPassword::service, "salt").value, earlier->salt) << "the new salt was written";
        EXPECT_TRUE(MasterPassword::isSet());
        EXPECT_EQ(MasterPassword::snapshot(), earlier);
        EXPECT_TRUE(MasterPassword::verify("old password"));
        EXPECT_FALSE(MasterPassword::verify("new password"));
    }
    {
        // Nothing is written while the pair in force cannot be kept aside.
        const auto saltBefore = real_->lookup(MasterPassword::service, "salt").value;
        ScopedSecretStore failing(TestSupport::HookedStore::failing(real_, "previous"));
        EXPECT_FALSE(MasterPassword::setReturningKey("new password"));
        EXPECT_EQ(real_->lookup(MasterPassword::service, "salt").value, saltBefore);
    }
    ASSERT_TRUE(MasterPassword::restore(*earlier));
    EXPECT_TRUE(MasterPassword::verify("old password"));
}

TEST_F(MasterPasswordTest, AsyncFormsDeriveOffTheMainThread) {
    ASSERT_TRUE(MasterPassword::set("pw123456"));
    // Every derivation reads the salt: the threads that do are noted.
    auto noting = std::make_shared<TestSupport::HookedStore>(real_);
    std::atomic<bool> onMainThread{false};
    noting->onLookup = [&](std::string_view account) {
        if (account == "salt") onMainThread = onMainThread || QThread::currentThread() == qApp->thread();
    };
    ScopedSecretStore installed(noting);
    auto pending = MasterPassword::deriveKeyForVaultAsync("pw123456");
    ASSERT_TRUE(TestSupport::waitUntil([&] { return pending.isFinished(); }));
    EXPECT_FALSE(onMainThread) << "the derivation ran on the main thread";
    EXPECT_EQ(pending.result(), MasterPassword::deriveKeyForVault("pw123456"));

    auto wrong = MasterPassword::verifyAsync("nope");
    auto changed = MasterPassword::setFirstAsync("other pw");  // never over one in force
    ASSERT_TRUE(TestSupport::waitUntil([&] { return wrong.isFinished() && changed.isFinished(); }));
    EXPECT_FALSE(wrong.result());
    EXPECT_FALSE(changed.result());
    EXPECT_TRUE(MasterPassword::verify("pw123456"));
}

}  // namespace
