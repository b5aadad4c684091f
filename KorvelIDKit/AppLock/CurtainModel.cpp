#include "AppLock/CurtainModel.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <memory>
#include <string_view>
#include <utility>

#include "Identity/MasterPassword.h"
#include "Localization/Localization.h"

namespace {
// Wraps a result handler so that it can be called from any thread: the first call is carried to
// the main thread (always later, never inside the caller's own call) and reaches the model only
// if it still exists; further calls are ignored, so a check that answers twice cannot end a later
// password check early.
template <typename T, typename Handler>
std::function<void(T)> deliverOnce(CurtainModel* model, Handler handler) {
    auto called = std::make_shared<std::atomic_bool>(false);
    QPointer<CurtainModel> weak(model);
    return [called, weak, handler = std::move(handler)](T value) {
        if (called->exchange(true)) return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weak, handler, value = std::move(value)]() {
                if (weak) handler(weak.data(), value);
            },
            Qt::QueuedConnection);
    };
}
}  // namespace

CurtainModel::CurtainModel(QString appName, bool requiresBlink, FaceScan runFaceScan, PasswordCheck verifyPassword,
                           bool hasPassword, std::function<void()> onUnlocked, std::function<void()> onCancel,
                           QObject* parent)
    : QObject(parent),
      appName_(std::move(appName)),
      hasPassword_(hasPassword),
      scanPromptKey_(requiresBlink ? "curtain.lookBlink" : "curtain.look"),
      runFaceScan_(std::move(runFaceScan)),
      verifyPassword_(std::move(verifyPassword)),
      onUnlocked_(std::move(onUnlocked)),
      onCancel_(std::move(onCancel)) {
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &CurtainModel::messageChanged);
    retryTimer_.setSingleShot(true);
    connect(&retryTimer_, &QTimer::timeout, this, [this] {
        waitingToRetry_ = false;
        Q_EMIT isVerifyingPasswordChanged();
    });
}

void CurtainModel::waitToRetry() {
    const auto wait = MasterPassword::retryWait();
    if (wait.count() <= 0) return;
    waitingToRetry_ = true;
    Q_EMIT isVerifyingPasswordChanged();
    retryTimer_.start(wait);
}

void CurtainModel::setPasswordInput(const QString& text) {
    if (text == passwordInput_) return;
    passwordInput_ = text;
    Q_EMIT passwordInputChanged();
}

QString CurtainModel::message() const {
    if (!*messageKey_) return {};
    return qL(messageKey_).replace("%d", QString::number(passwordFailures_));
}

QString CurtainModel::scanPrompt() const { return qL(scanPromptKey_); }

QString CurtainModel::displayedText() const {
    if (*messageKey_) return message();
    return phase_ == Phase::password ? qL("curtain.enterPassword") : scanPrompt();
}

void CurtainModel::setKeyboardHeld(bool held) {
    if (held == keyboardHeld_) return;
    keyboardHeld_ = held;
    Q_EMIT keyboardHeldChanged();
}

void CurtainModel::begin() {
    if (!hasFace_ && hasPassword_) usePassword();
    else startFaceScan();
}

void CurtainModel::startFaceScan() {
    if (isDone_) return;
    setPhase(Phase::scanning);
    setMessage("");
    const int generation = ++scanGeneration_;
    ++scansInFlight_;
    auto done = deliverOnce<UnlockResult>(this, [generation](CurtainModel* model, const UnlockResult& result) {
        model->faceScanFinished(generation, result);
    });
    if (runFaceScan_) runFaceScan_(std::move(done));
}

void CurtainModel::endRunningScan() {
    // Only a scan of ours can be running: the identity controller refuses a second one at once.
    if (scansInFlight_ == 0) return;
    scansInFlight_ = 0;  // the ones running now end; their answers are stale already
    if (cancelFaceScan_) cancelFaceScan_();
}

