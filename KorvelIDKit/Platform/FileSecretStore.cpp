#include "FileSecretStore.h"

#include <sys/stat.h>

#include <system_error>

#include "Support/AppPaths.h"
#include "Support/Json.h"
#include "Support/SymmetricKey.h"

namespace {
constexpr const char* kDamaged = "The secret file is damaged.";

std::string encodeItems(const std::vector<FileSecretStore::Item>& items) {
    JsonWriter w;
    w.beginArray();
    for (const auto& item : items) {
        w.beginObject();
        w.key("service").string(item.service);
        w.key("account").string(item.account);
        w.key("value").bytes(item.value);
        w.endObject();
    }
    w.endArray();
    return w.take();
}

// Owner-only folder; one we made earlier with wider permissions is narrowed again.
void ensurePrivateFolder(const std::filesystem::path& dir) {
    AppPaths::ensureDirectory(dir);
    ::chmod(dir.c_str(), 0700);
}
}  // namespace

FileSecretStore::Item::~Item() { secureWipe(value); }

struct FileSecretStore::Loaded {
    enum class Status { ok, unreadable, damaged } status = Status::ok;
    std::vector<Item> items;
    std::string reason;
};

std::filesystem::path FileSecretStore::defaultPath() {
    return AppPaths::supportDirectory() / folderName / fileName;
}

FileSecretStore::FileSecretStore(std::filesystem::path file, FileWriter& writer)
    : path_(std::move(file)), writer_(writer) {}

FileSecretStore::Loaded FileSecretStore::load() const {
    Loaded loaded;
    auto r = readWholeFile(path_);
    if (r.status == ReadResult::Status::missing) return loaded;
    if (!r.ok()) {
        loaded.status = Loaded::Status::unreadable;
        loaded.reason = "The secret file could not be read: " + r.error;
        return loaded;
    }
    try {
        const auto doc = Json::parse(r.data);
        for (const auto& entry : Json::requireArray(doc, "items")) {
            Json::requireObject(entry, "item");
            Item item;
            item.service = Json::toString(Json::member(entry, "service"), "service");
            item.account = Json::toString(Json::member(entry, "account"), "account");
            item.value = Json::toBytes(Json::member(entry, "value"), "value");
            loaded.items.push_back(std::move(item));
        }
    } catch (const JsonError&) {
        loaded.items.clear();
        loaded.status = Loaded::Status::damaged;
        loaded.reason = kDamaged;
    }
    secureWipe(r.data);
    return loaded;
}

SecretWrite FileSecretStore::save(const std::vector<Item>& items) {
    ensurePrivateFolder(path_.parent_path());
    std::string text = encodeItems(items);
    SecretWrite result;
    try {
        writer_.writeAtomically(path_, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0600);
    } catch (const FileError& e) {
        result = {SecretWrite::Status::error, e.what()};
    }
    secureWipe(text);
    return result;
}

SecretLookup FileSecretStore::lookup(std::string_view service, std::string_view account) {
    std::lock_guard lock(mutex_);
    auto loaded = load();
    if (loaded.status != Loaded::Status::ok) return {SecretLookup::Status::error, {}, loaded.reason};
    for (auto& item : loaded.items) {
        if (item.service == service && item.account == account)
            return {SecretLookup::Status::found, item.value};
    }
    return {SecretLookup::Status::notFound};
}

SecretLookup FileSecretStore::exists(std::string_view service, std::string_view account) {
    auto r = lookup(service, account);
    secureWipe(r.value);
    return r;
}

SecretWrite FileSecretStore::store(std::string_view service, std::string_view account,
                                   std::span<const std::uint8_t> value) {
    std::lock_guard lock(mutex_);
    auto loaded = load();
    // A file we cannot read is never replaced: it may hold the only copy of other secrets.
    if (loaded.status != Loaded::Status::ok) return {SecretWrite::Status::error, loaded.reason};
    bool replaced = false;
    for (auto& item : loaded.items) {
        if (item.service == service && item.account == account) {
            secureWipe(item.value);
            item.value.assign(value.begin(), value.end());
            replaced = true;
        }
    }
    if (!replaced) {
        Item item;
        item.service = std::string(service);
        item.account = std::string(account);
        item.value.assign(value.begin(), value.end());
        loaded.items.push_back(std::move(item));
    }
    return save(loaded.items);
}

SecretWrite FileSecretStore::remove(std::string_view service, std::string_view account) {
    std::lock_guard lock(mutex_);
    auto loaded = load();
    if (loaded.status != Loaded::Status::ok) return {SecretWrite::Status::error, loaded.reason};
    const auto before = loaded.items.size();
    std::erase_if(loaded.items, [&](const Item& i) { return i.service == service && i.account == account; });
    if (loaded.items.size() == before) return {};
    return save(loaded.items);
}

std::optional<std::vector<FileSecretStore::Item>> FileSecretStore::allItems(std::string* error) {
    std::lock_guard lock(mutex_);
    auto loaded = load();
    if (loaded.status != Loaded::Status::ok) {
        if (error) *error = loaded.reason;
        return std::nullopt;
    }
    return std::move(loaded.items);
}

bool FileSecretStore::fileExists() const {
    std::error_code ec;
    return std::filesystem::exists(path_, ec);
}

bool FileSecretStore::removeFile() {
    std::lock_guard lock(mutex_);
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    syncDirectory(path_.parent_path());
    return !std::filesystem::exists(path_, ec);
}
