#include "Shell/AppState.h"

#include "Identity/MasterPassword.h"
#include "Shell/ShellServices.h"

namespace {
// A locked keyring is no missing password: onboarding would ask to create one over it.
bool passwordExists() { return MasterPassword::state() != MasterPassword::State::notSet; }
}  // namespace

AppState::AppState(bool onboarded, bool faceEnrolled, QObject* parent)
    : QObject(parent), isOnboarded_(onboarded), isFaceEnrolled_(faceEnrolled) {}

AppState& AppState::shared() {
    static AppState* state = new AppState(passwordExists(), ShellServices::shared().isEnrolled());
    return *state;
}

void AppState::setOnboarded(bool value) {
    if (value == isOnboarded_) return;
    isOnboarded_ = value;
    Q_EMIT isOnboardedChanged(value);
}

void AppState::setFaceEnrolled(bool value) {
    if (value == isFaceEnrolled_) return;
    isFaceEnrolled_ = value;
    Q_EMIT isFaceEnrolledChanged(value);
}

void AppState::setHasTray(bool value) {
    if (value == hasTray_) return;
    hasTray_ = value;
    Q_EMIT hasTrayChanged(value);
}

void AppState::refresh() {
    setFaceEnrolled(ShellServices::shared().isEnrolled());
    setOnboarded(passwordExists());
}
