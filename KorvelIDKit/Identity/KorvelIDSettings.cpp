#include "Identity/KorvelIDSettings.h"

#include "Identity/KorvelIDController.h"

bool KorvelIDSettings::requireLiveness() { return KorvelIDController::loadSettings().livenessRequired(); }

bool KorvelIDSettings::setRequireLiveness(bool required) {
    const auto file = KorvelIDController::settingsFile();
    bool damaged = false;
    Settings settings = Settings::load(file, &damaged);
    settings.requireLiveness = required;
    const bool saved = !damaged && settings.save(file);
    KorvelIDController::shared().reloadSettings();
    return saved;
}
