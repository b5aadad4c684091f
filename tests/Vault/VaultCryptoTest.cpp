// AES-256-GCM sealing, key wrapping and the device key item.
#include <gtest/gtest.h>

#include "SecretStoreFixture.h"
#include "TestSupport.h"
#include "Vault/VaultCrypto.h"
#include "Vault/VaultKeychain.h"

namespace {

Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::uint8_t(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

SymmetricKey keyFromHex(std::string_view hex) { return *SymmetricKey::fromBytes(fromHex(hex)); }

template <typename F>
void expectCorrupted(F&& f, const std::string& what) {
    try {
        f();
        ADD_FAILURE() << what << ": opened";
    } catch (const CryptoError& e) {
        EXPECT_EQ(e.code(), CryptoError::Code::corrupted) << what;
    }
}

struct Vector {
    const char *source, *key, *nonce, *plaintext, *ciphertext, *tag;
};

// AES-256, 96-bit IV, no AAD, 128-bit tag: the GCM paper's test cases 13 and 15 and a vector of
// NIST CAVP gcmEncryptExtIV256.
const Vector kVectors[] = {
    {"GCM TC13", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "", "",
     "530f8afbc74536b9a963b4f1c4cb738b"},
    {"GCM TC15", "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
     "b094dac5d93471bdec1a502270e3cc6c"},
    {"CAVP 256/96/128", "31bdadd96698c204aa9ce1448ea94ae1fb4a9a0b3c9d773b51bb1822666b8f22", "0d18e06c7c725ac9e362e1ce",
     "2db5168e932556f8089a0622981d017d", "fa4362189661d163fcd6a56d8bf0405a", "d636ac1bbedd5cc3ee727dc2ab4a9489"},
};

TEST(VaultCrypto, KnownAnswerVectorsInTheCombinedLayout) {
    for (const auto& v : kVectors) {
        const auto key = keyFromHex(v.key);
        VaultCrypto::Nonce nonce{};
        const Bytes n = fromHex(v.nonce);
        std::copy(n.begin(), n.end(), nonce.begin());
        const Bytes plaintext = fromHex(v.plaintext);
        Bytes expected = n;
        for (const auto& part : {fromHex(v.ciphertext), fromHex(v.tag)}) expected.insert(expected.end(), part.begin(), part.end());

        EXPECT_EQ(VaultCrypto::seal(plaintext, key, nonce), expected) << v.source;
        EXPECT_EQ(VaultCrypto::decrypt(expected, key), plaintext) << v.source;
    }
}

TEST(VaultCrypto, EveryBitFlipEveryTruncationAndAWrongKeyFail) {
    const auto key = VaultCrypto::makeKey();
    const Bytes text = {1, 2, 3, 4, 5};
    const Bytes box = VaultCrypto::encrypt(text, key);
    for (std::size_t i = 0; i < box.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes altered = box;
            altered[i] ^= std::uint8_t(1 << bit);
            expectCorrupted([&] { VaultCrypto::decrypt(altered, key); }, "byte " + std::to_string(i) + " bit " + std::to_string(bit));
        }
    }
    for (std::size_t len = 0; len < box.size(); ++len)
        expectCorrupted([&] { VaultCrypto::decrypt(std::span(box).first(len), key); }, "first " + std::to_string(len) + " bytes");
    Bytes longer = box;
    longer.push_back(0);
    expectCorrupted([&] { VaultCrypto::decrypt(longer, key); }, "one byte appended");
    expectCorrupted([&] { VaultCrypto::decrypt(box, VaultCrypto::makeKey()); }, "another key");
}

TEST(VaultCrypto, FreshNoncesLayoutAndWrapping) {
    const auto key = VaultCrypto::makeKey();
    const Bytes text = {'s', 'e', 'c', 'r', 'e', 't'};
    const Bytes a = VaultCrypto::encrypt(text, key);
    const Bytes b = VaultCrypto::encrypt(text, key);
    EXPECT_EQ(a.size(), text.size() + 28);
    EXPECT_FALSE(std::equal(a.begin(), a.begin() + 12, b.begin())) << "the nonces differ";
    EXPECT_EQ(VaultCrypto::decrypt(b, key), text);

    const auto dek = VaultCrypto::makeKey();
    const auto kek = VaultCrypto::makeKey();
    const Bytes wrapped = VaultCrypto::wrap(dek, kek);
    EXPECT_EQ(wrapped.size(), 60u);
    EXPECT_EQ(VaultCrypto::unwrap(wrapped, kek), dek);
    // A box that opens but does not hold a 256-bit key is not a data key.
    for (std::size_t n : {0, 16, 31, 33, 64}) {
        const Bytes other = VaultCrypto::encrypt(Bytes(n, 0xAB), kek);
        expectCorrupted([&] { VaultCrypto::unwrap(other, kek); }, std::to_string(n) + "-byte plaintext");
    }
}

class VaultKeychainTest : public ::testing::Test {
protected:
    void SetUp() override { VaultKeychain::remove(); }
    void TearDown() override { VaultKeychain::remove(); }
    TestSupport::TempDir dir_;
    std::shared_ptr<SecretStore> store_ = TestSupport::makeTestSecretStore(dir_.path());
    TestSupport::ScopedSecretStore installed_{store_};
};

TEST_F(VaultKeychainTest, StoresOneKeyAndLoadsIt) {
    EXPECT_FALSE(VaultKeychain::loadDeviceKEK());
    const auto first = VaultCrypto::makeKey();
    const auto second = VaultCrypto::makeKey();
    ASSERT_TRUE(VaultKeychain::storeDeviceKEK(first));
    ASSERT_TRUE(VaultKeychain::storeDeviceKEK(second));
    EXPECT_EQ(VaultKeychain::loadDeviceKEK(), second);
    EXPECT_EQ(store_->lookup("com.korvel.id.vault.kek", "device-kek").value, Bytes(second.bytes().begin(), second.bytes().end()));

    ASSERT_TRUE(store_->store("com.korvel.id.vault.kek", "device-kek", Bytes(31, 1)).ok());
    EXPECT_FALSE(VaultKeychain::loadDeviceKEK()) << "a value that is not 32 bytes is no key";
    VaultKeychain::remove();
    EXPECT_FALSE(VaultKeychain::loadDeviceKEK());
}

}  // namespace
