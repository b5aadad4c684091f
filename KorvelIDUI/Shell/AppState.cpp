#include "Shell/AppState.h"

#include "Identity/MasterPassword.h"
#include "Shell/ShellServices.h"

AppState::AppState(bool onboarded, bool faceEnrolled, QObject* parent)
    : QObject(parent), isOnboarded_(onboarded), isFaceEnrolled_(faceEnrolled) {}

AppState& AppState::shared() {
    static AppState* state = new AppState(MasterPassword::isSet(), ShellServices::shared().isEnrolled());
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

void AppState::refresh() {
    setFaceEnrolled(ShellServices::shared().isEnrolled());
    setOnboarded(MasterPassword::isSet());
}
