#include "FileSecretStore.h"

#include <sys/stat.h>

#include <map>
#include <system_error>

#include "Support/AppPaths.h"
#include "Support/Json.h"
#include "Support/SymmetricKey.h"

namespace {
constexpr const char* kDamaged = "The secret file is damaged.";

// Every string of a parse (the parser's token buffer included) is wiped when it is freed, so the
// Base64 text of the values leaves no copy behind.
using WipedString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
using SecretJson = nlohmann::basic_json<std::map, std::vector, WipedString, bool, std::int64_t, std::uint64_t, double,
                                        WipingAllocator>;

const SecretJson& member(const SecretJson& object, const char* key) {
    if (!object.is_object()) throw JsonError("Expected an object for an item.");
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) throw JsonError(std::string("Expected a string for \"") + key + "\".");
    return *it;
}

std::string textOf(const SecretJson& object, const char* key) {
    const auto& text = member(object, key).get_ref<const WipedString&>();
    return std::string(text.begin(), text.end());
}

Bytes valueOf(const SecretJson& object) {
    const auto& text = member(object, "value").get_ref<const WipedString&>();
    auto value = Base64::decode(std::string_view(text.data(), text.size()));
    if (!value) throw JsonError("Invalid Base64 data for \"value\".");
    return std::move(*value);
}

std::string encodeItems(const std::vector<FileSecretStore::Item>& items) {
    // Sized up front: a reallocation would leave an unwiped copy of the text written so far.
    std::size_t capacity = 2;
    for (const auto& item : items) capacity += 6 * (item.service.size() + item.account.size()) + 2 * ((item.value.size() + 2) / 3 * 4) + 64;
    JsonWriter w;
    w.reserve(capacity);
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
    if (r.status == ReadResult::Status::tooLarge) {
        loaded.status = Loaded::Status::damaged;
        loaded.reason = kDamaged;
        return loaded;
    }
    if (!r.ok()) {
        loaded.status = Loaded::Status::unreadable;
        loaded.reason = "The secret file could not be read: " + r.error;
        return loaded;
    }
    try {
        const auto doc = SecretJson::parse(r.data.begin(), r.data.end());
        if (!doc.is_array()) throw JsonError("Expected an array of items.");
        for (const auto& entry : doc) {
            Item item;
            item.service = textOf(entry, "service");
            item.account = textOf(entry, "account");
            item.value = valueOf(entry);
            loaded.items.push_back(std::move(item));
        }
    } catch (const std::exception&) {
        loaded.items.clear();
        loaded.status = Loaded::Status::damaged;
        loaded.reason = kDamaged;
    }
    secureWipe(r.data);
    return loaded;
}

SecretWrite FileSecretStore::save(const std::vector<Item>& items) {
    std::string text = encodeItems(items);
    SecretWrite result;
    try {
        // Owner-only folder; one made earlier with wider permissions is narrowed again.
        ensurePrivateFolder(path_.parent_path());
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

bool FileSecretStore::replaceItems(const std::vector<Item>& items) {
    std::lock_guard lock(mutex_);
    return save(items).ok();
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
