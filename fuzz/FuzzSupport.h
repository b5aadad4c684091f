#pragma once
// What the fuzz targets, the seed maker and the smoke driver share: the fixed keys and blob name of
// the small vault the targets open, a private scratch folder per process, and file helpers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "Support/Bytes.h"
#include "Support/SymmetricKey.h"

class VaultStore;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace Fuzz {
// Known keys, so that seeds written by the seed maker open in the targets.
SymmetricKey dataKey();
SymmetricKey passwordKey();
// The blob the index seeds point at; it holds sealedPlaintext() under dataKey().
inline constexpr const char* knownBlobName = "0F0F0F0F-0000-4000-8000-00000000B10B";
std::span<const std::uint8_t> sealedPlaintext();
// A vault in the scratch folder, set up with those keys, holding that blob and unlocked.
VaultStore& knownVault();
// The header that knownVault() writes, as its file holds it.
std::string knownHeaderJson();

// An owner-only folder for this process (on /dev/shm when it can), removed at exit.
const std::filesystem::path& scratch();
void writeFile(const std::filesystem::path& path, std::span<const std::uint8_t> data);
Bytes readFile(const std::filesystem::path& path);

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A broken property: the target stops the run, so the input is kept as a crash.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz property violated: %s\n", what);
    std::abort();
}
inline void check(bool ok, const char* what) {
    if (!ok) fail(what);
}
}  // namespace Fuzz
