#pragma once
// The secret store of last resort, used only when no Secret Service answers: one owner-only JSON
// file (0600) in an owner-only folder (0700) of the data directory. It is as safe as the user's
// home directory and no safer, which is why the settings warn while it is active.
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Support/FileIO.h"
#include "Support/SecretStore.h"

class FileSecretStore final : public SecretStore {
public:
    static constexpr const char* folderName = "Secrets";
    static constexpr const char* fileName = "secrets.json";

    // <data directory>/Secrets/secrets.json
    static std::filesystem::path defaultPath();

    explicit FileSecretStore(std::filesystem::path file = defaultPath(), FileWriter& writer = FileWriter::system());

    Kind kind() const override { return Kind::file; }
    SecretLookup lookup(std::string_view service, std::string_view account) override;
    SecretLookup exists(std::string_view service, std::string_view account) override;
    SecretWrite store(std::string_view service, std::string_view account, std::span<const std::uint8_t> value) override;
    SecretWrite remove(std::string_view service, std::string_view account) override;

    struct Item {
        std::string service;
        std::string account;
        Bytes value;
        Item() = default;
        Item(const Item&) = default;
        Item(Item&&) = default;
        Item& operator=(const Item&) = default;
        Item& operator=(Item&&) = default;
        ~Item();
    };
    // Every item, in file order; nothing (and `error` set) when the file cannot be read or decoded.
    // A missing file holds no items.
    std::optional<std::vector<Item>> allItems(std::string* error = nullptr);
    // Rewrites the file with exactly these items.
    bool replaceItems(const std::vector<Item>& items);
    bool fileExists() const;
    // Deletes the file (after its items moved elsewhere). True when no file is left.
    bool removeFile();

    const std::filesystem::path& path() const { return path_; }

private:
    struct Loaded;
    Loaded load() const;
    SecretWrite save(const std::vector<Item>& items);

    std::filesystem::path path_;
    FileWriter& writer_;
    std::mutex mutex_;
};
