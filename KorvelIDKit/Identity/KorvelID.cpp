#include "Identity/KorvelID.h"

#include "Identity/KorvelIDController.h"
#include "Support/Async.h"

bool KorvelID::isEnrolled() { return KorvelIDController::shared().isEnrolled(); }

std::vector<std::string> KorvelID::enrolledNames() { return KorvelIDController::shared().enrolledNames(); }

QFuture<UnlockResult> KorvelID::unlock(bool showsNotchUI) { return KorvelIDController::shared().unlock(showsNotchUI); }

void KorvelID::unlock(bool showsNotchUI, std::function<void(const UnlockResult&)> completion) {
    Async::whenFinished(unlock(showsNotchUI), [completion = std::move(completion)](const QFuture<UnlockResult>& f) {
        const UnlockResult result = Async::valueOr(f, UnlockResult::denied(KorvelIDController::cancelledReason));
        if (completion) completion(result);
    });
}

void KorvelID::cancelUnlock() { KorvelIDController::shared().cancelUnlock(); }

void KorvelID::hideNotch() { KorvelIDController::shared().hideNotch(); }

void KorvelID::presentEnrollment(std::function<void()> onFinished) {
    KorvelIDController::shared().presentEnrollment(std::move(onFinished));
}

QFuture<bool> KorvelID::enroll(const std::string& name) { return KorvelIDController::shared().enrollHeadless(name); }

bool KorvelID::reset() { return KorvelIDController::shared().reset(); }

void KorvelID::reloadSettings() { KorvelIDController::shared().reloadSettings(); }
