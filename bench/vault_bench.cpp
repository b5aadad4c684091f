// Figures for the master-password derivation and the vault's AES-GCM file path.
//
//   vault_bench [--size-mib N] [--dir PATH] [--no-derive] [--no-files]
//
// Derivation: the production deriveKey against the floor of this machine, 400,002 SHA-256
// compressions (two per HMAC step, plus the two padded key blocks) measured in the same run, and
// two slower ways to compute the same chain for comparison. Files: adding and exporting a file of
// N MiB (default 1024) through VaultStore, throughput in MB/s (10^6 bytes) and the peak resident
// memory of each phase. Compare with `openssl speed -evp aes-256-gcm` (16384-byte blocks).
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Identity/MasterPassword.h"
#include "Platform/FileSecretStore.h"
#include "Support/SecretStore.h"
#include "Vault/VaultCrypto.h"
#include "Vault/VaultStore.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {
double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

struct Stats {
    double best = 0;
    double median = 0;
};

Stats measure(int runs, const std::function<void()>& f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        f();
        t.push_back(msSince(start));
    }
    std::sort(t.begin(), t.end());
    return {t.front(), t[t.size() / 2]};
}

volatile std::uint8_t gSink;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // single compressions exist only here
void floorCompressions(long count) {
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    alignas(16) unsigned char block[64] = {1};
    for (long i = 0; i < count; ++i) {
        SHA256_Transform(&ctx, block);
        std::memcpy(block, ctx.h, 32);  // chained like the real thing: each block depends on the last
    }
    gSink = block[0];
}
#pragma GCC diagnostic pop

// The same chain with EVP: resume from saved padded-key states by copying contexts.
void deriveWithEvpCopies(std::string_view password, std::span<const std::uint8_t> salt) {
    unsigned char k0[64] = {0};
    std::memcpy(k0, salt.data(), salt.size());
    unsigned char pad[64];
    EVP_MD_CTX* inner = EVP_MD_CTX_new();
    EVP_MD_CTX* outer = EVP_MD_CTX_new();
    EVP_MD_CTX* tmp = EVP_MD_CTX_new();
    for (int i = 0; i < 64; ++i) pad[i] = k0[i] ^ 0x36;
    EVP_DigestInit_ex(inner, EVP_sha256(), nullptr);
    EVP_DigestUpdate(inner, pad, 64);
    for (int i = 0; i < 64; ++i) pad[i] = k0[i] ^ 0x5c;
    EVP_DigestInit_ex(outer, EVP_sha256(), nullptr);
    EVP_DigestUpdate(outer, pad, 64);
    unsigned char b[32];
    auto hmac = [&](const unsigned char* msg, std::size_t len) {
        EVP_MD_CTX_copy_ex(tmp, inner);
        EVP_DigestUpdate(tmp, msg, len);
        EVP_DigestFinal_ex(tmp, b, nullptr);
        EVP_MD_CTX_copy_ex(tmp, outer);
        EVP_DigestUpdate(tmp, b, 32);
        EVP_DigestFinal_ex(tmp, b, nullptr);
    };
    hmac(reinterpret_cast<const unsigned char*>(password.data()), password.size());
    for (int i = 0; i < MasterPassword::chainSteps; ++i) hmac(b, 32);
    EVP_MD_CTX_free(inner);
    EVP_MD_CTX_free(outer);
    EVP_MD_CTX_free(tmp);
    gSink = b[0];
}

void deriveWithHmacCalls(std::string_view password, std::span<const std::uint8_t> salt) {
    unsigned char b[32];
    unsigned int len = 0;
    HMAC(EVP_sha256(), salt.data(), int(salt.size()), reinterpret_cast<const unsigned char*>(password.data()),
         password.size(), b, &len);
    for (int i = 0; i < MasterPassword::chainSteps; ++i) HMAC(EVP_sha256(), salt.data(), int(salt.size()), b, 32, b, &len);
    gSink = b[0];
}

