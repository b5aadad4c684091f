#include "AppLock/CurtainModel.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <atomic>
#include <memory>
#include <utility>

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
      scanPrompt_(qL(requiresBlink ? "curtain.lookBlink" : "curtain.look")),
      runFaceScan_(std::move(runFaceScan)),
      verifyPassword_(std::move(verifyPassword)),
      onUnlocked_(std::move(onUnlocked)),
      onCancel_(std::move(onCancel)) {}

void CurtainModel::setPasswordInput(const QString& text) {
    if (text == passwordInput_) return;
    passwordInput_ = text;
    Q_EMIT passwordInputChanged();
}

void CurtainModel::startFaceScan() {
    if (isDone_) return;
    setPhase(Phase::scanning);
    setMessage({});
    const int generation = ++scanGeneration_;
    auto done = deliverOnce<UnlockResult>(this, [generation](CurtainModel* model, const UnlockResult& result) {
        model->faceScanFinished(generation, result);
    });
    if (runFaceScan_) runFaceScan_(std::move(done));
}

void CurtainModel::faceScanFinished(int generation, const UnlockResult& result) {
    if (isDone_ || generation != scanGeneration_ || phase_ != Phase::scanning) return;
    if (result.kind == UnlockResult::Kind::approved) {
        finish(true);
        return;
    }
    ++attemptCount_;
    Q_EMIT attemptCountChanged();
    setPhase(Phase::failed);
    setMessage(failureMessage(result));
}

QString CurtainModel::failureMessage(const UnlockResult& result) const {
    switch (result.kind) {
    case UnlockResult::Kind::notEnrolled: return qL("curtain.noFaceEnrolled");
    case UnlockResult::Kind::cameraUnavailable: return qL("curtain.cameraUnavailable");
    default: return qL(attemptCount_ >= 2 ? "curtain.stillCant" : "curtain.notRecognized");
    }
}

void CurtainModel::usePassword() {
    if (isDone_) return;
    ++scanGeneration_;
    setPhase(Phase::password);
    setMessage({});
}

void CurtainModel::submitPassword() {
    if (isDone_ || isVerifyingPassword_ || passwordInput_.isEmpty()) return;
    std::string typed = passwordInput_.toStdString();
    setVerifying(true);
    setMessage({});
    auto done = deliverOnce<bool>(this, [](CurtainModel* model, bool accepted) { model->passwordCheckFinished(accepted); });
    if (verifyPassword_) verifyPassword_(std::move(typed), std::move(done));
    else done(false);
}

void CurtainModel::passwordCheckFinished(bool accepted) {
    setVerifying(false);
    if (isDone_ || phase_ != Phase::password) return;
    if (accepted) {
        finish(true);
        return;
    }
    setMessage(qL("curtain.incorrectPassword"));
    setPasswordInput({});
}

void CurtainModel::cancel() {
    if (isDone_) return;
    ++scanGeneration_;
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

void CurtainModel::setMessage(const QString& message) {
    if (message == message_) return;
    message_ = message;
    Q_EMIT messageChanged();
}

void CurtainModel::setVerifying(bool verifying) {
    if (verifying == isVerifyingPassword_) return;
    isVerifyingPassword_ = verifying;
    Q_EMIT isVerifyingPasswordChanged();
}
