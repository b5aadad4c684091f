#pragma once
// Whole-file reads and atomic replacement. Every store writes through a FileWriter so tests can
// inject failures at a chosen write.
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

#include "Bytes.h"

namespace fs = std::filesystem;

class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ReadResult {
    enum class Status {
        ok,
        missing,     // nothing exists at the path
        unreadable,  // a link, a folder, a pipe or device, or a read error; `error` says why
        tooLarge,    // bigger than the reader's limit: callers treat it as damaged
    };
    Status status = Status::missing;
    Bytes data;
    std::string error;  // the reason when not ok

    bool ok() const { return status == Status::ok; }
};

struct ReadOptions {
    // Far above any file we write; a bigger one is damaged or hostile (a sparse file, /dev/zero).
    static constexpr std::uint64_t jsonSizeLimit = std::uint64_t(8) << 20;
    std::uint64_t maxBytes = jsonSizeLimit;
    // Files of the data folder are never read through a link; model files may be installed as one.
    bool followLinks = false;
};

// Reads a whole regular file without ever blocking on open (a pipe) and without reading past
// `maxBytes`. The content is read straight into the result, so wiping `data` wipes every copy.
ReadResult readWholeFile(const fs::path& path, const ReadOptions& options = {});

// Deletes what an atomic write leaves behind when the process dies before the rename: hidden files
// ".<name>.XXXXXX" directly inside `folder` (regular files only; links and folders are kept).
// Call at start-up, while holding the data folder's lock. Returns how many were removed.
std::size_t removeAtomicWriteLeftovers(const fs::path& folder);

// Creates `dir` (0700) if missing and narrows it to 0700. Throws FileError when something other
// than a real folder is there (a link could send decrypted files or deletions elsewhere).
void ensurePrivateFolder(const fs::path& dir);

// Deletes everything inside `dir` without following any link: a link inside is removed, never its
// target, and nothing happens when `dir` itself is a link. Errors are ignored.
void removeFolderContents(const fs::path& dir);

// Receives a file's content piece by piece.
using ByteSink = std::function<void(std::span<const std::uint8_t>)>;

class FileWriter {
public:
    virtual ~FileWriter() = default;
    // Replaces `path` atomically: a temporary file in the same folder is written, flushed, given
    // `mode`, renamed over the target, and the folder is flushed. Throws FileError on failure and
    // leaves the old file untouched.
    virtual void writeAtomically(const fs::path& path, std::span<const std::uint8_t> data, mode_t mode = 0600) = 0;

    // The same for content too large to hold in memory: `produce` writes it in pieces to the sink
    // it is given. The temporary file is owner-only from the start. If `produce` (or a write)
    // throws, the temporary file is removed, the target is untouched and the exception passes
    // through, so a producer that detects bad content at the very end leaves nothing behind.
    virtual void streamAtomically(const fs::path& path, const std::function<void(const ByteSink&)>& produce,
                                  mode_t mode = 0600);

    // The writer that touches the real file system.
    static FileWriter& system();
};

// Convenience over FileWriter::system().
void writeFileAtomically(const fs::path& path, std::span<const std::uint8_t> data, mode_t mode = 0600);
inline void writeFileAtomically(const fs::path& path, std::string_view text, mode_t mode = 0600) {
    writeFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), mode);
}

// Flushes a directory's entries to disk (after a rename or unlink inside it).
void syncDirectory(const fs::path& dir);
