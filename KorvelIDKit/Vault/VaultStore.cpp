#include "VaultStore.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <system_error>

#include "Identity/MasterPassword.h"
#include "Localization/Localization.h"
#include "Support/AppPaths.h"
#include "Support/Json.h"
#include "Support/Logger.h"
#include "VaultCrypto.h"
#include "VaultKeychain.h"

namespace fs = std::filesystem;

namespace {
// Pieces in which files are sealed and opened: large enough to run the cipher at full speed,
// small enough to keep memory flat for files of any size.
constexpr std::size_t kChunk = std::size_t(1) << 20;

std::span<const std::uint8_t> asBytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string describe(VaultError::Code code, const std::string& message) {
    switch (code) {
    case VaultError::Code::io: return "Storage error: " + message;
    case VaultError::Code::notInitialized: return "The vault is not set up yet.";
    case VaultError::Code::alreadyInitialized: return "The vault is already set up.";
    case VaultError::Code::locked: return "The vault is locked.";
    case VaultError::Code::itemNotFound: return "Item not found.";
    }
    return {};
}

// A plaintext buffer that is wiped when it goes away.
struct WipedBuffer {
    Bytes bytes;
    explicit WipedBuffer(std::size_t size) : bytes(size) {}
    WipedBuffer(const WipedBuffer&) = delete;
    WipedBuffer& operator=(const WipedBuffer&) = delete;
    ~WipedBuffer() { secureWipe(bytes); }
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Reads exactly out.size() bytes at `offset`; false on an error or a short file.
bool readAt(int fd, std::span<std::uint8_t> out, off_t offset) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd, out.data() + done, out.size() - done, offset + off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

// An opened blob: its nonce and tag are read up front, the ciphertext in pieces.
class BlobReader {
public:
    explicit BlobReader(const std::optional<fs::path>& path)
        : fd_(path ? ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW) : -1) {
        if (fd_.get() < 0) throw VaultError::itemNotFound();
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode)) throw VaultError::itemNotFound();
        if (std::uint64_t(st.st_size) < VaultCrypto::overhead) throw CryptoError::corrupted();
        ciphertextLength_ = std::uint64_t(st.st_size) - VaultCrypto::overhead;
        if (!readAt(fd_.get(), nonce_, 0) ||
            !readAt(fd_.get(), tag_, off_t(VaultCrypto::nonceLength + ciphertextLength_)))
            throw VaultError::itemNotFound();
    }

    std::uint64_t ciphertextLength() const { return ciphertextLength_; }

    // Opens the whole ciphertext piece by piece through `buffer`, handing each decrypted piece (not
    // yet authentic) to `piece`, then verifies the tag: CryptoError::corrupted when it does not match.
    void open(const SymmetricKey& key, std::span<std::uint8_t> buffer,
              const std::function<void(std::span<const std::uint8_t>)>& piece) const {
        VaultCrypto::Opener opener(key, nonce_);
        for (std::uint64_t done = 0; done < ciphertextLength_;) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(buffer.size(), ciphertextLength_ - done));
            const auto chunk = buffer.first(n);
            if (!readAt(fd_.get(), chunk, off_t(VaultCrypto::nonceLength + done))) throw VaultError::itemNotFound();
            opener.update(chunk, chunk.data());
            piece(chunk);
            done += n;
        }
        opener.finish(tag_);
    }

    // The same, decrypting in place into `out` (exactly ciphertextLength() bytes).
    void openInto(const SymmetricKey& key, std::span<std::uint8_t> out) const {
        VaultCrypto::Opener opener(key, nonce_);
        for (std::size_t done = 0; done < out.size();) {
            const auto chunk = out.subspan(done, std::min(kChunk, out.size() - done));
            if (!readAt(fd_.get(), chunk, off_t(VaultCrypto::nonceLength + done))) throw VaultError::itemNotFound();
            opener.update(chunk, chunk.data());
            done += chunk.size();
        }
        opener.finish(tag_);
    }

private:
    FileDescriptor fd_;
    std::uint64_t ciphertextLength_ = 0;
    VaultCrypto::Nonce nonce_{};
    VaultCrypto::Tag tag_{};
};

// The text after the name's last ".", if any; never anything that could leave the scratch folder.
std::string pathExtension(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos) return {};
    std::string ext = name.substr(dot + 1);
    if (ext.find('/') != std::string::npos || ext.find('\0') != std::string::npos) return {};
    return ext;
}

bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

FileError tooLargeError(const std::string& name) {
    return FileError("The file “" + name + "” is too large for the vault: the limit is 64 GiB.");
}

// The format has no room to bind a blob to its entry, but every entry records its plaintext size,
// and a blob swapped in from another item almost always has another one.
void checkBelongs(std::uint64_t plaintextBytes, const VaultItem& item) {
    if (plaintextBytes != std::uint64_t(std::max<std::int64_t>(item.byteCount, 0)))
        throw VaultError::io(VaultStore::blobMismatchMessage);
}

[[noreturn]] void throwReadError(const fs::path& path, int err) {
    throw FileError("The file “" + path.filename().string() + "” couldn’t be opened: " + std::strerror(err));
}
}  // namespace

VaultError::VaultError(Code code, std::string message)
    : code_(code), message_(std::move(message)), text_(describe(code_, message_)) {}

// --- JSON -----------------------------------------------------------------------------------------

std::string VaultHeader::encode() const {
    JsonWriter w;
    w.beginObject();
    w.key("version").integer(version);
    if (wrappedByDevice) w.key("wrappedByDevice").bytes(*wrappedByDevice);
    if (wrappedByPassword) w.key("wrappedByPassword").bytes(*wrappedByPassword);
    w.endObject();
    return w.take();
}

VaultHeader VaultHeader::decode(std::span<const std::uint8_t> json) {
    const auto doc = Json::parse(json);
    const auto& obj = Json::requireObject(doc, "header");
    VaultHeader h;
    h.version = Json::toInt(Json::member(obj, "version"), "version");
    if (const auto* v = Json::optionalMember(obj, "wrappedByDevice")) h.wrappedByDevice = Json::toBytes(*v, "wrappedByDevice");
    if (const auto* v = Json::optionalMember(obj, "wrappedByPassword"))
        h.wrappedByPassword = Json::toBytes(*v, "wrappedByPassword");
    return h;
}

namespace VaultIndex {
std::string encode(const std::vector<VaultItem>& items) {
    JsonWriter w;
    w.beginArray();
    for (const auto& item : items) {
        w.beginObject();
        w.key("id").uuid(item.id);
        w.key("name").string(item.name);
        if (!Json::isValidUtf8(item.name)) w.key("nameBytes").bytes(asBytes(item.name));
        w.key("byteCount").integer(item.byteCount);
        w.key("addedAt").date(item.addedAt);
        w.key("blobName").string(item.blobName);
        w.endObject();
    }
    w.endArray();
    return w.take();
}

std::vector<VaultItem> decode(std::span<const std::uint8_t> json) {
    const auto doc = Json::parse(json);
    std::vector<VaultItem> items;
    for (const auto& entry : Json::requireArray(doc, "index")) {
        Json::requireObject(entry, "item");
        VaultItem item;
        item.id = Json::toUuid(Json::member(entry, "id"), "id");
        item.name = Json::toString(Json::member(entry, "name"), "name");
        if (const auto* exact = Json::optionalMember(entry, "nameBytes")) {
            const Bytes raw = Json::toBytes(*exact, "nameBytes");
            item.name.assign(raw.begin(), raw.end());
        }
        item.byteCount = Json::toInt(Json::member(entry, "byteCount"), "byteCount");
        item.addedAt = Json::toDouble(Json::member(entry, "addedAt"), "addedAt");
        item.blobName = Json::toString(Json::member(entry, "blobName"), "blobName");
        items.push_back(std::move(item));
    }
    // Items are found, removed and exported by ID: with one ID twice, a removal would take both
    // entries and an export could write the other one's content.
    std::set<std::array<std::uint8_t, 16>> ids;
    for (const auto& item : items)
        if (!ids.insert(item.id.bytes).second) throw JsonError("The vault index names an item ID twice.");
    return items;
}

std::string plainFileName(const std::string& name) {
    std::string out = name;
    for (char& c : out)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
    constexpr std::size_t nameMax = 255;
    if (out.size() > nameMax) {
        const auto dot = out.rfind('.');
        std::string ext = dot != std::string::npos && out.size() - dot <= 16 ? out.substr(dot) : std::string();
        std::size_t keep = nameMax - ext.size();
        // Cut on a character boundary: never inside a UTF-8 sequence.
        while (keep > 0 && (static_cast<unsigned char>(out[keep]) & 0xC0) == 0x80) --keep;
        out = out.substr(0, keep) + ext;
    }
    // Checked after the cut, which may leave nothing of a name made of continuation bytes.
    if (out.empty() || out == "." || out == "..") return "_";
    return out;
}
}  // namespace VaultIndex

