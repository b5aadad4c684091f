#pragma once
// The vault on disk, in the folder "Vault" of the data directory:
//   "vault.json"  the header: the data key (DEK) wrapped by the device key and by the password key
//   "index.json"  the plain index of stored files (names, sizes and dates are readable while locked)
//   "blobs/"      one sealed box per item, named by the item's blobName
//   "open/"       owner-only scratch folder (0700) for decrypted copies (0600), emptied at each lock
// Every file is replaced atomically. Large files are sealed and opened in pieces, in the same
// on-disk format, so that adding or exporting never holds a whole file in memory. The DEK is held
// in memory only while unlocked. All calls come from one thread (the main thread).
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "Support/Bytes.h"
#include "Support/FileIO.h"
#include "Support/SymmetricKey.h"

struct VaultHeader {
    std::int64_t version = 1;
    std::optional<Bytes> wrappedByDevice;
    std::optional<Bytes> wrappedByPassword;

    std::string encode() const;
    // Throws JsonError when "version" is missing or anything has the wrong type.
    static VaultHeader decode(std::span<const std::uint8_t> json);
    friend bool operator==(const VaultHeader&, const VaultHeader&) = default;
};

struct VaultItem {
    Uuid id;
    std::string name;            // last path component of the added file, exactly as its bytes
    std::int64_t byteCount = 0;  // plaintext size
    double addedAt = 0;          // seconds since 2001-01-01
    std::string blobName;        // file in "blobs": the text of a second random UUID
    // Not in the index: a blob no entry names (an older index put back, a failed index write),
    // listed so that it is never lost. Its id is its blob's UUID. Never written to the index.
    bool recovered = false;
    friend bool operator==(const VaultItem&, const VaultItem&) = default;
};

namespace VaultIndex {
// A name that is not valid UTF-8 is written readable in "name" (U+FFFD for each invalid sequence)
// and exactly in "nameBytes" (Base64), which the reader prefers.
std::string encode(const std::vector<VaultItem>& items);
// Throws JsonError unless it is an array of complete items.
std::vector<VaultItem> decode(std::span<const std::uint8_t> json);
// An index name as a name for a file of ours: anyone who can write the data folder can write the
// index, so "../x", "/abs/x" or a name with control characters must never become a path. Separators
// and control characters become "_", "." and ".." (and an empty name) become "_", and a name longer
// than a file name may be is shortened, keeping its extension.
std::string plainFileName(const std::string& name);
}  // namespace VaultIndex

class VaultError : public std::exception {
public:
    enum class Code { io, notInitialized, alreadyInitialized, locked, itemNotFound };

    static VaultError io(std::string message) { return VaultError(Code::io, std::move(message)); }
    static VaultError notInitialized() { return VaultError(Code::notInitialized); }
    static VaultError alreadyInitialized() { return VaultError(Code::alreadyInitialized); }
    static VaultError locked() { return VaultError(Code::locked); }
    static VaultError itemNotFound() { return VaultError(Code::itemNotFound); }

    Code code() const { return code_; }
    const std::string& message() const { return message_; }  // the payload of `io`
    // The message shown to the user.
    const std::string& description() const { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }
    friend bool operator==(const VaultError& a, const VaultError& b) {
        return a.code_ == b.code_ && a.message_ == b.message_;
    }

private:
    explicit VaultError(Code code, std::string message = {});
    Code code_;
    std::string message_;
    std::string text_;
};

// What the folder lists, with what is wrong with its index.
struct VaultListing {
    std::vector<VaultItem> items;  // newest first
    // The index exists but cannot be read or decoded: nothing is listed, nothing may be changed.
    bool indexDamaged = false;
    // Blob names that more than one entry names (an index changed by hand or by another program).
    std::vector<std::string> sharedBlobs;
};

class VaultStore {
public:
    static constexpr const char* folderName = "Vault";
    static constexpr const char* headerFileName = "vault.json";
    static constexpr const char* indexFileName = "index.json";
    static constexpr const char* blobsFolderName = "blobs";
    static constexpr const char* scratchFolderName = "open";
    static constexpr const char* indexUnreadableMessage = "Could not read the vault index.";
    static constexpr const char* indexDamagedMessage = "The vault index is damaged. Nothing was changed.";
    static constexpr const char* deviceKeyMessage = "Could not store device key in Keychain.";
    static constexpr const char* indexFullMessage =
        "The vault holds as many files as its index can list. Nothing was changed; remove some files first.";
    static constexpr const char* damagedHeaderMessage =
        "The vault's header (vault.json) is damaged. Nothing was changed; restore it from a backup.";
    static constexpr const char* blobMismatchMessage =
        "The stored file does not match its entry in the vault index (its size differs). Nothing was decrypted.";
    // AES-GCM encrypts at most 2^39 - 256 bits under one nonce.
    static constexpr std::uint64_t maxItemBytes = (std::uint64_t(1) << 36) - 32;

    // The folder "Vault" of the data directory.
    VaultStore();
    // Creates the "blobs" folder (0700); touches nothing else. A new store is always locked.
    explicit VaultStore(std::filesystem::path directory, FileWriter& writer = FileWriter::system());
    VaultStore(const VaultStore&) = delete;
    VaultStore& operator=(const VaultStore&) = delete;

