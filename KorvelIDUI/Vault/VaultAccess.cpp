#include "Vault/VaultAccess.h"

#include <QCoreApplication>
#include <QPointer>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "Support/Logger.h"
#include "Vault/KorvelIDVault.h"
#include "Vault/OpenedCopies.h"
#include "Vault/SerialWorker.h"

namespace {

struct Holds {
    std::mutex mutex;
    std::condition_variable changed;
    bool shuttingDown = false;
};

Holds& holds() {
    static Holds h;
    return h;
}

struct Gate {
    bool open = false;
};

}  // namespace

namespace VaultAccess {

namespace {
std::unique_ptr<SerialWorker>& theWorker() {
    static std::unique_ptr<SerialWorker> w;
    return w;
}
}  // namespace

OpenedCopies& openedCopies() {
    static OpenedCopies copies;
    return copies;
}

SerialWorker& worker() {
    auto& w = theWorker();
    if (!w) w = std::make_unique<SerialWorker>("com.korvel.id.vault");
    return *w;
}

void exclusive(QObject* context, std::function<void(std::function<void()> release)> start) {
    auto gate = std::make_shared<Gate>();
    auto release = [gate] {
        {
            std::lock_guard lock(holds().mutex);
            gate->open = true;
        }
        holds().changed.notify_all();
    };
    worker().post([gate, release, start = std::move(start), context = QPointer(context)] {
        auto* app = QCoreApplication::instance();
        if (!app) return;
        QMetaObject::invokeMethod(app, [release, start, context] {
            if (!context) return release();
            start(release);
        }, Qt::QueuedConnection);
        std::unique_lock lock(holds().mutex);
        holds().changed.wait(lock, [&] { return gate->open || holds().shuttingDown; });
    });
}

namespace {
// Worker only. Nobody is there to ask: a copy changed by another program, and every other file
// saved beside it, is stored beside its item (deleting it would lose the changes), or as a
// recovered item when the index cannot take it; then the lock deletes every decrypted copy.
void saveChangedCopiesAndLock() {
    auto& copies = openedCopies();
    for (const auto id : copies.changed()) {
        try {
            std::optional<std::filesystem::path> file, last;
            while (KorvelIDVault::isUnlocked() && (file = copies.changes(id)) && file != last) {
                KorvelIDVault::store().addFile(*file, {}, {}, true);
                copies.saved(id, *file);
                last = file;  // a file that could not be deleted is not stored twice
            }
        } catch (const std::exception& e) {
            // Plaintext is never left behind: the lock below deletes it with the rest.
            Log::store().error(std::string("A changed copy could not be saved into the vault before locking it: ") + e.what());
        }
        copies.discard(id);
    }
    KorvelIDVault::lock();
}
}  // namespace

VaultEvents& events() {
    static VaultEvents e;
    return e;
}

void lockForSessionLock() {
    worker().post([] {
        if (!KorvelIDVault::isUnlocked()) return;
        saveChangedCopiesAndLock();
        Log::store().info("The vault was locked with the screen.");
        if (auto* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, [] { Q_EMIT events().lockedBySystem(); }, Qt::QueuedConnection);
    });
}

void shutDown() {
    {
        std::lock_guard lock(holds().mutex);
        holds().shuttingDown = true;
    }
    holds().changed.notify_all();
    worker().post(saveChangedCopiesAndLock);
    // Joined here, before exit: the thread's OpenSSL state is released when the thread ends, and
    // OpenSSL's own clean-up at exit must not find it still running.
    theWorker().reset();
}

}  // namespace VaultAccess
