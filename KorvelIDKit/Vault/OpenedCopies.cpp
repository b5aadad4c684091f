#include "OpenedCopies.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "Support/FileIO.h"
#include "Support/SymmetricKey.h"

namespace fs = std::filesystem;

namespace {
// Names editors give their own swap, lock and backup files.
bool isEditorLeftover(const std::string& name) { return name.empty() || name.front() == '.' || name.back() == '~'; }

// SHA-256 of a file read without following a link; nothing when it cannot be read.
std::optional<Bytes> digestOf(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    std::vector<std::uint8_t> buffer(1 << 16);
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        EVP_DigestUpdate(ctx, buffer.data(), std::size_t(n));
    }
    ::close(fd);
    Bytes out(32);
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, out.data(), &length);
    EVP_MD_CTX_free(ctx);
    secureWipe(buffer.data(), buffer.size());
    if (!ok) return std::nullopt;
    return out;
}
}  // namespace

std::optional<OpenedCopies::FileState> OpenedCopies::stateOf(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return FileState{st.st_ino, st.st_size, std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

OpenedCopies::Id OpenedCopies::add(const VaultItem& item, const VaultStore::OpenedCopy& copy) {
    std::lock_guard lock(mutex_);
    Entry e;
    e.id = next_++;
    e.item = item;
    e.file = copy.file;
    e.folder = copy.file.parent_path();
    e.digest = copy.digest;
    e.written = stateOf(copy.file).value_or(FileState{});
    entries_.push_back(std::move(e));
    return entries_.back().id;
}

std::vector<OpenedCopies::Id> OpenedCopies::ids() const {
    std::lock_guard lock(mutex_);
    std::vector<Id> out;
    for (const auto& e : entries_) out.push_back(e.id);
    return out;
}

OpenedCopies::Entry* OpenedCopies::find(Id id) {
    const auto it = std::find_if(entries_.begin(), entries_.end(), [id](const Entry& e) { return e.id == id; });
    return it == entries_.end() ? nullptr : &*it;
}

const OpenedCopies::Entry* OpenedCopies::find(Id id) const { return const_cast<OpenedCopies*>(this)->find(id); }

std::optional<VaultItem> OpenedCopies::item(Id id) const {
    std::lock_guard lock(mutex_);
    const Entry* e = find(id);
    return e ? std::optional<VaultItem>(e->item) : std::nullopt;
}

std::optional<fs::path> OpenedCopies::changesLocked(const Entry& e) const {
    if (const auto now = stateOf(e.file)) {
        if (!e.copyDeleted && *now != e.written && e.hashed != now) {
            e.hashedDiffers = digestOf(e.file) != std::optional<Bytes>(e.digest);
            e.hashed = now;
        }
        if (e.copyDeleted || (*now != e.written && e.hashedDiffers)) return e.file;
    }
    std::optional<fs::path> newest;
    std::int64_t newestTime = 0;
    std::error_code ec;
    for (fs::directory_iterator it(e.folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path p = it->path();
        if (p == e.file || isEditorLeftover(p.filename().string())) continue;
        const auto s = stateOf(p);
        if (s && (!newest || s->mtimeNs > newestTime)) newest = p, newestTime = s->mtimeNs;
    }
    return newest;
}

std::optional<fs::path> OpenedCopies::changes(Id id) const {
    std::lock_guard lock(mutex_);
    const Entry* e = find(id);
    return e ? changesLocked(*e) : std::nullopt;
}

bool OpenedCopies::expire(Id id) {
    std::lock_guard lock(mutex_);
    Entry* e = find(id);
    if (!e) return true;
    if (changesLocked(*e)) return false;
    if (!e->copyDeleted) {
        ::unlink(e->file.c_str());
        e->copyDeleted = true;
    }
    return true;
}

void OpenedCopies::saved(Id id, const fs::path& file) {
    std::lock_guard lock(mutex_);
    Entry* e = find(id);
    if (!e || file.parent_path() != e->folder) return;
    ::unlink(file.c_str());
    if (file == e->file) e->copyDeleted = true;
    e->asked.reset();
}

OpenedCopies::FolderState OpenedCopies::folderState(const Entry& e) {
    FolderState out;
    std::error_code ec;
    for (fs::directory_iterator it(e.folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (isEditorLeftover(name)) continue;
        if (const auto s = stateOf(it->path())) out.emplace_back(name, *s);
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

void OpenedCopies::discard(Id id) {
    std::lock_guard lock(mutex_);
    Entry* e = find(id);
    if (!e) return;
    removeFolderContents(e->folder);
    ::rmdir(e->folder.c_str());
    std::erase_if(entries_, [id](const Entry& x) { return x.id == id; });
}

std::vector<OpenedCopies::Id> OpenedCopies::unasked() const {
    std::lock_guard lock(mutex_);
    std::vector<Id> out;
    for (const auto& e : entries_) {
        const auto file = changesLocked(e);
        if (file && (!e.asked || folderState(e) != *e.asked)) out.push_back(e.id);
    }
    return out;
}

void OpenedCopies::markAsked(Id id) {
    std::lock_guard lock(mutex_);
    Entry* e = find(id);
    if (!e) return;
    e->asked = folderState(*e);
}

std::vector<OpenedCopies::Id> OpenedCopies::changed() const {
    std::lock_guard lock(mutex_);
    std::vector<Id> out;
    for (const auto& e : entries_)
        if (changesLocked(e)) out.push_back(e.id);
    return out;
}
