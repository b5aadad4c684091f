#include "Shell/QuitGuard.h"

#include <QFutureWatcher>

#include "Auth/KeyringLockedNotice.h"
#include "Identity/KorvelIDAuth.h"
#include "Identity/MasterPassword.h"
#include "Shell/AppLog.h"
#include "Shell/ShellServices.h"
#include "Support/Async.h"
#include "Support/SecretStore.h"

QuitDecision decideQuit(const QuitFacts& f) {
    if (f.quitAuthorized || f.systemInitiated || !f.hasMasterPassword || !f.hasProtectedApps)
        return QuitDecision::terminateNow;
    return QuitDecision::authenticate;
}

QuitGuard::QuitGuard(std::function<void()> terminate, QObject* parent)
    : QObject(parent), terminate_(std::move(terminate)) {}

QuitFacts QuitGuard::facts() const {
    QuitFacts f;
    f.quitAuthorized = quitAuthorized_;
    f.systemInitiated = systemInitiated_;
    // Cheap answers first: no password read is needed when nothing is protected.
    f.hasProtectedApps = ShellServices::shared().hasProtectedApps();
    // A keyring that cannot answer may well hold a password: quitting would end the app lock.
    f.hasMasterPassword = f.hasProtectedApps && MasterPassword::state() != MasterPassword::State::notSet;
    return f;
}

void QuitGuard::requestQuit() {
    if (decideQuit(facts()) == QuitDecision::terminateNow) return terminate_();
    if (prompting_) return;
    prompting_ = true;
    // The watcher belongs to the guard, so an answer arriving after the guard is gone is dropped.
    using Result = VaultAuthenticator::Result;
    auto* watcher = new QFutureWatcher<Result>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        prompting_ = false;
        const Result result = Async::valueOr(watcher->future(), Result::cancelled());
        if (result.kind == Result::Kind::failed && result.message == KorvelIDAuth::keyringLockedReason)
            KeyringLockedNotice::show();
        if (result.kind != Result::Kind::success) return;
        quitAuthorized_ = true;
        terminate_();
    });
    watcher->setFuture(ShellServices::shared().authenticate(reason, true));
}

void QuitGuard::systemQuit() {
    systemInitiated_ = true;
    AppLog::app().info("Quit requested by the system.");
    terminate_();
}
