#include "Identity/KorvelIDSettings.h"

#include "Identity/KorvelIDController.h"

bool KorvelIDSettings::requireLiveness() { return KorvelIDController::loadSettings().livenessRequired(); }

void KorvelIDSettings::setRequireLiveness(bool required) {
    Settings settings = KorvelIDController::loadSettings();
    settings.requireLiveness = required;
    settings.save(KorvelIDController::settingsFile());
    KorvelIDController::shared().reloadSettings();
}
