// The Secret Service backend against a real gnome-keyring (scripts/test-desktop runs one on a
// private session bus). Skips when no Secret Service answers.
#define SECRET_API_SUBJECT_TO_CHANGE 1
#include <libsecret/secret.h>

#include <gtest/gtest.h>

#include "Platform/SecretServiceStore.h"
#include "SecretStoreFixture.h"

namespace {

const GVariantType* variantType(const char* text) { return reinterpret_cast<const GVariantType*>(text); }

Bytes bytesOf(std::initializer_list<int> values) {
    Bytes b;
    for (int v : values) b.push_back(std::uint8_t(v));
    return b;
}

// Names no real item uses, so the test is harmless on any keyring.
std::string testService() { return "com.korvel.id.test." + Uuid::random().toString(); }

class SecretServiceStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string reason;
        store_ = SecretServiceStore::connect(&reason);
        if (!store_) GTEST_SKIP() << "no Secret Service answers (" << reason << "); run under scripts/test-desktop";
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

    ASSERT_TRUE(store_->store(service_, "a", bytesOf({0, 1, 0, 0, 255, 0})).ok());
    EXPECT_EQ(store_->exists(service_, "a").status, SecretLookup::Status::found);
    Bytes second(32, 0);
    second[31] = 7;
    ASSERT_TRUE(store_->store(service_, "a", second).ok());
    EXPECT_EQ(store_->lookup(service_, "a").value, second);

    // Items are kept apart by service and account.
    ASSERT_TRUE(store_->store(service_, "b", bytesOf({2})).ok());
    ASSERT_TRUE(store_->store(service_ + ".other", "a", bytesOf({3})).ok());
    EXPECT_EQ(store_->lookup(service_, "a").value, second);
    ASSERT_TRUE(store_->remove(service_, "a").ok());
    EXPECT_EQ(store_->lookup(service_, "a").status, SecretLookup::Status::notFound);
    EXPECT_TRUE(store_->remove(service_, "a").ok()) << "removing a missing item succeeds";
    EXPECT_EQ(store_->lookup(service_, "b").value, bytesOf({2}));
    EXPECT_EQ(store_->lookup(service_ + ".other", "a").value, bytesOf({3}));
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
    EXPECT_EQ(bogus->store(service_, "a", bytesOf({1})).status, SecretWrite::Status::error);
}

// gnome-keyring's own interface creates and unlocks a collection with a known password without a
// prompt; the password travels in a "plain" session of this connection. Locking goes through the
// Secret Service API, as any client (or the screen locker) would.
class KeyringCollection {
public:
    KeyringCollection() {
        GError* err = nullptr;
        bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &err);
        if (!bus_) {
            fail(err);
            return;
        }
        GVariant* reply = call(kService, "OpenSession", g_variant_new("(sv)", "plain", g_variant_new_string("")), "(vo)");
        if (!reply) return;
        const gchar* session = nullptr;
        g_variant_get_child(reply, 1, "&o", &session);
        session_ = session;
        g_variant_unref(reply);

        GVariantBuilder props;
        g_variant_builder_init(&props, variantType("a{sv}"));
        g_variant_builder_add(&props, "{sv}", "org.freedesktop.Secret.Collection.Label", g_variant_new_string("Korvel ID test"));
        reply = call(kInternal, "CreateWithMasterPassword", g_variant_new("(a{sv}@(oayays))", &props, masterSecret()), "(o)");
        if (!reply) return;
        const gchar* path = nullptr;
        g_variant_get(reply, "(&o)", &path);
        path_ = path;
        g_variant_unref(reply);
    }
    ~KeyringCollection() {
        if (!path_.empty()) {
            unlock();
            if (GVariant* r = call("org.freedesktop.Secret.Collection", "Delete", nullptr, "(o)", path_.c_str())) g_variant_unref(r);
        }
        if (bus_) g_object_unref(bus_);
    }
    KeyringCollection(const KeyringCollection&) = delete;
    KeyringCollection& operator=(const KeyringCollection&) = delete;

    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }

    bool lock() {
        const gchar* objects[] = {path_.c_str(), nullptr};
        GVariant* reply = call(kService, "Lock", g_variant_new("(^ao)", objects), "(aoo)");
        if (!reply) return false;
        GVariant* locked = g_variant_get_child_value(reply, 0);
        const bool done = g_variant_n_children(locked) == 1;
        g_variant_unref(locked);
        g_variant_unref(reply);
        return done;
    }

    bool unlock() {
        GVariant* reply = call(kInternal, "UnlockWithMasterPassword", g_variant_new("(o@(oayays))", path_.c_str(), masterSecret()), nullptr);
        if (reply) g_variant_unref(reply);
        return reply != nullptr;
    }

private:
    static constexpr const char* kService = "org.freedesktop.Secret.Service";
    static constexpr const char* kInternal = "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface";

    GVariant* masterSecret() const {
        static const char password[] = "korvel-test-password";
        return g_variant_new("(o@ay@ays)", session_.c_str(), g_variant_new_fixed_array(variantType("y"), "", 0, 1),
                             g_variant_new_fixed_array(variantType("y"), password, sizeof password - 1, 1), "text/plain");
    }

    GVariant* call(const char* interface, const char* method, GVariant* args, const char* replyType,
                   const char* path = "/org/freedesktop/secrets") {
        GError* err = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(bus_, "org.freedesktop.secrets", path, interface, method, args,
                                                      replyType ? variantType(replyType) : nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &err);
        if (!reply) fail(err);
        return reply;
    }

    void fail(GError* err) {
        if (!err) return;
        error_ = err->message;
        g_error_free(err);
    }

    GDBusConnection* bus_ = nullptr;
    std::string session_;
    std::string path_;
    std::string error_;
};

TEST_F(SecretServiceStoreTest, ALockedCollectionReportsLockedNeverMissing) {
    if (!TestSupport::insideTestDesktop()) GTEST_SKIP() << "needs the test desktop's own gnome-keyring";
    KeyringCollection collection;
    ASSERT_FALSE(collection.path().empty()) << "gnome-keyring did not create a collection: " << collection.error();

    auto store = SecretServiceStore::connect({.collection = collection.path(), .timeout = std::chrono::milliseconds(5000), .servicePrefix = TestSupport::testServicePrefix()});
    ASSERT_NE(store, nullptr);
    const Bytes value = bytesOf({9, 0, 9});
    ASSERT_TRUE(store->store(service_, "a", value).ok());
    ASSERT_EQ(store->lookup(service_, "a").value, value);
    EXPECT_EQ(store->collectionLocked(), std::optional<bool>(false));

    ASSERT_TRUE(collection.lock()) << collection.error();
    EXPECT_EQ(store->collectionLocked(), std::optional<bool>(true));
    EXPECT_EQ(store->lookup(service_, "a").status, SecretLookup::Status::locked);
    EXPECT_EQ(store->exists(service_, "a").status, SecretLookup::Status::locked);
    // Whether or not the item exists cannot be told while locked.
    EXPECT_EQ(store->lookup(service_, "b").status, SecretLookup::Status::locked);
    EXPECT_EQ(store->store(service_, "b", value).status, SecretWrite::Status::locked);
    EXPECT_EQ(store->remove(service_, "a").status, SecretWrite::Status::locked);

    ASSERT_TRUE(collection.unlock()) << collection.error();
    EXPECT_EQ(store->lookup(service_, "a").value, value) << "locking lost nothing";
    EXPECT_EQ(store->lookup(service_, "b").status, SecretLookup::Status::notFound);
    EXPECT_TRUE(store->remove(service_, "a").ok());
}

}  // namespace
