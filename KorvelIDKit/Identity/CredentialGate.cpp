#include "Identity/CredentialGate.h"

#include "Identity/KorvelIDAuth.h"
#include "Support/Async.h"

namespace CredentialGate {

namespace {
std::function<QFuture<Outcome>(Change)>& confirmer() {
    static std::function<QFuture<Outcome>(Change)> f;
    return f;
}
}  // namespace

void setConfirmer(std::function<QFuture<Outcome>(Change)> f) { confirmer() = std::move(f); }

Need need(Change change, MasterPassword::State password) {
    if (password == MasterPassword::State::notSet) return Need::nothing;
    return change == Change::addFace ? Need::password : Need::faceOrPassword;
}

QFuture<Outcome> confirm(Change change) {
    if (confirmer()) return confirmer()(change);
    const auto state = MasterPassword::state();
    const Need needed = need(change, state);
    if (needed == Need::nothing) return Async::ready(Outcome::allowed);
    if (needed == Need::password && state == MasterPassword::State::unavailable)
        return Async::ready(Outcome::keyringLocked);
    using Result = KorvelIDAuth::Result;
    const QFuture<Result> asked = needed == Need::password ? KorvelIDAuth::promptPassword(reason(change))
                                                           : KorvelIDAuth::authenticate(reason(change), true);
    auto promise = Async::startedPromise<Outcome>();
    QFuture<Outcome> future = promise->future();
    Async::whenFinished(asked, [promise](const QFuture<Result>& f) {
        const Result r = Async::valueOr(f, Result::cancelled());
        Async::resolve(promise, r.kind == Result::Kind::success ? Outcome::allowed
                                : r.kind == Result::Kind::failed && r.message == KorvelIDAuth::keyringLockedReason
                                    ? Outcome::keyringLocked
                                    : Outcome::refused);
    });
    return future;
}

}  // namespace CredentialGate
