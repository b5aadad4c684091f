#include "Auth/GatedChange.h"

#include <QPointer>

#include "Auth/KeyringLockedNotice.h"
#include "Support/Async.h"

void whenAllowed(QWidget* owner, CredentialGate::Change change, std::function<void()> apply) {
    using Outcome = CredentialGate::Outcome;
    Async::whenFinished(CredentialGate::confirm(change), [owner = QPointer(owner), apply = std::move(apply)](const QFuture<Outcome>& f) {
        QWidget* alive = owner.data();
        if (!alive) return;
        const Outcome outcome = Async::valueOr(f, Outcome::refused);
        if (outcome == Outcome::keyringLocked) KeyringLockedNotice::show(alive);
        if (outcome == Outcome::allowed) apply();
    });
}
