#include "Identity/KorvelIDAuth.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPromise>

#include <utility>

#include "Identity/KorvelID.h"
#include "Identity/MasterPassword.h"
#include "Support/Async.h"
#include "Support/Logger.h"

namespace {

using Result = KorvelIDAuth::Result;
using Entry = std::optional<SecretString>;
using OptionalKey = std::optional<SymmetricKey>;

struct Globals {
    std::shared_ptr<PasswordPrompt> prompt;
    KorvelIDAuth::Face face;
};

Globals& globals() {
    static Globals g;
    return g;
}

bool faceEnrolled() {
    const auto& face = globals().face;
    return face.isEnrolled ? face.isEnrolled() : KorvelID::isEnrolled();
}

QFuture<UnlockResult> unlockFace() {
    const auto& face = globals().face;
    return face.unlock ? face.unlock() : KorvelID::unlock(true);
}

using Async::resolve;
using Async::startedPromise;

// Hands the outcome of `from` on to `to` once it is there.
template <typename T>
void forward(QFuture<T> from, std::shared_ptr<QPromise<T>> to, T fallback) {
    Async::whenFinished(from, [to, fallback = std::move(fallback)](const QFuture<T>& f) {
        resolve(to, Async::valueOr(f, fallback));
    });
}

// The dialog, run from the event loop rather than inside the caller's call, so every operation
// returns its future before anything modal happens.
QFuture<Entry> promptForEntry(const std::string& reason) {
    auto promise = startedPromise<Entry>();
    QFuture<Entry> future = promise->future();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [promise, reason] {
            const auto prompt = globals().prompt;
            if (!prompt) {
                Log::auth().error("No password dialog is available in this program.");
                return resolve(promise, Entry{});
            }
            resolve(promise, prompt->ask(reason));
        },
        Qt::QueuedConnection);
    return future;
}

// A copy for the worker: the pool thread's copy is wiped when the derivation is done.
std::string copyForWorker(const SecretString& entry) { return entry.str(); }

// The password check of a typed entry, then `onChecked(ok)` on the main thread.
template <typename Handler>
void verifyOffMain(const SecretString& entry, Handler onChecked) {
    Async::whenFinished(MasterPassword::verifyAsync(copyForWorker(entry)),
                        [onChecked = std::move(onChecked)](const QFuture<bool>& f) mutable {
                            onChecked(Async::valueOr(f, false));
                        });
}

class VaultBridge final : public VaultAuthenticator {
public:
    QFuture<OptionalKey> promptVaultKey(const std::string& reason) override { return KorvelIDAuth::promptVaultKey(reason); }
    QFuture<Result> authenticate(const std::string& reason, bool allowPasswordFallback) override {
        return KorvelIDAuth::authenticate(reason, allowPasswordFallback);
    }
};

}  // namespace

bool KorvelIDAuth::isConfigured() { return faceEnrolled() || MasterPassword::isSet(); }

QFuture<Result> KorvelIDAuth::authenticate(const std::string& reason, bool allowPasswordFallback) {
    if (!faceEnrolled()) {
        // The password is the only way left, whatever the caller allowed.
        if (MasterPassword::isSet()) return promptPassword(reason);
        return Async::ready(Result::failed(notConfiguredReason));
    }
    auto promise = startedPromise<Result>();
    QFuture<Result> future = promise->future();
    Async::whenFinished(unlockFace(), [promise, reason, allowPasswordFallback](const QFuture<UnlockResult>& f) {
        const UnlockResult face = Async::valueOr(f, UnlockResult::denied("Cancelled"));
        if (face.kind == UnlockResult::Kind::approved) return resolve(promise, Result::success(Method::face(face.name)));
        if (allowPasswordFallback && MasterPassword::isSet())
            return forward(promptPassword(reason), promise, Result::cancelled());
        resolve(promise, Result::failed(notRecognizedReason));
    });
    return future;
}

QFuture<Result> KorvelIDAuth::promptPassword(const std::string& reason) {
    auto promise = startedPromise<Result>();
    QFuture<Result> future = promise->future();
    Async::whenFinished(promptForEntry(reason), [promise](const QFuture<Entry>& f) {
        const Entry entry = Async::valueOr(f, Entry{});
        if (!entry) return resolve(promise, Result::cancelled());
        verifyOffMain(*entry, [promise](bool ok) {
            resolve(promise, ok ? Result::success(Method::password()) : Result::cancelled());
        });
    });
    return future;
}

QFuture<std::optional<SecretString>> KorvelIDAuth::promptPasswordReturningValue(const std::string& reason) {
    auto promise = startedPromise<Entry>();
    QFuture<Entry> future = promise->future();
    Async::whenFinished(promptForEntry(reason), [promise](const QFuture<Entry>& f) {
        Entry entry = Async::valueOr(f, Entry{});
        if (!entry) return resolve(promise, Entry{});
        const SecretString typed = *entry;
        verifyOffMain(typed, [promise, typed](bool ok) { resolve(promise, ok ? Entry(typed) : Entry{}); });
    });
    return future;
}

QFuture<std::optional<SymmetricKey>> KorvelIDAuth::promptVaultKey(const std::string& reason) {
    auto promise = startedPromise<OptionalKey>();
    QFuture<OptionalKey> future = promise->future();
    Async::whenFinished(promptForEntry(reason), [promise](const QFuture<Entry>& f) {
        const Entry entry = Async::valueOr(f, Entry{});
        if (!entry) return resolve(promise, OptionalKey{});
        forward(MasterPassword::deriveKeyForVaultAsync(copyForWorker(*entry)), promise, OptionalKey{});
    });
    return future;
}

std::shared_ptr<VaultAuthenticator> KorvelIDAuth::vaultAuthenticator() { return std::make_shared<VaultBridge>(); }

void KorvelIDAuth::setPasswordPrompt(std::shared_ptr<PasswordPrompt> prompt) { globals().prompt = std::move(prompt); }

void KorvelIDAuth::setFace(Face face) { globals().face = std::move(face); }
