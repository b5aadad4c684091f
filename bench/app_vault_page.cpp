// Figures for the vault page: listing 1,000 stored files, and how long the main thread's event
// loop is held up while a large file is added (the work runs on the page's worker thread).
//
//   app_vault_page [--size-mib N] [--dir PATH]     (default 1024 MiB, in the system temp folder)
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "Identity/MasterPassword.h"
#include "Platform/FileSecretStore.h"
#include "Support/SecretStore.h"
#include "Vault/KorvelIDVault.h"
#include "Vault/VaultModel.h"
#include "Vault/VaultView.h"

namespace fs = std::filesystem;

namespace {
bool runUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void writeBigFile(const fs::path& path, std::size_t mib) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + 7);
    for (std::size_t i = 0; i < mib; ++i) std::fwrite(block.data(), 1, block.size(), f);
    std::fclose(f);
}
}  // namespace

int main(int argc, char** argv) {
    std::size_t sizeMiB = 1024;
    fs::path base = fs::temp_directory_path();
    for (int i = 1; i + 1 < argc; ++i) {
        if (!std::strcmp(argv[i], "--size-mib")) sizeMiB = std::stoul(argv[++i]);
        else if (!std::strcmp(argv[i], "--dir")) base = argv[++i];
    }
    QApplication app(argc, argv);
    const fs::path dir = base / ("korvel-vault-page-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    SecretStore::setShared(std::make_shared<FileSecretStore>(dir / "secrets.json"));
    const auto key = MasterPassword::setReturningKey("bench password");
    auto store = std::make_unique<VaultStore>(dir / "Vault");
    store->initialize(*key);
    const std::uint8_t small[64] = {};
    for (int i = 0; i < 1000; ++i) store->addItem("file " + std::to_string(i) + ".txt", small);
    KorvelIDVault::setStore(std::move(store));

    VaultView view;
    view.resize(600, 420);
    QElapsedTimer timer;
    timer.start();
    view.show();  // the page refreshes when shown
    if (!runUntil([&] { return view.model().rowCount() == 1000; }, 30000)) return std::puts("listing timed out"), 1;
    const double listMs = double(timer.nsecsElapsed()) / 1e6;
    timer.restart();
    (void)view.grab();
    const double paintMs = double(timer.nsecsElapsed()) / 1e6;
    std::printf("vault page: 1000 items listed in %.1f ms (refresh to model), first paint %.1f ms\n", listMs, paintMs);

    const fs::path big = dir / "big.bin";
    writeBigFile(big, sizeMiB);
    qint64 last = 0, worstGap = 0;
    QElapsedTimer loop;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = loop.elapsed();
        worstGap = std::max(worstGap, now - last);
        last = now;
    });
    loop.start();
    tick.start();
    view.model().addURLs({QUrl::fromLocalFile(QString::fromStdString(big.string()))});
    runUntil([&] { return view.model().isBusy(); }, 1000);
    if (!runUntil([&] { return !view.model().isBusy(); }, 600000)) return std::puts("adding timed out"), 1;
    const double seconds = double(loop.elapsed()) / 1000.0;
    std::printf("adding %zu MiB: %.2f s (%.0f MB/s); longest main-loop gap %lld ms (timer every 5 ms); error: %s\n",
                sizeMiB, seconds, double(sizeMiB) * 1.048576 / seconds, static_cast<long long>(worstGap),
                view.model().error().isEmpty() ? "none" : view.model().error().toStdString().c_str());
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory: %.1f MiB\n", double(usage.ru_maxrss) / 1024.0);
    KorvelIDVault::setStore(nullptr);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
