#include "SecretServiceStore.h"

// secret_collection_new_for_dbus_path_sync (a collection by object path) is in the "paths" API.
#define SECRET_API_SUBJECT_TO_CHANGE 1
#include <libsecret/secret.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdlib>
#include <optional>
#include <stop_token>
#include <thread>

#include "Support/Logger.h"
#include "Support/SymmetricKey.h"

namespace {
constexpr const char* kServicePath = "/org/freedesktop/secrets";
constexpr const char* kServiceInterface = "org.freedesktop.Secret.Service";
constexpr const char* kCollectionInterface = "org.freedesktop.Secret.Collection";
constexpr const char* kContentType = "application/octet-stream";

const SecretSchema* itemSchema() {
    static const SecretSchema schema = {
        SecretServiceStore::schemaName,
        SECRET_SCHEMA_NONE,
        {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
         {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &schema;
}

const GVariantType* variantType(const char* text) { return reinterpret_cast<const GVariantType*>(text); }

// A GCancellable that cancels itself when the time-out passes, so that no call into the service
// can hang the caller (a service that waits for a prompt nobody answers, a stuck bus).
class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds timeout) : cancellable_(g_cancellable_new()) {
        thread_ = std::jthread([this, timeout](std::stop_token stop) {
            std::mutex m;
            std::condition_variable_any cv;
            std::unique_lock lock(m);
            cv.wait_for(lock, stop, timeout, [] { return false; });
            if (!stop.stop_requested()) g_cancellable_cancel(cancellable_);
        });
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
    ~Deadline() {
        thread_.request_stop();
        thread_.join();
        g_object_unref(cancellable_);
    }
    GCancellable* get() const { return cancellable_; }

private:
    GCancellable* cancellable_;
    std::jthread thread_;
};

// Owns a GError and turns it into a readable reason.
struct Error {
    GError* error = nullptr;
    Error() = default;
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    ~Error() {
        if (error) g_error_free(error);
    }
    GError** out() { return &error; }
    explicit operator bool() const { return error != nullptr; }
    std::string reason(std::chrono::milliseconds timeout) const {
        if (error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
            return strprintf("The Secret Service did not answer within %lld ms.", static_cast<long long>(timeout.count()));
        return error ? std::string("Secret Service error: ") + error->message : std::string();
    }
    bool isLocked() const { return error && g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED); }
};

GHashTable* attributesFor(std::string_view service, std::string_view account) {
    const std::string s(service), a(account);
    return secret_attributes_build(itemSchema(), "service", s.c_str(), "account", a.c_str(), nullptr);
}

// Without an address and without $XDG_RUNTIME_DIR/bus, GDBus would autolaunch a private bus
// (dbus-launch) that outlives us; we never want that.
bool sessionBusConfigured() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return true;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        struct stat st {};
        const std::string socket = std::string(runtime) + "/bus";
        return ::stat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
    }
    return false;
}

std::string objectPath(gpointer proxy) { return g_dbus_proxy_get_object_path(static_cast<GDBusProxy*>(proxy)); }
}  // namespace

struct SecretServiceStore::Impl {
    Options options;
    SecretService* service = nullptr;

    ~Impl() {
        if (service) g_object_unref(service);
    }

    GDBusConnection* bus() const { return g_dbus_proxy_get_connection(reinterpret_cast<GDBusProxy*>(service)); }
    const char* busName() const { return g_dbus_proxy_get_name(reinterpret_cast<GDBusProxy*>(service)); }
    int timeoutMs() const { return static_cast<int>(options.timeout.count()); }

    // The target collection's object path; "" when the alias names no collection.
    std::optional<std::string> collectionPath(GCancellable* cancellable, std::string* reason) const {
        if (!options.collection.empty() && options.collection.front() == '/') return options.collection;
        Error err;
        GVariant* reply = g_dbus_connection_call_sync(
            bus(), busName(), kServicePath, kServiceInterface, "ReadAlias",
            g_variant_new("(s)", options.collection.c_str()), variantType("(o)"), G_DBUS_CALL_FLAGS_NONE,
            timeoutMs(), cancellable, err.out());
        if (!reply) {
            if (reason) *reason = err.reason(options.timeout);
            return std::nullopt;
        }
        const gchar* path = nullptr;
        g_variant_get(reply, "(&o)", &path);
        std::string result = std::string(path) == "/" ? std::string() : std::string(path);
        g_variant_unref(reply);
        return result;
    }

