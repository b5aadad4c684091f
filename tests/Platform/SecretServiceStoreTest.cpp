// The Secret Service backend against a real gnome-keyring on scripts/test-desktop's private bus.
#include <gtest/gtest.h>

#include "Platform/SecretServiceStore.h"
#include "SecretStoreFixture.h"
#include "TestSupport.h"

namespace {

// Names no real item uses, so the test is harmless on any keyring.
std::string testService() { return "com.korvel.id.test." + Uuid::random().toString(); }

class SecretServiceStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string reason;
        store_ = SecretServiceStore::connect(&reason);
        if (!store_) KORVEL_SKIP() << "no Secret Service answers (" << reason << "); run under scripts/test-desktop";
        service_ = testService();
    }
    void TearDown() override {
        if (store_) {
            store_->remove(service_, "a");
            store_->remove(service_, "b");
            store_->remove(service_ + ".other", "a");
        }
    }
    std::unique_ptr<SecretServiceStore> store_;
    std::string service_;
};

TEST_F(SecretServiceStoreTest, StoresReplacesAndRemovesBinaryValuesWithZeroBytesPerServiceAndAccount) {
    EXPECT_EQ(store_->kind(), SecretStore::Kind::secretService);
    EXPECT_EQ(store_->lookup(service_, "a").status, SecretLookup::Status::notFound);
    EXPECT_EQ(store_->exists(service_, "a").status, SecretLookup::Status::notFound);

    ASSERT_TRUE(store_->store(service_, "a", Bytes{0, 1, 0, 0, 255, 0}).ok());
    EXPECT_EQ(store_->exists(service_, "a").status, SecretLookup::Status::found);
    Bytes second(32, 0);
    second[31] = 7;
    ASSERT_TRUE(store_->store(service_, "a", second).ok());
    EXPECT_EQ(store_->lookup(service_, "a").value, second);

    // Items are kept apart by service and account.
    ASSERT_TRUE(store_->store(service_, "b", Bytes{2}).ok());
    ASSERT_TRUE(store_->store(service_ + ".other", "a", Bytes{3}).ok());
    EXPECT_EQ(store_->lookup(service_, "a").value, second);
    ASSERT_TRUE(store_->remove(service_, "a").ok());
    EXPECT_EQ(store_->lookup(service_, "a").status, SecretLookup::Status::notFound);
    EXPECT_TRUE(store_->remove(service_, "a").ok()) << "removing a missing item succeeds";
    EXPECT_EQ(store_->lookup(service_, "b").value, Bytes{2});
    EXPECT_EQ(store_->lookup(service_ + ".other", "a").value, Bytes{3});
}

TEST_F(SecretServiceStoreTest, AMissingCollectionIsAnErrorWithAReasonNotAMissingItem) {
    std::string reason;
    EXPECT_EQ(SecretServiceStore::connect({.collection = "korvel-no-such-alias", .timeout = std::chrono::milliseconds(3000), .servicePrefix = TestSupport::testServicePrefix()}, &reason), nullptr);
    EXPECT_NE(reason.find("korvel-no-such-alias"), std::string::npos) << reason;

    auto bogus = SecretServiceStore::connect({.collection = "/org/freedesktop/secrets/collection/korvel_nope", .timeout = std::chrono::milliseconds(3000), .servicePrefix = TestSupport::testServicePrefix()});
    ASSERT_NE(bogus, nullptr);
    const auto r = bogus->lookup(service_, "a");
    EXPECT_EQ(r.status, SecretLookup::Status::error);
    EXPECT_FALSE(r.reason.empty());
    EXPECT_EQ(bogus->store(service_, "a", Bytes{1}).status, SecretWrite::Status::error);
}

}  // namespace
