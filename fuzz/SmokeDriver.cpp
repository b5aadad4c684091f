// A small stand-in for libFuzzer, so every target also runs as a test under the compilers and
// sanitizers of the normal builds: each seed once, then seeds altered at random until the time is up.
// Usage: fuzz_<name> [--seconds N] [--seed N] corpus-folder-or-file...
// A failing input is saved as "crash-<name>" in the working folder before the program dies.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace {
using Input = std::vector<std::uint8_t>;
constexpr std::size_t kMaxLength = 1 << 16;

// The input being run, for the crash handlers.
const std::uint8_t* volatile g_current = nullptr;
volatile std::size_t g_currentSize = 0;
char g_crashPath[512] = "crash-input";

void saveCurrent() {
    const int fd = ::open(g_crashPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::uint8_t* p = g_current;
    std::size_t left = g_currentSize;
    while (p && left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n <= 0) break;
        p += n;
        left -= std::size_t(n);
    }
    ::close(fd);
    static const char msg[] = "fuzz smoke: the failing input was saved as ";
    (void)!::write(2, msg, sizeof msg - 1);
    (void)!::write(2, g_crashPath, std::strlen(g_crashPath));
    (void)!::write(2, "\n", 1);
}

void onFatalSignal(int sig) {
    saveCurrent();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed ? seed : 0x9e3779b97f4a7c15ull) {}
    std::uint64_t next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545f4914f6cdd1dull;
    }
    std::size_t below(std::size_t n) { return n ? std::size_t(next() % n) : 0; }

private:
    std::uint64_t state_;
};

// Tokens that move a JSON or binary reader onto its rarer paths.
const std::vector<std::string_view> kTokens = {
    "null", "true", "false", "0", "-0", "-1", "1e999", "-1e999", "1e-46", "3.4028236e38", "9223372036854775808",
    "18446744073709551616", "2.5", "\"\"", "[]", "{}", "[", "{", "]", "}", ",", ":", "\"", "\\", "\\u0000",
    "\\ud800", "\\/", "\xc3\x28", "\xff", "AAAA", "====", "\"id\"", "\"name\"", "\"vector\"", "\"paths\"",
    "\"weights\"", "\"shape\"", "\"dtype\"", "\"float32\"", "\"uint8\"", "\"uint16\"", "\"quantization\"",
    "\"value\"", "\"version\"", "\"blobName\"", "\"byteCount\"", "\"../\"", "\"s.bin\"", std::string_view("\0", 1),
    "\x7f\xff\xff\xff", "\x80", "\x8f\xff\xff\xff\xff\xff\xff\xff\xff"};

void mutate(Input& in, Random& rng, const std::vector<Input>& pool) {
    const std::size_t steps = 1 + rng.below(4);
    for (std::size_t s = 0; s < steps; ++s) {
        const std::size_t pos = rng.below(in.size() + 1);
        switch (rng.below(9)) {
        case 0:
            if (!in.empty()) in[rng.below(in.size())] ^= std::uint8_t(1u << rng.below(8));
            break;
        case 1:
            if (!in.empty()) in[rng.below(in.size())] = std::uint8_t(rng.next());
            break;
        case 2: {
            const auto token = kTokens[rng.below(kTokens.size())];
            in.insert(in.begin() + std::ptrdiff_t(pos), token.begin(), token.end());
            break;
        }
        case 3:
            if (pos < in.size()) in.erase(in.begin() + std::ptrdiff_t(pos), in.begin() + std::ptrdiff_t(pos + 1 + rng.below(std::min<std::size_t>(16, in.size() - pos))));
            break;
        case 4:
            if (pos < in.size()) in.resize(pos);
            break;
        case 5: {  // repeat a piece of the input
            if (in.empty()) break;
            const std::size_t from = rng.below(in.size());
            const std::size_t len = 1 + rng.below(std::min<std::size_t>(64, in.size() - from));
            const Input piece(in.begin() + std::ptrdiff_t(from), in.begin() + std::ptrdiff_t(from + len));
            in.insert(in.begin() + std::ptrdiff_t(rng.below(in.size() + 1)), piece.begin(), piece.end());
            break;
        }
        case 6: {  // splice with another seed
            const Input& other = pool[rng.below(pool.size())];
            if (other.empty()) break;
            const std::size_t from = rng.below(other.size());
            in.resize(pos);
            in.insert(in.end(), other.begin() + std::ptrdiff_t(from), other.end());
            break;
        }
        case 7:  // a digit where digits were, or a sign
            if (!in.empty()) in[rng.below(in.size())] = "0123456789-+.eE"[rng.below(15)];
            break;
        default:  // a few random bytes
            for (std::size_t k = 0, n = 1 + rng.below(8); k < n; ++k)
                in.insert(in.begin() + std::ptrdiff_t(pos), std::uint8_t(rng.next()));
            break;
        }
        if (in.size() > kMaxLength) in.resize(kMaxLength);
    }
}

void run(const Input& in) {
    g_current = in.data();
    g_currentSize = in.size();
    LLVMFuzzerTestOneInput(in.data(), in.size());
}

void addSeed(std::vector<Input>& pool, const std::filesystem::path& file) {
    std::ifstream f(file, std::ios::binary);
    Input data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (data.size() <= kMaxLength) pool.push_back(std::move(data));
}
}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    std::uint64_t seed = std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    std::vector<Input> pool;
    const std::string name = std::filesystem::path(argv[0]).filename().string();
    std::snprintf(g_crashPath, sizeof g_crashPath, "crash-%s", name.c_str());
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--seconds" && i + 1 < argc) seconds = std::stod(argv[++i]);
        else if (a == "--seed" && i + 1 < argc) seed = std::stoull(argv[++i]);
        else if (std::filesystem::is_directory(a)) {
            for (const auto& e : std::filesystem::directory_iterator(a))
                if (e.is_regular_file()) addSeed(pool, e.path());
        } else if (std::filesystem::is_regular_file(a)) addSeed(pool, a);
        else {
            std::fprintf(stderr, "%s: no corpus at %s\n", name.c_str(), argv[i]);
            return 2;
        }
    }
    if (pool.empty()) pool.emplace_back();
    for (const int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) std::signal(sig, onFatalSignal);
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_death_callback(saveCurrent);
#endif
    std::printf("%s: %zu seeds, random seed %llu\n", name.c_str(), pool.size(), static_cast<unsigned long long>(seed));
    std::fflush(stdout);

    const auto start = std::chrono::steady_clock::now();
    std::uint64_t executions = 0;
    for (const auto& in : pool) {
        run(in);
        ++executions;
    }
    const std::size_t seeds = pool.size();
    Random rng(seed);
    Input in;
    const auto deadline = start + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        for (int batch = 0; batch < 64; ++batch) {
            in = pool[rng.below(pool.size())];
            mutate(in, rng, pool);
            run(in);
            ++executions;
            // Keep some mutants so that changes pile up; the seeds themselves stay.
            if (pool.size() < 4 * seeds + 256 && rng.below(32) == 0) pool.push_back(in);
            else if (pool.size() > seeds && rng.below(64) == 0) pool[seeds + rng.below(pool.size() - seeds)] = in;
        }
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    g_current = nullptr;
    std::printf("%s: %llu executions in %.1f s, no failure\n", name.c_str(), static_cast<unsigned long long>(executions), took);
    return 0;
}