// --- Store ----------------------------------------------------------------------------------------

VaultStore::VaultStore() : VaultStore(AppPaths::supportDirectory() / folderName) {}

VaultStore::VaultStore(fs::path directory, FileWriter& writer)
    : directory_(std::move(directory)),
      headerURL_(directory_ / headerFileName),
      indexURL_(directory_ / indexFileName),
      blobsDir_(directory_ / blobsFolderName),
      writer_(writer) {
    try {
        checkFolders();
    } catch (const FileError&) {
        // Reported by the first operation that needs the folders.
    }
}

// Blobs are written, read and deleted by path: a link in place of either folder would send all of
// that outside the data folder. Also narrows folders made earlier with a wider mode.
void VaultStore::checkFolders() const {
    ensurePrivateFolder(directory_);
    ensurePrivateFolder(blobsDir_);
}

fs::path VaultStore::scratchDir() const {
    const fs::path dir = directory_ / scratchFolderName;
    ensurePrivateFolder(dir);
    return dir;
}

std::optional<VaultHeader> VaultStore::readHeader() const {
    const auto r = readWholeFile(headerURL_);
    if (!r.ok()) return std::nullopt;
    try {
        return VaultHeader::decode(r.data);
    } catch (const JsonError&) {
        return std::nullopt;
    }
}

bool VaultStore::isInitialized() const {
    const auto h = readHeader();
    return h && (h->wrappedByDevice || h->wrappedByPassword);
}

bool VaultStore::isDamaged() const {
    if (readWholeFile(headerURL_).status != ReadResult::Status::missing) return !isInitialized();
    // No header, but an index that lists something (or cannot be read) or stored blobs: the header
    // was lost, and setting up again would empty the index and replace the device key. An empty
    // index alone is what a setup that failed at its header leaves.
    const VaultListing listed = listing();
    return listed.indexDamaged || !listed.items.empty() || !recoveredItems({}).empty();
}

std::vector<VaultItem> VaultStore::items() const { return listing().items; }

VaultListing VaultStore::listing() const {
    VaultListing out;
    const auto r = readWholeFile(indexURL_);
    if (r.status == ReadResult::Status::missing) return out;
    try {
        if (!r.ok()) throw JsonError("unreadable");
        out.items = VaultIndex::decode(r.data);
    } catch (const JsonError&) {
        out.indexDamaged = true;
        return out;
    }
    std::set<std::string> named;
    for (const auto& item : out.items)
        if (!named.insert(item.blobName).second &&
            std::find(out.sharedBlobs.begin(), out.sharedBlobs.end(), item.blobName) == out.sharedBlobs.end())
            out.sharedBlobs.push_back(item.blobName);
    // A stray blob named like a listed item's ID would be listed with that ID, and removing it
    // would take the item's entry: it is not ours to list.
    for (const auto& item : out.items) named.insert(item.id.toString());
    for (auto& item : recoveredItems(named)) out.items.push_back(std::move(item));
    std::stable_sort(out.items.begin(), out.items.end(),
                     [](const VaultItem& a, const VaultItem& b) { return a.addedAt > b.addedAt; });
    return out;
}