    const std::filesystem::path& directory() const { return directory_; }
    const std::filesystem::path& headerURL() const { return headerURL_; }
    const std::filesystem::path& indexURL() const { return indexURL_; }
    const std::filesystem::path& blobsDir() const { return blobsDir_; }
    // Creates the folder (0700) on every use. Throws FileError when "open" is a link or anything
    // but a real folder: decrypted copies must never land outside the vault's folder.
    std::filesystem::path scratchDir() const;

    // A readable header with at least one wrapped copy.
    bool isInitialized() const;
    // A header is there but is not one (cut, too large, a link or a pipe), or is missing while the
    // index or stored files remain: the vault was set up, and setting it up again would replace the
    // device key that opens its files.
    bool isDamaged() const;
    bool isUnlocked() const { return dek_ != nullptr; }
    // Newest first; items added at the same time keep their order. Empty when the index is
    // missing or damaged. Works while locked.
    std::vector<VaultItem> items() const;
    // The same, saying whether the index is damaged (an empty list is then no empty vault) or
    // names a blob twice, and with every blob no entry names listed as a recovered item.
    VaultListing listing() const;

    // New DEK and device key; the device key goes to the secret store. Unlocked afterwards.
    // Throws VaultError (alreadyInitialized, io), CryptoError, JsonError or FileError.
    void initialize(const SymmetricKey& passwordKey);
    // Throws VaultError::notInitialized, VaultError::locked (no device key), CryptoError::corrupted.
    void unlockWithDeviceKey();
    // Throws VaultError::notInitialized, CryptoError::wrongPassword. A key the master password
    // accepts that does not open the password copy (a password change cut short) opens the vault
    // through the device key, and the password copy is wrapped anew under it.
    void unlock(const SymmetricKey& passwordKey);
    // Forgets the DEK and empties the scratch folder.
    void lock();

    // Seals the file in pieces. A source that cannot be opened or read, is not a regular file or is
    // larger than maxItemBytes throws FileError (a pipe is refused, never waited on); otherwise as
    // addItem.
    // `onProgress` (optional) hears the bytes sealed so far and the file's size after each piece.
    using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;
    // `name` replaces the file's own name in the index (a changed copy saved back keeps its item's).
    // `keepUnlisted` is for a copy about to be deleted with nobody to ask: when the index cannot be
    // read or written, the sealed blob stays (listed as a recovered item) and the call still throws.
    VaultItem addFile(const std::filesystem::path& fileURL, const Progress& onProgress = {}, const std::string& name = {},
                      bool keepUnlisted = false);
    // Throws VaultError (locked, io), CryptoError, FileError.
    VaultItem addItem(const std::string& name, std::span<const std::uint8_t> data);
    // Throws VaultError (locked, itemNotFound), CryptoError::corrupted.
    Bytes decryptedData(const VaultItem& item) const;
    // A blob whose size does not fit the entry's byteCount belongs to another item (blobs swapped
    // in the folder) and throws VaultError::io(blobMismatchMessage) before anything is decrypted.
    // Decrypts into a new 0600 file "KorvelID-<UUID>[.<extension>]" of the scratch folder. The file
    // appears only once the whole blob was verified. Throws as decryptedData, and FileError.
    std::filesystem::path exportToTemp(const VaultItem& item) const;
    // Decrypts into `sink` piece by piece. The pieces are not verified until the call returns: a
    // caller shows nothing under a name before then. Throws as decryptedData.
    void decryptTo(const VaultItem& item, const ByteSink& sink) const;
    struct OpenedCopy {
        std::filesystem::path file;
        Bytes digest;  // SHA-256 of the plaintext written
    };
    // A copy for opening with another program: "<scratch>/<UUID>/<plain file name of the item>",
    // alone in its own folder (0700), the file 0600. Throws as exportToTemp.
    OpenedCopy openCopy(const VaultItem& item) const;
    // Does not need the vault unlocked. The blob stays while another entry still names it.
    // Throws VaultError::io, FileError.
    void removeItem(const VaultItem& item);
    // Replaces the password-wrapped copy; the DEK, blobs, index and device key stay.
    // Throws VaultError (locked, notInitialized), CryptoError, FileError.
    void rewrapForNewPassword(const SymmetricKey& newPasswordKey);
    // Deletes every entry of the scratch folder, never following a link; errors are ignored.
    void cleanupScratch() const;
    // At start-up: decrypted copies and unfinished temporary files left by a process that ended
    // without locking (a crash, a power cut). Nothing tracks them, so they would stay forever.
    void removeLeftovers() const;

private:
    std::optional<VaultHeader> readHeader() const;
    bool mendPasswordCopy(VaultHeader header, const SymmetricKey& passwordKey);
    std::vector<VaultItem> readIndexForChange() const;
    std::vector<VaultItem> recoveredItems(const std::set<std::string>& named) const;
    void writeIndex(const std::vector<VaultItem>& items);
    void writeHeader(const VaultHeader& header);
    // Nothing for a blob name that is not a plain file name (a tampered index).
    // Throws FileError when the vault's or the blobs' folder is a link.
    std::optional<std::filesystem::path> blobPath(const VaultItem& item) const;
    void checkFolders() const;
    using Reader = std::function<std::size_t(std::span<std::uint8_t>)>;
    VaultItem addStream(const std::string& name, const Reader& read, bool keepUnlisted = false);

    std::filesystem::path directory_;
    std::filesystem::path headerURL_;
    std::filesystem::path indexURL_;
    std::filesystem::path blobsDir_;
    FileWriter& writer_;
    std::unique_ptr<ProtectedKey> dek_;
};
