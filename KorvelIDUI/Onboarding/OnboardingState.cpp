#include "Onboarding/OnboardingState.h"

#include <QFutureWatcher>

#include "Identity/MasterPassword.h"
#include "Identity/PasswordRules.h"
#include "Shell/AppState.h"
#include "Support/Async.h"

OnboardingState::OnboardingState(AppState& state, QObject* parent)
    : QObject(parent), state_(state), saver_([](std::string pw) { return MasterPassword::setFirstAsync(std::move(pw)); }) {}

void OnboardingState::setPassword(const QString& text) {
    if (text == password_) return;
    password_ = text;
    Q_EMIT changed();
}

void OnboardingState::setConfirm(const QString& text) {
    if (text == confirm_) return;
    confirm_ = text;
    Q_EMIT changed();
}

bool OnboardingState::canAdvance() const {
    if (saving_) return false;
    if (step_ == Step::master) return !password_.isEmpty() && !confirm_.isEmpty();
    return true;
}

const char* OnboardingState::primaryTitleKey() const {
    switch (step_) {
    case Step::welcome: return "onboard.getStarted";
    case Step::master: return "common.continue";
    case Step::face: return state_.isFaceEnrolled() ? "common.continue" : "onboard.skip";
    case Step::done: return "onboard.openApp";
    }
    return "common.continue";
}

void OnboardingState::setStep(Step step) {
    step_ = step;
    Q_EMIT changed();
}

void OnboardingState::back() {
    if (step_ == Step::master) setStep(Step::welcome);
}

void OnboardingState::advance() {
    if (!canAdvance()) return;
    switch (step_) {
    case Step::welcome: return setStep(Step::master);
    case Step::master: return savePassword();
    case Step::face: return setStep(Step::done);
    case Step::done:
        if (completed_) return;
        completed_ = true;
        Q_EMIT completed();
        return;
    }
}

const char* OnboardingState::validate(const QString& password, const QString& confirm) {
    if (!PasswordRules::isLongEnough(password.toStdString())) return "onboard.tooShort";
    if (password != confirm) return "onboard.mismatch";
    return nullptr;
}

void OnboardingState::savePassword() {
    passwordError_.clear();
    if (const char* error = validate(password_, confirm_)) {
        passwordError_ = QString::fromLatin1(error);
        return Q_EMIT changed();
    }
    saving_ = true;
    Q_EMIT changed();
    auto* watcher = new QFutureWatcher<bool>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        saving_ = false;
        if (!Async::valueOr(watcher->future(), false)) {
            passwordError_ = QStringLiteral("onboard.saveFailed");
            return Q_EMIT changed();
        }
        state_.refresh();
        setStep(Step::face);
    });
    watcher->setFuture(saver_(password_.toStdString()));
}
