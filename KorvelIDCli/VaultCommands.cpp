// vault setup | list | add | export | remove: the encrypted vault, unlocked by password or face.
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <utility>

#include "Commands.h"
#include "FaceEngine.h"
#include "Identity/MasterPassword.h"
#include "Localization/Localization.h"
#include "Session.h"
#include "Vault/KorvelIDVault.h"

namespace Cli {
namespace {

VaultStore& vault() { return KorvelIDVault::store(); }

SymmetricKey passwordKey(const Arguments& a) {
    if (!masterPasswordIsSet()) throw Failure("No master password is set; use \"korvel-id-cli password set\".");
    PasswordReader reader(a);
    const SecretString password = reader.read(L("auth.enterMasterPassword"));
    auto key = MasterPassword::deriveKeyForVault(password.str());
    if (!key) throw Failure(L("curtain.incorrectPassword"));
    return std::move(*key);
}

// Opens the vault with the password, or with the device key after a face scan (--face).
void unlock(const Arguments& a) {
    openSecrets();
    if (vault().isDamaged()) throw Failure(VaultStore::damagedHeaderMessage);
    if (!vault().isInitialized()) throw Failure("The vault is not set up; use \"korvel-id-cli vault setup\".");
    try {
        if (a.has("--face")) {
            if (a.has("--password-stdin")) throw UsageError("--face and --password-stdin exclude each other");
            scanForUnlock(a);
            vault().unlockWithDeviceKey();
        } else {
            vault().unlock(passwordKey(a));
        }
    } catch (const UsageError&) {
        throw;
    } catch (const Failure&) {
        throw;
    } catch (const std::exception& e) {
        throw Failure(L("vault.unlockFailed") + " (" + e.what() + ")");
    }
}

VaultItem find(const std::string& itemText) {
    const auto items = vault().items();
    if (const auto id = Uuid::parse(itemText)) {
        for (const auto& i : items)
            if (i.id == *id) return i;
    }
    std::vector<VaultItem> named;
    std::copy_if(items.begin(), items.end(), std::back_inserter(named), [&](const VaultItem& i) { return i.name == itemText; });
    if (named.size() == 1) return named.front();
    if (named.empty()) throw Failure("No vault item has the ID or name \"" + itemText + "\".");
    std::string ids;
    for (const auto& i : named) ids += "\n  " + i.id.toString();
    throw Failure("Several vault items are named \"" + itemText + "\"; give one of their IDs:" + ids);
}

int setup(const Arguments& a) {
    const auto lock = lockDataFolder();
    openSecrets();
    if (vault().isInitialized()) throw Failure("The vault is set up already.");
    try {
        vault().initialize(passwordKey(a));
    } catch (const Failure&) {
        throw;
    } catch (const std::exception& e) {
        throw Failure(e.what());
    }
    vault().lock();
    std::cout << "The vault is set up.\n";
    return Exit::ok;
}

int list(const Arguments& a) {
    const VaultListing listing = vault().listing();
    // An empty list would read as an empty vault; the files are still there.
    if (listing.indexDamaged)
        throw Failure("The vault index is damaged (" + vault().indexURL().string() +
                      "); its files are kept and nothing was changed.");
    const auto& items = listing.items;
    if (!listing.sharedBlobs.empty())
        std::cerr << "korvel-id-cli: warning: " << listing.sharedBlobs.size()
                  << " stored file(s) are named by more than one index entry; removing one entry keeps the file.\n";
    if (a.has("--json")) {
        nlohmann::ordered_json out = nlohmann::ordered_json::array();
        for (const auto& i : items) {
            out.push_back({{"id", i.id.toString()}, {"name", i.name}, {"size", i.byteCount}, {"addedAt", isoDate(i.addedAt)}});
            if (i.recovered) out.back()["recovered"] = true;
        }
        // Names that are not UTF-8 are shown with replacement characters rather than failing the list.
        std::cout << out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
        return Exit::ok;
    }
    if (items.empty()) std::cout << L("vault.noFiles") << "\n";
    for (const auto& i : items)
        std::cout << i.id.toString() << "  " << i.byteCount << "  " << isoDate(i.addedAt) << "  " << printable(i.name) << "\n";
    return Exit::ok;
}

int add(const Arguments& a) {
    const auto lock = lockDataFolder();
    unlock(a);
    int status = Exit::ok;
    for (const auto& file : a.positional) {
        try {
            ProgressBar bar(std::filesystem::path(file).filename().string(), 100);
            const VaultItem item = vault().addFile(file, [&](std::uint64_t done, std::uint64_t total) {
                if (total >= (std::uint64_t(8) << 20)) bar.update(static_cast<std::int64_t>(done * 100 / total));  // large files only
            });
            std::cout << "Added " << printable(item.name) << " (" << item.id.toString() << ")\n";
        } catch (const std::exception& e) {
            std::cerr << "korvel-id-cli: " << file << ": " << e.what() << "\n";
            status = Exit::failed;
        }
    }
    vault().lock();
    return status;
}

// "name.ext", then "name (2).ext", … : `place(candidate)` creates the name exclusively inside the
// open folder and says false when it is taken, so nothing is ever overwritten and nothing lands
// outside it. The index's name becomes a plain file name first ("../x" and "/abs/x" stay inside).
template <class Place>
std::string uniqueName(const std::string& dirText, const std::string& itemName, Place place) {
    const std::string name = VaultIndex::plainFileName(itemName);
    const std::filesystem::path base(name);
    std::string stem = base.stem().string(), ext = base.extension().string();
    if (stem.empty()) stem = name, ext.clear();  // ".profile": all stem
    for (int n = 1; n < 10000; ++n) {
        const std::string candidate = n == 1 ? name : VaultIndex::plainFileName(stem + " (" + std::to_string(n) + ")" + ext);
        if (place(candidate)) return candidate;
        if (errno != EEXIST) throw Failure("Cannot write into " + dirText + ": " + std::strerror(errno));
    }
    throw Failure("Cannot find a free file name in " + dirText + ".");
}

// Decrypted straight into the export: no plaintext copy lies in the data folder meanwhile.
void decryptInto(const VaultItem& item, int fd) {
    vault().decryptTo(item, [fd](std::span<const std::uint8_t> piece) {
        for (std::size_t done = 0; done < piece.size();) {
            const ssize_t w = ::write(fd, piece.data() + done, piece.size() - done);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) throw Failure(std::string("Cannot write the exported file: ") + std::strerror(errno));
            done += static_cast<std::size_t>(w);
        }
    });
    if (::fsync(fd) != 0) throw Failure("Cannot write the exported file.");
}

int exportItem(const Arguments& a) {
    const auto to = a.value("--to");
    if (!to) throw UsageError("--to DIR is required");
    const int dirFd = ::open(to->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) throw Failure(*to + " is not a folder.");
    struct DirCloser {
        int fd;
        ~DirCloser() { ::close(fd); }
    } dirCloser{dirFd};
    const auto lock = lockDataFolder();
    unlock(a);
    const VaultItem item = find(a.positional[0]);
    int fd = -1;
    std::string target;
    const auto discard = [&] {
        if (fd >= 0) ::close(fd);
        if (!target.empty()) ::unlinkat(dirFd, target.c_str(), 0);
        vault().lock();
    };
    try {
        // Written unnamed and named only once complete, so an export cut short (Ctrl-C, a full
        // disk) leaves no partial plaintext under the chosen name. Folders without unnamed files
        // get the name first.
        fd = ::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) {
            decryptInto(item, fd);
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            target = uniqueName(*to, item.name, [&](const std::string& candidate) {
                return ::linkat(AT_FDCWD, self.c_str(), dirFd, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0;
            });
        } else {
            target = uniqueName(*to, item.name, [&](const std::string& candidate) {
                fd = ::openat(dirFd, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
                return fd >= 0;
            });
            decryptInto(item, fd);
        }
        ::close(std::exchange(fd, -1));
    } catch (const Failure&) {
        discard();
        throw;
    } catch (const std::exception& e) {
        discard();
        throw Failure(e.what());
    }
    vault().lock();
    std::cout << printable((std::filesystem::path(*to) / target).string()) << "\n";
    return Exit::ok;
}

int remove(const Arguments& a) {
    const auto lock = lockDataFolder();
    unlock(a);
    const VaultItem item = find(a.positional[0]);
    try {
        vault().removeItem(item);
    } catch (const std::exception& e) {
        vault().lock();
        throw Failure(e.what());
    }
    vault().lock();
    std::cout << "Removed " << printable(item.name) << ".\n";
    return Exit::ok;
}

const char* unlockHelp =
    "  --password-stdin  read the master password from standard input instead of the terminal\n"
    "  --face            unlock with a face scan (the device key) instead of the password\n"
    "  --camera N, --video FILE  the frame source of --face";

}  // namespace

std::vector<Command> vaultCommands() {
    const std::set<std::string> unlockFlags = {"--password-stdin", "--face"};
    const std::set<std::string> sourceOptions = {"--camera", "--video"};
    auto with = [](std::set<std::string> s, const std::string& extra) { s.insert(extra); return s; };
    return {
        {{"vault", "setup"}, "[--password-stdin]", "Set up the encrypted vault under the master password.",
         "  --password-stdin  read the master password from standard input", {"--password-stdin"}, {}, 0, 0, setup},
        {{"vault", "list"}, "[--json]", "List the vault's files, newest first (works while locked).",
         "  --json  id, name, size and addedAt (ISO 8601) of every item", {"--json"}, {}, 0, 0, list},
        {{"vault", "add"}, "FILE... [--password-stdin | --face]", "Encrypt files into the vault.", unlockHelp,
         unlockFlags, sourceOptions, 1, 100000, add},
        {{"vault", "export"}, "ITEM --to DIR [--password-stdin | --face]",
         "Decrypt one item (ID or exact name) into DIR; an existing file is never overwritten.", unlockHelp,
         unlockFlags, with(sourceOptions, "--to"), 1, 1, exportItem},
        {{"vault", "remove"}, "ITEM [--password-stdin | --face]", "Delete one item (ID or exact name) from the vault.",
         unlockHelp, unlockFlags, sourceOptions, 1, 1, remove},
    };
}

}  // namespace Cli