void benchDerivation() {
    Bytes salt(32);
    for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = std::uint8_t(i * 7);
    const long compressions = 2L * MasterPassword::chainSteps + 2;
    std::printf("Key derivation (200,001 HMAC-SHA256 steps), best / median of the runs:\n");
    // Interleaved so that frequency changes hit both alike.
    std::vector<double> floorT, deriveT;
    for (int round = 0; round < 15; ++round) {
        floorT.push_back(measure(1, [&] { floorCompressions(compressions); }).best);
        deriveT.push_back(measure(1, [&] { gSink = MasterPassword::deriveKey("correct horse", salt).bytes()[0]; }).best);
    }
    std::sort(floorT.begin(), floorT.end());
    std::sort(deriveT.begin(), deriveT.end());
    const double floorBest = floorT.front(), floorMedian = floorT[floorT.size() / 2];
    const double deriveBest = deriveT.front(), deriveMedian = deriveT[deriveT.size() / 2];
    std::printf("  floor: %ld SHA-256 compressions      %8.2f ms / %8.2f ms\n", compressions, floorBest, floorMedian);
    std::printf("  MasterPassword::deriveKey              %8.2f ms / %8.2f ms   ratio to floor %.3f (median %.3f)\n",
                deriveBest, deriveMedian, deriveBest / floorBest, deriveMedian / floorMedian);
    const auto evp = measure(3, [&] { deriveWithEvpCopies("correct horse", salt); });
    std::printf("  EVP_MD_CTX_copy_ex per step            %8.2f ms / %8.2f ms   ratio %.2f\n", evp.best, evp.median,
                evp.best / floorBest);
    const auto plain = measure(1, [&] { deriveWithHmacCalls("correct horse", salt); });
    std::printf("  one HMAC() call per step               %8.2f ms              ratio %.2f\n", plain.best,
                plain.best / floorBest);
}

// --- Files ------------------------------------------------------------------------------------

long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    }
    return -1;
}

// User plus system CPU time of all threads so far, in ms. `openssl speed` counts user time, so on a
// busy machine this is the figure to compare with it.
double cpuMs() {
    struct rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    auto ms = [](const timeval& t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; };
    return ms(u.ru_utime) + ms(u.ru_stime);
}

// Starts a new peak-RSS measurement (Linux: writing 5 to clear_refs resets VmHWM).
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Writes a file of pseudo-random bytes without holding it in memory.
void makeSource(const fs::path& path, std::uint64_t size) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (std::uint64_t done = 0; done < size;) {
        for (std::size_t i = 0; i + 8 <= block.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(&block[i], &x, 8);
        }
        const std::size_t n = std::size_t(std::min<std::uint64_t>(block.size(), size - done));
        out.write(block.data(), std::streamsize(n));
        done += n;
    }
}

// The same atomic replacement without the flush to disk: what the vault's code path costs when the
// storage is not the limit (the data stays in the page cache).
class PageCacheWriter final : public FileWriter {
public:
    void writeAtomically(const fs::path& path, std::span<const std::uint8_t> data, mode_t mode) override {
        streamAtomically(path, [&](const ByteSink& sink) { sink(data); }, mode);
    }
    void streamAtomically(const fs::path& path, const std::function<void(const ByteSink&)>& produce, mode_t mode) override {
        const fs::path tmp = path.parent_path() / ("." + path.filename().string() + ".bench");
        FILE* f = std::fopen(tmp.c_str(), "wb");
        if (!f) throw FileError("open failed");
        std::setvbuf(f, nullptr, _IONBF, 0);
        try {
            produce([&](std::span<const std::uint8_t> piece) {
                if (std::fwrite(piece.data(), 1, piece.size(), f) != piece.size()) throw FileError("write failed");
            });
        } catch (...) {
            std::fclose(f);
            fs::remove(tmp);
            throw;
        }
        std::fclose(f);
        fs::permissions(tmp, fs::perms(mode));
        fs::rename(tmp, path);
    }
};

// A plain copy through the same writer: the storage floor for adding and exporting.
double copyMs(FileWriter& writer, const fs::path& from, const fs::path& to) {
    const auto start = Clock::now();
    std::ifstream in(from, std::ios::binary);
    std::vector<char> buf(1 << 20);
    writer.streamAtomically(to, [&](const ByteSink& sink) {
        while (in.read(buf.data(), std::streamsize(buf.size())) || in.gcount() > 0)
            sink(std::span(reinterpret_cast<const std::uint8_t*>(buf.data()), std::size_t(in.gcount())));
    });
    const double ms = msSince(start);
    fs::remove(to);
    return ms;
}

