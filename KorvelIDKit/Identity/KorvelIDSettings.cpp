#include "Identity/KorvelIDSettings.h"

#include "Identity/KorvelIDController.h"

bool KorvelIDSettings::requireLiveness() { return KorvelIDController::loadSettings().livenessRequired(); }

bool KorvelIDSettings::setRequireLiveness(bool required) {
    const bool saved = Settings::change(KorvelIDController::settingsFile(),
                                        [required](Settings& s) { s.requireLiveness = required; }) == Settings::Change::saved;
    KorvelIDController::shared().reloadSettings();
    return saved;
}
