#include "Identity/KorvelIDSettings.h"

#include "Identity/KorvelIDController.h"

bool KorvelIDSettings::requireLiveness() { return KorvelIDController::loadSettings().livenessRequired(); }

bool KorvelIDSettings::setRequireLiveness(bool required) {
    const auto file = KorvelIDController::settingsFile();
    Settings settings = KorvelIDController::loadSettings();
    settings.requireLiveness = required;
    const bool saved = !Settings::isDamaged(file) && settings.save(file);
    KorvelIDController::shared().reloadSettings();
    return saved;
}