    // Reads the collection's "Locked" property straight from the service (no cached proxy state).
    std::optional<bool> isLocked(const std::string& path, GCancellable* cancellable, std::string* reason) const {
        Error err;
        GVariant* reply = g_dbus_connection_call_sync(
            bus(), busName(), path.c_str(), "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", kCollectionInterface, "Locked"), variantType("(v)"), G_DBUS_CALL_FLAGS_NONE,
            timeoutMs(), cancellable, err.out());
        if (!reply) {
            if (reason) *reason = err.reason(options.timeout);
            return std::nullopt;
        }
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        std::optional<bool> locked;
        if (g_variant_is_of_type(value, variantType("b"))) locked = g_variant_get_boolean(value) != FALSE;
        g_variant_unref(value);
        g_variant_unref(reply);
        if (!locked && reason) *reason = "The Secret Service reported no lock state.";
        return locked;
    }
};

SecretServiceStore::SecretServiceStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SecretServiceStore::~SecretServiceStore() = default;

std::unique_ptr<SecretServiceStore> SecretServiceStore::connect(Options options, std::string* reason) {
    if (!sessionBusConfigured()) {
        if (reason) *reason = "No session bus is running.";
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->options = std::move(options);
    Deadline deadline(impl->options.timeout);
    Error err;
    // A private instance (not libsecret's shared one): its proxies and session belong to us. The
    // first call starts an activatable service.
    impl->service = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION,
                                             deadline.get(), err.out());
    if (!impl->service) {
        if (reason) *reason = err.reason(impl->options.timeout);
        return nullptr;
    }
    std::string why;
    const auto path = impl->collectionPath(deadline.get(), &why);
    if (!path) {
        if (reason) *reason = why;
        return nullptr;
    }
    if (path->empty()) {
        if (reason) *reason = "The Secret Service has no collection \"" + impl->options.collection + "\".";
        return nullptr;
    }
    return std::unique_ptr<SecretServiceStore>(new SecretServiceStore(std::move(impl)));
}

std::optional<bool> SecretServiceStore::collectionLocked() {
    std::lock_guard lock(mutex_);
    Deadline deadline(impl_->options.timeout);
    const auto path = impl_->collectionPath(deadline.get(), nullptr);
    if (!path || path->empty()) return std::nullopt;
    return impl_->isLocked(*path, deadline.get(), nullptr);
}

SecretLookup SecretServiceStore::find(std::string_view service, std::string_view account, bool loadValue) {
    std::lock_guard lock(mutex_);
    Deadline deadline(impl_->options.timeout);
    GHashTable* attributes = attributesFor(service, account);
    Error err;
    // No SECRET_SEARCH_UNLOCK: locked items come back marked locked instead of raising a prompt.
    const int flags = SECRET_SEARCH_ALL | (loadValue ? SECRET_SEARCH_LOAD_SECRETS : 0);
    GList* items = secret_service_search_sync(impl_->service, itemSchema(), attributes,
                                              static_cast<SecretSearchFlags>(flags), deadline.get(), err.out());
    g_hash_table_unref(attributes);
    if (err) return {SecretLookup::Status::error, {}, err.reason(impl_->options.timeout)};

    std::string why;
    const auto target = impl_->collectionPath(deadline.get(), &why);
    if (!target) {
        g_list_free_full(items, g_object_unref);
        return {SecretLookup::Status::error, {}, why};
    }

    // Prefer the item in our collection; among others, the most recently changed one.
    SecretItem* best = nullptr;
    bool bestInTarget = false;
    bool anyLocked = false;
    for (GList* l = items; l; l = l->next) {
        auto* item = static_cast<SecretItem*>(l->data);
        if (secret_item_get_locked(item)) {
            anyLocked = true;
            continue;
        }
        const bool inTarget = !target->empty() && objectPath(item).starts_with(*target + "/");
        if (!best || (inTarget && !bestInTarget) ||
            (inTarget == bestInTarget && secret_item_get_modified(item) > secret_item_get_modified(best))) {
            best = item;
            bestInTarget = inTarget;
        }
    }

    SecretLookup result;
    if (best) {
        result.status = SecretLookup::Status::found;
        if (loadValue) {
            SecretValue* value = secret_item_get_secret(best);
            if (!value && secret_item_load_secret_sync(best, deadline.get(), err.out()))
                value = secret_item_get_secret(best);
            if (value) {
                gsize length = 0;
                const gchar* data = secret_value_get(value, &length);
                const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
                result.value.assign(bytes, bytes + length);
                secret_value_unref(value);
            } else {
                result = {SecretLookup::Status::error, {}, err ? err.reason(impl_->options.timeout)
                                                              : std::string("The Secret Service returned no value.")};
            }
        }
    } else if (anyLocked) {
        result.status = SecretLookup::Status::locked;
    } else if (!target->empty()) {
        // A locked collection may hide its items from a search: that is not "no item".
        const auto locked = impl_->isLocked(*target, deadline.get(), &why);
        if (!locked) result = {SecretLookup::Status::error, {}, why};
        else result.status = *locked ? SecretLookup::Status::locked : SecretLookup::Status::notFound;
    } else {
        result.status = SecretLookup::Status::notFound;
    }
    g_list_free_full(items, g_object_unref);
    return result;
}

