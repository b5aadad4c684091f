#include "LockScreen/LockScreenModel.h"

#include <QPointer>

#include "Common/ReasonText.h"
#include "Identity/KorvelID.h"
#include "Identity/KorvelIDAuth.h"
#include "Localization/Localization.h"

#include <utility>

LockScreenModel::UnlockFunction LockScreenModel::defaultUnlock() {
    // The host's lock asks for the scan display, as every face unlock on the user's behalf does.
    return [](Completion completion) { KorvelID::unlock(true, std::move(completion)); };
}

LockScreenModel::LockScreenModel(UnlockFunction unlock, QObject* parent)
    : QObject(parent), unlock_(unlock ? std::move(unlock) : defaultUnlock()) {}

void LockScreenModel::runUnlock() {
    if (status_ == Status::scanning) return;
    status_ = Status::scanning;
    Q_EMIT changed();
    // The view may be gone by the time the scan ends; its result is then dropped.
    unlock_([self = QPointer<LockScreenModel>(this)](const UnlockResult& result) {
        if (self) self->finish(result);
    });
}

void LockScreenModel::finish(const UnlockResult& result) {
    switch (result.kind) {
    case UnlockResult::Kind::approved:
        Q_EMIT approved(QString::fromStdString(result.name));
        return;
    case UnlockResult::Kind::denied:
        lastReason_ = result.reason;
        break;
    case UnlockResult::Kind::cameraUnavailable:
        lastReason_ = "Camera unavailable";
        break;
    case UnlockResult::Kind::notEnrolled:
        lastReason_ = "No face registered";
        noFaceEnrolled_ = true;
        break;
    }
    status_ = Status::denied;
    Q_EMIT changed();
}

QString LockScreenModel::statusLine(const QString& subtitle) const {
    if (status_ != Status::denied) return subtitle;
    return reasonText(lastReason_.value_or(KorvelIDAuth::notRecognizedReason));
}

QString LockScreenModel::buttonText() const {
    return qL(status_ == Status::scanning ? "curtain.scanning" : "vault.unlockWithFace");
}

QString LockScreenModel::symbolName() const {
    return status_ == Status::denied ? "lock.trianglebadge.exclamationmark" : "faceid";
}
