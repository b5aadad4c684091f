#include "FuzzSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <stdexcept>
#include <string>
#include <system_error>

#include "Support/FileIO.h"
#include "Vault/VaultCrypto.h"
#include "Vault/VaultStore.h"

namespace Fuzz {
namespace {
SymmetricKey keyOf(std::uint8_t first) {
    std::array<std::uint8_t, SymmetricKey::byteCount> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::uint8_t(first + 7 * i);
    return SymmetricKey(bytes);
}

class ScratchFolder {
public:
    ScratchFolder() {
        std::error_code ec;
        const bool shm = std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0;
        std::string pattern =
            ((shm ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path()) / "korvel-fuzz-XXXXXX")
                .string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a scratch folder");
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};
}  // namespace

SymmetricKey dataKey() { return keyOf(0x11); }
SymmetricKey passwordKey() { return keyOf(0x5a); }

std::span<const std::uint8_t> sealedPlaintext() {
    static constexpr std::uint8_t text[] = "a stored file, small enough for a seed";
    return {text, sizeof text - 1};
}

std::string knownHeaderJson() {
    VaultHeader header;
    header.wrappedByPassword = VaultCrypto::seal(dataKey().bytes(), passwordKey(), VaultCrypto::Nonce{1, 2, 3});
    return header.encode();
}

VaultStore& knownVault() {
    static VaultStore& store = [] () -> VaultStore& {
        const auto dir = scratch() / "Vault";
        std::filesystem::create_directories(dir / VaultStore::blobsFolderName);
        const std::string header = knownHeaderJson();
        writeFile(dir / VaultStore::headerFileName,
                  std::span(reinterpret_cast<const std::uint8_t*>(header.data()), header.size()));
        const Bytes blob = VaultCrypto::seal(sealedPlaintext(), dataKey(), VaultCrypto::Nonce{4, 5, 6});
        writeFile(dir / VaultStore::blobsFolderName / knownBlobName, blob);
        auto* s = new VaultStore(dir);  // lives as long as the process, like the scratch folder's contents
        s->unlock(passwordKey());
        return *s;
    }();
    return store;
}

const std::filesystem::path& scratch() {
    static const ScratchFolder folder;
    return folder.path();
}

void writeFile(const std::filesystem::path& path, std::span<const std::uint8_t> data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw std::runtime_error("cannot write " + path.string());
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) {
            ::close(fd);
            throw std::runtime_error("cannot write " + path.string());
        }
        done += std::size_t(n);
    }
    ::close(fd);
}

Bytes readFile(const std::filesystem::path& path) {
    auto r = readWholeFile(path);
    if (!r.ok()) throw std::runtime_error("cannot read " + path.string());
    return std::move(r.data);
}
}  // namespace Fuzz
