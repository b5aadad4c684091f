#include "Common/ReasonText.h"

#include <utility>

#include "Identity/KorvelIDAuth.h"
#include "Identity/KorvelIDController.h"
#include "Localization/Localization.h"

QString reasonText(const std::string& reason) {
    static const std::pair<const char*, const char*> keys[] = {
        {KorvelIDController::busyReason, "scan.busy"},
        {KorvelIDController::cancelledReason, "scan.cancelled"},
        {KorvelIDController::notRecognizedReason, "scan.faceNotRecognized"},
        {KorvelIDController::noCameraText, "scan.noCameraAccess"},
        {KorvelIDController::noCameraFoundText, "scan.noCamera"},
        {KorvelIDController::enrollmentFailedText, "enroll.failed"},
        {KorvelIDAuth::notRecognizedReason, "scan.notRecognized"},
        {"Camera unavailable", "scan.cameraUnavailable"},
        {"No face registered", "scan.noFace"},
    };
    for (const auto& [english, key] : keys)
        if (reason == english) return qL(key);
    return QString::fromStdString(reason);
}
