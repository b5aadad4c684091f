#include "SecretServiceStore.h"

// The "paths" API (items by D-Bus object path, no proxy objects) is marked unstable by libsecret.
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
    std::string serviceName(std::string_view name) const { return options.servicePrefix + std::string(name); }

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

namespace {
// Owns a NULL-terminated array of object paths.
struct PathList {
    gchar** paths = nullptr;
    PathList() = default;
    PathList(const PathList&) = delete;
    PathList& operator=(const PathList&) = delete;
    ~PathList() { g_strfreev(paths); }
    bool empty() const { return !paths || !paths[0]; }
};

// The paths API is used throughout instead of SecretItem objects: an item object is a D-Bus proxy
// whose signal subscriptions are tied to the short-lived main context of one synchronous call, and
// whose teardown never completes when the call came from a worker thread.
struct Search {
    PathList unlocked;
    PathList locked;
};

bool search(SecretService* service, std::string_view name, std::string_view account, GCancellable* cancellable,
            Search& out, Error& err) {
    GHashTable* attributes = attributesFor(name, account);
    const gboolean ok = secret_service_search_for_dbus_paths_sync(service, itemSchema(), attributes, cancellable,
                                                                  &out.unlocked.paths, &out.locked.paths, err.out());
    g_hash_table_unref(attributes);
    return ok != FALSE;
}

void unrefVariant(gpointer value) { g_variant_unref(static_cast<GVariant*>(value)); }
}  // namespace

SecretLookup SecretServiceStore::find(std::string_view service, std::string_view account, bool loadValue) {
    std::lock_guard lock(mutex_);
    Deadline deadline(impl_->options.timeout);
    Search found;
    Error err;
    // Never asks the service to unlock: locked items come back as locked paths, with no prompt.
    if (!search(impl_->service, impl_->serviceName(service), account, deadline.get(), found, err))
        return {SecretLookup::Status::error, {}, err.reason(impl_->options.timeout)};

    std::string why;
    const auto target = impl_->collectionPath(deadline.get(), &why);
    if (!target) return {SecretLookup::Status::error, {}, why};

    if (!found.unlocked.empty()) {
        // Ours is the item in the target collection; one elsewhere only when there is none there.
        const gchar* best = found.unlocked.paths[0];
        for (gchar** p = found.unlocked.paths; *p; ++p) {
            if (!target->empty() && std::string_view(*p).starts_with(*target + "/")) {
                best = *p;
                break;
            }
        }
        if (!loadValue) return {SecretLookup::Status::found};
        SecretValue* value = secret_service_get_secret_for_dbus_path_sync(impl_->service, best, deadline.get(), err.out());
        if (!value) {
            return {SecretLookup::Status::error, {},
                    err ? err.reason(impl_->options.timeout) : std::string("The Secret Service returned no value.")};
        }
        gsize length = 0;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(secret_value_get(value, &length));
        SecretLookup result{SecretLookup::Status::found, Bytes(bytes, bytes + length)};
        secret_value_unref(value);
        return result;
    }
    if (!found.locked.empty()) return {SecretLookup::Status::locked};
    if (target->empty()) return {SecretLookup::Status::notFound};
    // A locked collection may hide its items from a search: that is not "no item".
    const auto locked = impl_->isLocked(*target, deadline.get(), &why);
    if (!locked) return {SecretLookup::Status::error, {}, why};
    return {*locked ? SecretLookup::Status::locked : SecretLookup::Status::notFound};
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

    // The attributes a schema search matches: ours plus the schema name.
    const std::string s = impl_->serviceName(service), a(account);
    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, variantType("a{ss}"));
    g_variant_builder_add(&attributes, "{ss}", "service", s.c_str());
    g_variant_builder_add(&attributes, "{ss}", "account", a.c_str());
    g_variant_builder_add(&attributes, "{ss}", "xdg:schema", schemaName);
    const std::string label = "Korvel ID: " + s + " " + a;
    GHashTable* properties = g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, unrefVariant);
    g_hash_table_insert(properties, const_cast<gchar*>("org.freedesktop.Secret.Item.Label"),
                        g_variant_ref_sink(g_variant_new_string(label.c_str())));
    g_hash_table_insert(properties, const_cast<gchar*>("org.freedesktop.Secret.Item.Attributes"),
                        g_variant_ref_sink(g_variant_builder_end(&attributes)));
    SecretValue* secret = secret_value_new(reinterpret_cast<const gchar*>(value.data()),
                                           static_cast<gssize>(value.size()), kContentType);
    Error err;
    gchar* item = secret_service_create_item_dbus_path_sync(impl_->service, path->c_str(), properties, secret,
                                                            SECRET_ITEM_CREATE_REPLACE, deadline.get(), err.out());
    secret_value_unref(secret);
    g_hash_table_unref(properties);
    if (!item) {
        if (err.isLocked()) return {SecretWrite::Status::locked, "The keyring is locked."};
        return {SecretWrite::Status::error, err.reason(impl_->options.timeout)};
    }
    g_free(item);
    return {};
}

SecretWrite SecretServiceStore::remove(std::string_view service, std::string_view account) {
    std::lock_guard lock(mutex_);
    Deadline deadline(impl_->options.timeout);
    Search found;
    Error err;
    if (!search(impl_->service, impl_->serviceName(service), account, deadline.get(), found, err))
        return {SecretWrite::Status::error, err.reason(impl_->options.timeout)};
    // All or nothing: a locked copy could not be deleted, so none is.
    if (!found.locked.empty()) return {SecretWrite::Status::locked, "The keyring is locked."};
    for (gchar** p = found.unlocked.paths; p && *p; ++p) {
        Error deleteError;
        if (!secret_service_delete_item_dbus_path_sync(impl_->service, *p, deadline.get(), deleteError.out())) {
            if (deleteError.isLocked()) return {SecretWrite::Status::locked, "The keyring is locked."};
            return {SecretWrite::Status::error, deleteError.reason(impl_->options.timeout)};
        }
    }
    return {};
}
