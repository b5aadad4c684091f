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
    enum class Status { ok, missing, unreadable };
    Status status = Status::missing;
    Bytes data;
    std::string error;  // the system's reason when unreadable

    bool ok() const { return status == Status::ok; }
};

// Reads a whole file. "missing" only when nothing exists at the path.
ReadResult readWholeFile(const fs::path& path);

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