SecretLookup SecretServiceStore::lookup(std::string_view service, std::string_view account) {
    return find(service, account, true);
}

SecretLookup SecretServiceStore::exists(std::string_view service, std::string_view account) {
    return find(service, account, false);
}

SecretWrite SecretServiceStore::store(std::string_view service, std::string_view account,
                                      std::span<const std::uint8_t> value) {
    std::lock_guard lock(mutex_);
    Deadline deadline(impl_->options.timeout);
    std::string why;
    const auto path = impl_->collectionPath(deadline.get(), &why);
    if (!path) return {SecretWrite::Status::error, why};
    if (path->empty()) return {SecretWrite::Status::error, "The Secret Service has no collection \"" + impl_->options.collection + "\"."};
    // Checked first because storing into a locked collection would make the service prompt.
    const auto locked = impl_->isLocked(*path, deadline.get(), &why);
    if (!locked) return {SecretWrite::Status::error, why};
    if (*locked) return {SecretWrite::Status::locked, "The keyring is locked."};

    Error err;
    SecretCollection* collection =
        secret_collection_new_for_dbus_path_sync(impl_->service, path->c_str(), SECRET_COLLECTION_NONE, deadline.get(), err.out());
    if (!collection) return {SecretWrite::Status::error, err.reason(impl_->options.timeout)};

    GHashTable* attributes = attributesFor(service, account);
    SecretValue* secret = secret_value_new(reinterpret_cast<const gchar*>(value.data()),
                                           static_cast<gssize>(value.size()), kContentType);
    const std::string label = "Korvel ID: " + std::string(service) + " " + std::string(account);
    SecretItem* item = secret_item_create_sync(collection, itemSchema(), attributes, label.c_str(), secret,
                                               SECRET_ITEM_CREATE_REPLACE, deadline.get(), err.out());
    secret_value_unref(secret);
    g_hash_table_unref(attributes);
    g_object_unref(collection);
    if (!item) {
        if (err.isLocked()) return {SecretWrite::Status::locked, "The keyring is locked."};
        return {SecretWrite::Status::error, err.reason(impl_->options.timeout)};
    }
    g_object_unref(item);
    return {};
}

SecretWrite SecretServiceStore::remove(std::string_view service, std::string_view account) {
    std::lock_guard lock(mutex_);
    Deadline deadline(impl_->options.timeout);
    GHashTable* attributes = attributesFor(service, account);
    Error err;
    GList* items = secret_service_search_sync(impl_->service, itemSchema(), attributes, SECRET_SEARCH_ALL,
                                              deadline.get(), err.out());
    g_hash_table_unref(attributes);
    if (err) return {SecretWrite::Status::error, err.reason(impl_->options.timeout)};

    SecretWrite result;
    for (GList* l = items; l; l = l->next) {
        if (secret_item_get_locked(static_cast<SecretItem*>(l->data))) {
            result = {SecretWrite::Status::locked, "The keyring is locked."};
            break;
        }
    }
    if (result.ok()) {
        for (GList* l = items; l; l = l->next) {
            Error deleteError;
            if (!secret_item_delete_sync(static_cast<SecretItem*>(l->data), deadline.get(), deleteError.out())) {
                result = {deleteError.isLocked() ? SecretWrite::Status::locked : SecretWrite::Status::error,
                          deleteError.isLocked() ? std::string("The keyring is locked.")
                                                 : deleteError.reason(impl_->options.timeout)};
                break;
            }
        }
    }
    g_list_free_full(items, g_object_unref);
    return result;
}