void CurtainModel::faceScanFinished(int generation, const UnlockResult& result) {
    if (scansInFlight_ > 0) --scansInFlight_;
    if (isDone_ || generation != scanGeneration_ || phase_ != Phase::scanning) return;
    if (result.kind == UnlockResult::Kind::approved) {
        finish(true);
        return;
    }
    if (result.kind == UnlockResult::Kind::notEnrolled) hasFace_ = false;  // no face to try again with
    ++attemptCount_;
    Q_EMIT attemptCountChanged();
    // Face unlock waits for the password: go straight to it, saying why.
    setPhase(result.faceLocked() && hasPassword_ ? Phase::password : Phase::failed);
    setMessage(failureMessage(result));
}

const char* CurtainModel::failureMessage(const UnlockResult& result) const {
    switch (result.kind) {
    case UnlockResult::Kind::notEnrolled: return "curtain.noFaceEnrolled";
    case UnlockResult::Kind::cameraUnavailable: return "curtain.cameraUnavailable";
    case UnlockResult::Kind::denied:
        if (result.faceLocked()) return "curtain.faceLocked";
        [[fallthrough]];
    default: return attemptCount_ >= 2 ? "curtain.stillCant" : "curtain.notRecognized";
    }
}

void CurtainModel::usePassword() {
    if (isDone_) return;
    ++scanGeneration_;
    endRunningScan();
    setPhase(Phase::password);
    setMessage("");
    // A new curtain is no new round of guesses: what is left of the wait holds here too.
    waitToRetry();
}

void CurtainModel::submitPassword() {
    if (isDone_ || isVerifyingPassword_ || waitingToRetry_ || passwordInput_.isEmpty()) return;
    if (!keyboardHeld_) {
        // Whatever was typed may have reached another program too: it is not taken.
        setPasswordInput({});
        return;
    }
    std::string typed = passwordInput_.toStdString();
    setVerifying(true);
    setMessage("");
    auto done = deliverOnce<bool>(this, [](CurtainModel* model, bool accepted) { model->passwordCheckFinished(accepted); });
    if (verifyPassword_) verifyPassword_(std::move(typed), std::move(done));
    else done(false);
}

void CurtainModel::passwordCheckFinished(bool accepted) {
    setVerifying(false);
    if (isDone_ || phase_ != Phase::password) return;
    if (accepted) {
        setPasswordInput({});  // the accepted password stays in no field
        finish(true);
        return;
    }
    if (passwordInReach_ && !passwordInReach_()) {
        setMessage("auth.keyringLocked", true);
        return setPasswordInput({});
    }
    ++passwordFailures_;
    // Each refusal reads differently from the one before, so a second one is seen as new.
    setMessage(passwordFailures_ == 1 ? "curtain.incorrectPassword" : "curtain.incorrectPasswordCount", true);
    setPasswordInput({});
    // Wrong passwords in a row, on any prompt of this program, make the next try wait (never after
    // the first two), so guessing at the curtain gets slow.
    waitToRetry();
}

void CurtainModel::cancel() {
    if (isDone_) return;
    ++scanGeneration_;
    endRunningScan();
    finish(false);
}

void CurtainModel::finish(bool unlocked) {
    isDone_ = true;
    // The callback may tear down whatever owns this model: call a copy, and touch nothing after it.
    const auto callback = unlocked ? onUnlocked_ : onCancel_;
    if (callback) callback();
}

void CurtainModel::setPhase(Phase phase) {
    if (phase == phase_) return;
    phase_ = phase;
    Q_EMIT phaseChanged();
}

void CurtainModel::setMessage(const char* key, bool isError) {
    // A refused password is announced each time, even with the same text.
    if (!isError && !messageIsError_ && std::string_view(key) == messageKey_) return;
    messageKey_ = key;
    messageIsError_ = isError;
    Q_EMIT messageChanged();
}

void CurtainModel::setVerifying(bool verifying) {
    if (verifying == isVerifyingPassword_) return;
    isVerifyingPassword_ = verifying;
    Q_EMIT isVerifyingPasswordChanged();
}
