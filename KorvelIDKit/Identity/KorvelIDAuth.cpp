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
using Method = KorvelIDAuth::Method;
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
// returns its future before anything modal happens. The dialog checks each typed password itself
// and stays open on a wrong one; an entry comes back only once it is right.
QFuture<Entry> promptForEntry(const std::string& reason, PasswordPrompt::Check check) {
    auto promise = startedPromise<Entry>();
    QFuture<Entry> future = promise->future();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [promise, reason, check = std::move(check)] {
            const auto prompt = globals().prompt;
            if (!prompt) {
                Log::auth().error("No password dialog is available in this program.");
                return resolve(promise, Entry{});
            }
            resolve(promise, prompt->ask(reason, check));
        },
        Qt::QueuedConnection);
    return future;
}

// The check of a typed entry: its vault key is derived off the main thread (which is the password
// check: nothing for a wrong password), and kept in `stash` when one is given.
PasswordPrompt::Check keyCheck(std::shared_ptr<OptionalKey> stash) {
    return [stash](std::string password) {
        auto promise = startedPromise<bool>();
        QFuture<bool> future = promise->future();
        Async::whenFinished(MasterPassword::deriveKeyForVaultAsync(std::move(password)),
                            [promise, stash](const QFuture<OptionalKey>& f) {
                                OptionalKey key = Async::valueOr(f, OptionalKey{});
                                const bool ok = key.has_value();
                                if (stash && ok) *stash = std::move(key);
                                resolve(promise, ok);
                            });
        return future;
    };
}

QFuture<Result> promptChecked(const std::string& reason, std::shared_ptr<OptionalKey> stash) {
    auto promise = startedPromise<Result>();
    QFuture<Result> future = promise->future();
    Async::whenFinished(promptForEntry(reason, keyCheck(std::move(stash))), [promise](const QFuture<Entry>& f) {
        resolve(promise, Async::valueOr(f, Entry{}) ? Result::success(Method::password()) : Result::cancelled());
    });
    return future;
}

class VaultBridge final : public VaultAuthenticator {
public:
    QFuture<OptionalKey> promptVaultKey(const std::string& reason) override { return KorvelIDAuth::promptVaultKey(reason); }
    QFuture<KeyedResult> authenticateForVault(const std::string& reason) override {
        return KorvelIDAuth::authenticateForVault(reason);
    }
};

// The password route as the store allows it right now.
QFuture<Result> passwordRoute(const std::string& reason, const char* noPasswordReason, std::shared_ptr<OptionalKey> stash) {
    switch (MasterPassword::state()) {
    case MasterPassword::State::set: return promptChecked(reason, std::move(stash));
    case MasterPassword::State::unavailable: return Async::ready(Result::failed(KorvelIDAuth::keyringLockedReason));
    case MasterPassword::State::notSet: break;
    }
    return Async::ready(Result::failed(noPasswordReason));
}

QFuture<Result> authenticateStashing(const std::string& reason, bool allowPasswordFallback,
                                     std::shared_ptr<OptionalKey> stash) {
    // The password is the only way left, whatever the caller allowed.
    if (!faceEnrolled()) return passwordRoute(reason, KorvelIDAuth::notConfiguredReason, std::move(stash));
    auto promise = startedPromise<Result>();
    QFuture<Result> future = promise->future();
    Async::whenFinished(unlockFace(), [promise, reason, allowPasswordFallback, stash](const QFuture<UnlockResult>& f) {
        const UnlockResult face = Async::valueOr(f, UnlockResult::denied("Cancelled"));
        if (face.kind == UnlockResult::Kind::approved) return resolve(promise, Result::success(Method::face(face.name)));
        if (allowPasswordFallback)
            return forward(passwordRoute(reason, KorvelIDAuth::notRecognizedReason, stash), promise, Result::cancelled());
        resolve(promise, Result::failed(KorvelIDAuth::notRecognizedReason));
    });
    return future;
}

}  // namespace

bool KorvelIDAuth::isConfigured() { return faceEnrolled() || MasterPassword::state() != MasterPassword::State::notSet; }

QFuture<Result> KorvelIDAuth::authenticate(const std::string& reason, bool allowPasswordFallback) {
    return authenticateStashing(reason, allowPasswordFallback, nullptr);
}

QFuture<VaultAuthenticator::KeyedResult> KorvelIDAuth::authenticateForVault(const std::string& reason) {
    using Keyed = VaultAuthenticator::KeyedResult;
    auto stash = std::make_shared<OptionalKey>();
    auto promise = startedPromise<Keyed>();
    QFuture<Keyed> future = promise->future();
    Async::whenFinished(authenticateStashing(reason, true, stash), [promise, stash](const QFuture<Result>& f) {
        Keyed out{Async::valueOr(f, Result::cancelled()), std::nullopt};
        if (out.result.kind == Result::Kind::success && out.result.method.kind == Method::Kind::password)
            out.passwordKey = std::move(*stash);
        resolve(promise, std::move(out));
    });
    return future;
}

QFuture<Result> KorvelIDAuth::promptPassword(const std::string& reason) { return promptChecked(reason, nullptr); }

QFuture<std::optional<SecretString>> KorvelIDAuth::promptPasswordReturningValue(const std::string& reason) {
    return promptForEntry(reason, keyCheck(nullptr));
}

QFuture<std::optional<SymmetricKey>> KorvelIDAuth::promptVaultKey(const std::string& reason) {
    auto stash = std::make_shared<OptionalKey>();
    auto promise = startedPromise<OptionalKey>();
    QFuture<OptionalKey> future = promise->future();
    Async::whenFinished(promptForEntry(reason, keyCheck(stash)), [promise, stash](const QFuture<Entry>& f) {
        resolve(promise, Async::valueOr(f, Entry{}) ? std::move(*stash) : OptionalKey{});
    });
    return future;
}

std::shared_ptr<VaultAuthenticator> KorvelIDAuth::vaultAuthenticator() { return std::make_shared<VaultBridge>(); }

void KorvelIDAuth::setPasswordPrompt(std::shared_ptr<PasswordPrompt> prompt) { globals().prompt = std::move(prompt); }

void KorvelIDAuth::setFace(Face face) { globals().face = std::move(face); }
