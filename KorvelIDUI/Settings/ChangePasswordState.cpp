#include "Settings/ChangePasswordState.h"

#include <QFutureWatcher>
#include <QTimer>

#include "Identity/MasterPassword.h"
#include "Identity/PasswordRules.h"
#include "Support/Async.h"
#include "Vault/VaultAccess.h"

namespace {
// The change re-wraps the vault's key: it holds the vault worker so no add or export runs meanwhile.
QFuture<PasswordChangeResult> changeThroughVaultWorker(QObject* context, std::string oldPassword, std::string newPassword) {
    auto promise = Async::startedPromise<PasswordChangeResult>();
    VaultAccess::exclusive(context, [promise, o = std::move(oldPassword), n = std::move(newPassword)](std::function<void()> release) mutable {
        Async::whenFinished(KorvelIDVault::changeMasterPassword(std::move(o), std::move(n)),
                            [promise, release](const QFuture<PasswordChangeResult>& f) {
                                release();
                                Async::resolve(promise, Async::valueOr(f, PasswordChangeResult::failed));
                            });
    });
    return promise->future();
}
}  // namespace

ChangePasswordState::ChangePasswordState(QObject* parent)
    : QObject(parent), changer_([this](std::string o, std::string n) { return changeThroughVaultWorker(this, std::move(o), std::move(n)); }) {}

const char* ChangePasswordState::messageKey(PasswordChangeResult result) {
    switch (result) {
    case PasswordChangeResult::success: return "";
    case PasswordChangeResult::wrongCurrentPassword: return "changepw.wrongCurrent";
    case PasswordChangeResult::keyringLocked: return "auth.keyringLocked";
    case PasswordChangeResult::failed: return "changepw.failed";
    }
    return "changepw.failed";
}

void ChangePasswordState::attempt() {
    if (working_) return;
    error_.clear();
    if (!PasswordRules::isLongEnough(newPassword.toStdString())) {
        error_ = QStringLiteral("changepw.tooShort");
        return Q_EMIT changed();
    }
    if (newPassword != confirm) {
        error_ = QStringLiteral("changepw.mismatch");
        return Q_EMIT changed();
    }
    working_ = true;
    Q_EMIT changed();
    // A sheet opened anew waits out what is left of the wait after wrong passwords elsewhere.
    if (const auto wait = MasterPassword::retryWait(); wait.count() > 0) QTimer::singleShot(wait, this, [this] { change(); });
    else change();
}

void ChangePasswordState::change() {
    auto* watcher = new QFutureWatcher<PasswordChangeResult>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        const auto result = Async::valueOr(watcher->future(), PasswordChangeResult::failed);
        const auto report = [this, result] {
            working_ = false;
            if (result == PasswordChangeResult::success) {
                Q_EMIT changed();
                return Q_EMIT succeeded();
            }
            error_ = QString::fromLatin1(messageKey(result));
            Q_EMIT changed();
        };
        // A wrong current password waits as on every other prompt, so the sheet is no faster way
        // to guess.
        const auto wait = result == PasswordChangeResult::wrongCurrentPassword ? MasterPassword::retryWait()
                                                                                : std::chrono::milliseconds(0);
        if (wait.count() > 0) QTimer::singleShot(wait, this, report);
        else report();
    });
    watcher->setFuture(changer_(current.toStdString(), newPassword.toStdString()));
}