double inMemoryGcm(std::size_t blockSize, double seconds) {
    const auto key = VaultCrypto::makeKey();
    std::vector<std::uint8_t> buf(blockSize, 0x5a);
    VaultCrypto::Sealer sealer(key);
    std::uint64_t bytes = 0;
    const auto start = Clock::now();
    while (msSince(start) < seconds * 1000) {
        for (int i = 0; i < 256; ++i) sealer.update(buf, buf.data());
        bytes += 256 * blockSize;
    }
    return double(bytes) / (msSince(start) / 1000) / 1e6;
}

void benchFiles(std::uint64_t sizeMiB, const fs::path& base) {
    const std::uint64_t size = sizeMiB << 20;
    const fs::path dir = base / ("korvel-vault-bench-" + Uuid::random().toString());
    fs::create_directories(dir);
    SecretStore::setShared(std::make_shared<FileSecretStore>(dir / "Secrets" / "secrets.json"));
    std::printf("\nAES-256-GCM in memory through VaultCrypto::Sealer, 16 KiB pieces: %.0f MB/s; 1 MiB pieces: %.0f MB/s\n",
                inMemoryGcm(16384, 1.5), inMemoryGcm(1 << 20, 1.5));

    const fs::path source = dir / "source.bin";
    makeSource(source, size);
    std::printf("Vault file of %llu MiB in %s (the source is in the page cache):\n",
                static_cast<unsigned long long>(sizeMiB), base.c_str());

    PageCacheWriter pageCache;
    struct Mode {
        const char* title;
        FileWriter& writer;
    };
    for (const Mode& mode : {Mode{"durable: atomic replacement flushed to disk (the product's writer)", FileWriter::system()},
                             Mode{"page cache only: the same path without the flush to disk", pageCache}}) {
        std::printf(" %s\n", mode.title);
        const fs::path vaultDir = dir / "Vault";
        fs::remove_all(vaultDir);
        VaultStore store(vaultDir, mode.writer);
        store.initialize(VaultCrypto::makeKey());

        const double floorMs = copyMs(mode.writer, source, dir / "copy.bin");
        std::printf("  plain copy     %8.0f ms  %7.0f MB/s   (no cryptography: the storage floor)\n", floorMs,
                    double(size) / floorMs / 1e3);

        resetPeak();
        double cpu = cpuMs();
        auto start = Clock::now();
        const VaultItem item = store.addFile(source);
        const double addMs = msSince(start);
        const double addCpu = cpuMs() - cpu;
        const long addPeak = statusKiB("VmHWM:");

        resetPeak();
        cpu = cpuMs();
        start = Clock::now();
        const fs::path copy = store.exportToTemp(item);
        const double exportMs = msSince(start);
        const double exportCpu = cpuMs() - cpu;
        const long exportPeak = statusKiB("VmHWM:");

        std::printf("  addFile        %8.0f ms  %7.0f MB/s   peak RSS %6.1f MiB   CPU %6.0f ms (%5.0f MB per CPU second)\n",
                    addMs, double(size) / addMs / 1e3, double(addPeak) / 1024, addCpu, double(size) / addCpu / 1e3);
        std::printf("  exportToTemp   %8.0f ms  %7.0f MB/s   peak RSS %6.1f MiB   CPU %6.0f ms (%5.0f MB per CPU second)\n",
                    exportMs, double(size) / exportMs / 1e3, double(exportPeak) / 1024, exportCpu,
                    double(size) / exportCpu / 1e3);
        if (fs::file_size(store.blobsDir() / item.blobName) != size + 28 || fs::file_size(copy) != size)
            std::printf("  SIZE MISMATCH\n");
        store.lock();
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}
}  // namespace

int main(int argc, char** argv) {
    std::uint64_t sizeMiB = 1024;
    fs::path dir = fs::temp_directory_path();
    bool derive = true, files = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--size-mib" && i + 1 < argc) sizeMiB = std::stoull(argv[++i]);
        else if (a == "--dir" && i + 1 < argc) dir = argv[++i];
        else if (a == "--no-derive") derive = false;
        else if (a == "--no-files") files = false;
        else {
            std::fprintf(stderr, "usage: %s [--size-mib N] [--dir PATH] [--no-derive] [--no-files]\n", argv[0]);
            return 2;
        }
    }
    if (derive) benchDerivation();
    if (files) benchFiles(sizeMiB, dir);
    return 0;
}