// Blobs are only ever named by UUID text; anything else in the folder (a temporary file being
// written, a stray file) is not ours to list.
std::vector<VaultItem> VaultStore::recoveredItems(const std::set<std::string>& named) const {
    std::vector<VaultItem> out;
    try {
        checkFolders();
    } catch (const FileError&) {
        return out;
    }
    std::error_code ec;
    for (fs::directory_iterator it(blobsDir_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const auto id = Uuid::parse(name);
        if (!id || named.count(name) || named.count(id->toString())) continue;
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        VaultItem item;
        item.id = *id;
        item.name = L("vault.recoveredName");
        item.name.replace(item.name.find("%@"), 2, name.substr(0, 8));
        item.byteCount = std::int64_t(std::max<std::uint64_t>(std::uint64_t(st.st_size), VaultCrypto::overhead) - VaultCrypto::overhead);
        item.addedAt = double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9 - Timestamp::unixOffset;
        item.blobName = name;
        item.recovered = true;
        out.push_back(std::move(item));
    }
    return out;
}

std::vector<VaultItem> VaultStore::readIndexForChange() const {
    const auto r = readWholeFile(indexURL_);
    if (r.status == ReadResult::Status::missing) return {};
    if (r.status == ReadResult::Status::tooLarge) throw VaultError::io(indexDamagedMessage);
    if (!r.ok()) throw VaultError::io(indexUnreadableMessage);
    try {
        return VaultIndex::decode(r.data);
    } catch (const JsonError&) {
        throw VaultError::io(indexDamagedMessage);
    }
}

void VaultStore::writeIndex(const std::vector<VaultItem>& items) {
    const std::string text = VaultIndex::encode(items);
    // An index our own reader would call damaged must never be written: every item would be lost
    // to the list until it was repaired by hand.
    if (text.size() > ReadOptions::jsonSizeLimit) throw VaultError::io(indexFullMessage);
    checkFolders();
    writer_.writeAtomically(indexURL_, asBytes(text), 0600);
}

void VaultStore::writeHeader(const VaultHeader& header) {
    checkFolders();
    writer_.writeAtomically(headerURL_, asBytes(header.encode()), 0600);
}

std::optional<fs::path> VaultStore::blobPath(const VaultItem& item) const {
    if (!isPlainFileName(item.blobName)) return std::nullopt;
    checkFolders();
    return blobsDir_ / item.blobName;
}

void VaultStore::initialize(const SymmetricKey& passwordKey) {
    if (isInitialized()) throw VaultError::alreadyInitialized();
    if (isDamaged()) throw VaultError::io(damagedHeaderMessage);
    const SymmetricKey dek = VaultCrypto::makeKey();
    const SymmetricKey kek = VaultCrypto::makeKey();
    if (!VaultKeychain::storeDeviceKEK(kek)) throw VaultError::io(deviceKeyMessage);
    VaultHeader header;
    header.version = 1;
    header.wrappedByDevice = VaultCrypto::wrap(dek, kek);
    header.wrappedByPassword = VaultCrypto::wrap(dek, passwordKey);
    // The index first: the header is what makes the vault "set up", so a failure at either write
    // leaves a vault that is still not set up, never a set-up vault with a stale index.
    writeIndex({});
    writeHeader(header);
    dek_ = std::make_unique<ProtectedKey>(dek);
}

void VaultStore::unlockWithDeviceKey() {
    const auto header = readHeader();
    if (!header || !header->wrappedByDevice) throw VaultError::notInitialized();
    const auto kek = VaultKeychain::loadDeviceKEK();
    if (!kek) throw VaultError::locked();
    try {
        dek_ = std::make_unique<ProtectedKey>(VaultCrypto::unwrap(*header->wrappedByDevice, *kek));
    } catch (const CryptoError&) {
        throw CryptoError::corrupted();
    }
}

void VaultStore::unlock(const SymmetricKey& passwordKey) {
    const auto header = readHeader();
    if (!header || !header->wrappedByPassword) throw VaultError::notInitialized();
    try {
        dek_ = std::make_unique<ProtectedKey>(VaultCrypto::unwrap(*header->wrappedByPassword, passwordKey));
        return;
    } catch (const CryptoError&) {
    }
    if (!mendPasswordCopy(*header, passwordKey)) throw CryptoError::wrongPassword();
}

// A password change replaces the master password first and this copy second, so a crash between the
// two leaves the master password's key unable to open it. A key whose hash is the verifier in force
// is the user's current password key whoever holds it, so the device key's copy gives the DEK and it
// is wrapped anew under that key. Any other key is simply wrong.
bool VaultStore::mendPasswordCopy(VaultHeader header, const SymmetricKey& passwordKey) {
    if (!header.wrappedByDevice || !MasterPassword::isCurrentKey(passwordKey)) return false;
    const auto kek = VaultKeychain::loadDeviceKEK();
    if (!kek) {
        Log::store().error("The vault's password copy does not match the master password and the device key is missing.");
        return false;
    }
    std::optional<SymmetricKey> dek;
    try {
        dek = VaultCrypto::unwrap(*header.wrappedByDevice, *kek);
    } catch (const CryptoError&) {
        Log::store().error("The vault's password copy does not match the master password and the device copy does not open.");
        return false;
    }
    header.wrappedByPassword = VaultCrypto::wrap(*dek, passwordKey);
    try {
        writeHeader(header);
        Log::store().info("The vault's password copy was behind the master password (an interrupted password change); "
                          "it was wrapped anew from the device key.");
    } catch (const std::exception& e) {
        Log::store().error(std::string("The vault's password copy could not be mended; the next unlock tries again: ") +
                           e.what());
    }
    dek_ = std::make_unique<ProtectedKey>(*dek);
    return true;
}

void VaultStore::lock() {
    dek_.reset();
    cleanupScratch();
}

VaultItem VaultStore::addFile(const fs::path& fileURL, const Progress& onProgress, const std::string& name,
                              bool keepUnlisted) {
    // As with a whole-file read, a source that cannot be read fails before anything else.
    // O_NONBLOCK: opening a pipe would otherwise wait for a writer forever.
    FileDescriptor fd(::open(fileURL.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) throwReadError(fileURL, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throwReadError(fileURL, errno);
    if (S_ISDIR(st.st_mode)) throwReadError(fileURL, EISDIR);
    // A pipe or a device (/dev/zero) could stream without end into the vault.
    if (!S_ISREG(st.st_mode))
        throw FileError("The file “" + fileURL.filename().string() + "” couldn’t be opened: it is not a regular file.");
    if (std::uint64_t(st.st_size) > maxItemBytes) throw tooLargeError(fileURL.filename().string());
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    const auto total = std::uint64_t(st.st_size);
    std::uint64_t sealed = 0;
    return addStream(name.empty() ? fileURL.filename().string() : name, [&](std::span<std::uint8_t> out) -> std::size_t {
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::read(fd.get(), out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throwReadError(fileURL, errno);
            if (n == 0) break;
            done += std::size_t(n);
        }
        sealed += done;
        if (onProgress) onProgress(sealed, total);
        return done;
    }, keepUnlisted);
}

VaultItem VaultStore::addItem(const std::string& name, std::span<const std::uint8_t> data) {
    std::size_t offset = 0;
    return addStream(name, [&](std::span<std::uint8_t> out) {
        const std::size_t n = std::min(out.size(), data.size() - offset);
        if (n > 0) std::memcpy(out.data(), data.data() + offset, n);
        offset += n;
        return n;
    });
}

VaultItem VaultStore::addStream(const std::string& name, const Reader& read, bool keepUnlisted) {
    if (!dek_) throw VaultError::locked();
    std::optional<std::vector<VaultItem>> list;
    std::exception_ptr indexFailure;
    try {
        list = readIndexForChange();
    } catch (...) {
        if (!keepUnlisted) throw;
        indexFailure = std::current_exception();
    }
    const std::string blobName = Uuid::random().toString();
    const fs::path blob = blobsDir_ / blobName;

    std::uint64_t byteCount = 0;
    bool sourceFailed = false;
    try {
        checkFolders();
        writer_.streamAtomically(blob, [&](const ByteSink& sink) {
            VaultCrypto::Sealer sealer(dek_->key());
            sink(sealer.nonce());
            WipedBuffer buffer(kChunk);
            for (;;) {
                std::size_t n = 0;
                try {
                    n = read(buffer.bytes);
                } catch (...) {
                    sourceFailed = true;
                    throw;
                }
                if (n == 0) break;
                if (byteCount + n > maxItemBytes) {
                    // The source grew past the cipher's limit while being read.
                    sourceFailed = true;
                    throw tooLargeError(name);
                }
                const auto chunk = std::span(buffer.bytes).first(n);
                sealer.update(chunk, chunk.data());
                sink(chunk);
                byteCount += n;
                if (n < buffer.bytes.size()) break;
            }
            sink(sealer.finish());
        }, 0600);
    } catch (const FileError& e) {
        if (sourceFailed) throw;
        throw VaultError::io(e.what());
    }

    if (indexFailure) std::rethrow_exception(indexFailure);  // the blob stays, as a recovered item
    VaultItem item{Uuid::random(), name, std::int64_t(byteCount), Timestamp::now(), blobName};
    list->push_back(item);
    try {
        writeIndex(*list);
    } catch (...) {
        // The index still lists what it listed; the unlisted blob would only take up space,
        // unless it now holds the only copy.
        std::error_code ec;
        if (!keepUnlisted) fs::remove(blob, ec);
        throw;
    }
    return item;
}

Bytes VaultStore::decryptedData(const VaultItem& item) const {
    if (!dek_) throw VaultError::locked();
    const BlobReader reader(blobPath(item));
    checkBelongs(reader.ciphertextLength(), item);
    // Decrypted straight into the result, so the file is held in memory once.
    Bytes plaintext(std::size_t(reader.ciphertextLength()));
    try {
        reader.openInto(dek_->key(), plaintext);
    } catch (...) {
        secureWipe(plaintext);
        throw;
    }
    return plaintext;
}

void VaultStore::decryptTo(const VaultItem& item, const ByteSink& sink) const {
    if (!dek_) throw VaultError::locked();
    const BlobReader reader(blobPath(item));
    checkBelongs(reader.ciphertextLength(), item);
    WipedBuffer buffer(kChunk);
    reader.open(dek_->key(), buffer.bytes, sink);
}

fs::path VaultStore::exportToTemp(const VaultItem& item) const {
    if (!dek_) throw VaultError::locked();
    std::string fileName = "KorvelID-" + Uuid::random().toString();
    // The whole name is cut to fit a file name; the UUID at its start keeps it unique.
    if (const auto ext = pathExtension(item.name); !ext.empty()) fileName = VaultIndex::plainFileName(fileName + "." + ext);
    const fs::path target = scratchDir() / fileName;
    // The pieces land in the temporary file; it becomes the copy only after the tag verified.
    writer_.streamAtomically(target, [&](const ByteSink& sink) { decryptTo(item, sink); }, 0600);
    ::chmod(target.c_str(), 0600);
    return target;
}

VaultStore::OpenedCopy VaultStore::openCopy(const VaultItem& item) const {
    if (!dek_) throw VaultError::locked();
    const BlobReader reader(blobPath(item));
    checkBelongs(reader.ciphertextLength(), item);
    const fs::path folder = scratchDir() / Uuid::random().toString();
    ensurePrivateFolder(folder);
    OpenedCopy copy{folder / VaultIndex::plainFileName(item.name), Bytes(32)};
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr);
    writer_.streamAtomically(copy.file, [&](const ByteSink& sink) {
        WipedBuffer buffer(kChunk);
        reader.open(dek_->key(), buffer.bytes, [&](std::span<const std::uint8_t> piece) {
            EVP_DigestUpdate(digest.get(), piece.data(), piece.size());
            sink(piece);
        });
    }, 0600);
    unsigned int length = 0;
    EVP_DigestFinal_ex(digest.get(), copy.digest.data(), &length);
    return copy;
}

void VaultStore::removeItem(const VaultItem& item) {
    auto list = readIndexForChange();
    const auto blob = blobPath(item);  // refuses linked folders before the index changes
    std::erase_if(list, [&](const VaultItem& i) { return i.id == item.id; });
    // The index first: if writing it fails, the item stays listed with its blob intact.
    writeIndex(list);
    // Another entry naming the same blob still needs it.
    if (std::any_of(list.begin(), list.end(), [&](const VaultItem& i) { return i.blobName == item.blobName; })) return;
    if (blob) {
        std::error_code ec;
        fs::remove(*blob, ec);
    }
}

void VaultStore::rewrapForNewPassword(const SymmetricKey& newPasswordKey) {
    if (!dek_) throw VaultError::locked();
    auto header = readHeader();
    if (!header) throw VaultError::notInitialized();
    header->wrappedByPassword = VaultCrypto::wrap(dek_->key(), newPasswordKey);
    writeHeader(*header);
}

void VaultStore::cleanupScratch() const {
    // Through a linked vault folder this would empty a folder elsewhere.
    struct stat st {};
    if (::lstat(directory_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    removeFolderContents(directory_ / scratchFolderName);
}

void VaultStore::removeLeftovers() const {
    try {
        checkFolders();
    } catch (const FileError&) {
        return;
    }
    cleanupScratch();
    removeAtomicWriteLeftovers(blobsDir_);
    removeAtomicWriteLeftovers(directory_);
}
