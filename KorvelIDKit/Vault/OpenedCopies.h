#pragma once
// The decrypted copies the user opened with other programs. Each copy lies alone in its own folder
// of the vault's scratch folder, so that what an editor saves beside it (a "Save As", or the copy
// written anew after it was deleted) is found as well. A copy nobody changed is deleted when its
// time is up; a changed one, or a new file beside it, is never deleted without the user's word:
// it is saved back into the vault (replacing the item or beside it), kept for now, or discarded.
// Thread-safe: the page asks on the main thread, the vault worker saves and deletes.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <vector>

#include "Support/Bytes.h"
#include "VaultStore.h"

class OpenedCopies {
public:
    using Id = std::uint64_t;

    // After VaultStore::openCopy: tracks the copy at `file` (alone in its folder) of `item`.
    Id add(const VaultItem& item, const VaultStore::OpenedCopy& copy);
    std::vector<Id> ids() const;
    std::optional<VaultItem> item(Id id) const;

    // The file holding the user's changes: the copy when its content differs from what was written
    // (or it was written anew after it was deleted), else the newest other file beside it. Editors'
    // own leftovers (names starting with "." or ending with "~") do not count.
    std::optional<std::filesystem::path> changes(Id id) const;

    // The copy's time is up: an unchanged copy is deleted (its folder stays, so that a later save
    // into it is found). False when there are changes, which stay.
    bool expire(Id id);
    // `file` (what changes() gave) is in the vault now: it is deleted, and whatever else the editor
    // saved beside the copy is still to be asked about.
    void saved(Id id, const std::filesystem::path& file);
    // Deletes the copy's folder with everything in it, and forgets it.
    void discard(Id id);

    // Changed copies that were not yet asked about in this state (asked: the user chose "keep for
    // now"; a later change, or another file saved beside it, asks again). `markAsked` records the
    // state the user saw.
    std::vector<Id> unasked() const;
    void markAsked(Id id);

    // Every copy with changes, asked or not (what locking would lose).
    std::vector<Id> changed() const;

private:
    struct FileState {
        ino_t inode = 0;
        off_t size = -1;
        std::int64_t mtimeNs = 0;
        friend bool operator==(const FileState&, const FileState&) = default;
    };
    using FolderState = std::vector<std::pair<std::string, FileState>>;
    struct Entry {
        Id id = 0;
        VaultItem item;
        std::filesystem::path folder, file;
        Bytes digest;
        FileState written;               // the copy as written
        bool copyDeleted = false;        // deleted unchanged at the end of its time
        std::optional<FolderState> asked;  // the folder as it was when the user last answered
        // The last state whose content was hashed, and whether it differed: the watch asks every
        // second, and a large changed copy would be read in full each time.
        mutable std::optional<FileState> hashed;
        mutable bool hashedDiffers = false;
    };
    static std::optional<FileState> stateOf(const std::filesystem::path& path);
    std::optional<std::filesystem::path> changesLocked(const Entry& e) const;
    static FolderState folderState(const Entry& e);
    Entry* find(Id id);
    const Entry* find(Id id) const;

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    Id next_ = 1;
};
