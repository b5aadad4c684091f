// settings get | set: the tuning record "settings.json", with the application's defaults.
#include <cmath>
#include <iostream>
#include <string>

#include "Commands.h"
#include "Face/Settings.h"
#include "Session.h"
#include "Support/Json.h"

namespace Cli {
namespace {

// Scans use the defaults meanwhile; writing one key would replace the user's other values.
constexpr const char* damagedMessage = "The settings file (settings.json) is damaged; the defaults are in force.";

const std::vector<std::string> keys = {"requireLiveness", "matchThreshold", "minQuality",
                                       "requiredConsecutiveMatches", "scanTimeout", "enrollmentSampleCount"};

std::string plainValue(const Settings& s, const std::string& key) {
    if (key == "requireLiveness") return s.livenessRequired() ? "true" : "false";
    if (key == "matchThreshold") return Json::formatFloat(s.effectiveThreshold());
    if (key == "minQuality") return Json::formatFloat(s.minQuality);
    if (key == "requiredConsecutiveMatches") return std::to_string(s.requiredConsecutiveMatches);
    if (key == "scanTimeout") return Json::formatDouble(s.scanTimeout);
    return std::to_string(s.enrollmentSampleCount);
}

// Every value that is what an untouched installation would use is marked, not only the threshold.
std::string valueOf(const Settings& s, const std::string& key) {
    const std::string v = plainValue(s, key);
    return v == plainValue(Settings{}, key) ? v + " (default)" : v;
}

double number(const std::string& key, const std::string& text, double low, double high, bool integral) {
    std::size_t used = 0;
    double v = 0;
    try {
        v = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || !std::isfinite(v) || (integral && v != std::floor(v)))
        throw UsageError(key + " takes " + (integral ? "a whole number" : "a number") + ", not \"" + text + "\"");
    if (v < low || v > high)
        throw UsageError(key + " must lie between " + Json::formatDouble(low) + " and " + Json::formatDouble(high));
    return v;
}

bool boolean(const std::string& key, const std::string& text) {
    if (text == "true" || text == "yes" || text == "on" || text == "1") return true;
    if (text == "false" || text == "no" || text == "off" || text == "0") return false;
    throw UsageError(key + " takes true or false, not \"" + text + "\"");
}

// Applies one value; the ranges keep scans possible (a threshold of 0 would never match, a
// sample count beyond what the enrolment window can capture would never finish).
void apply(Settings& s, const std::string& key, const std::string& text) {
    if (key == "requireLiveness") s.requireLiveness = boolean(key, text);
    else if (key == "matchThreshold")
        s.matchThreshold = text == "default" ? std::nullopt
                                             : std::optional<float>(static_cast<float>(number(key, text, 0.01, 2.0, false)));
    else if (key == "minQuality") s.minQuality = static_cast<float>(number(key, text, 0.0, 1.0, false));
    else if (key == "requiredConsecutiveMatches") s.requiredConsecutiveMatches = static_cast<std::int64_t>(number(key, text, 1, 100, true));
    else if (key == "scanTimeout") s.scanTimeout = number(key, text, 1.0, 600.0, false);
    else if (key == "enrollmentSampleCount") s.enrollmentSampleCount = static_cast<std::int64_t>(number(key, text, 1, 100, true));
    else throw UsageError("unknown setting \"" + key + "\"");
}

int get(const Arguments& a) {
    dataFolder();
    bool damaged = false;
    const Settings s = Settings::load(Settings::defaultFile(), &damaged);
    if (damaged) std::cerr << damagedMessage << "\n";
    if (!a.positional.empty()) {
        const auto& key = a.positional[0];
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) throw UsageError("unknown setting \"" + key + "\"");
        std::cout << valueOf(s, key) << "\n";
        return Exit::ok;
    }
    for (const auto& key : keys) std::cout << key << " " << valueOf(s, key) << "\n";
    return Exit::ok;
}

// Whether `after` lets faces through that `before` turned away (a longer scan gives a look-alike
// more frames to match in one attempt).
bool loosens(const Settings& before, const Settings& after) {
    return after.effectiveThreshold() > before.effectiveThreshold() || after.minQuality < before.minQuality ||
           after.requiredConsecutiveMatches < before.requiredConsecutiveMatches || after.scanTimeout > before.scanTimeout;
}

int set(const Arguments& a) {
    const auto lock = lockDataFolder();
    std::string error, shown;
    const auto outcome = Settings::change(Settings::defaultFile(), [&](Settings& s) {
        const Settings before = s;
        apply(s, a.positional[0], a.positional[1]);
        if (before.livenessRequired() && !s.livenessRequired()) confirmChange(a, CredentialGate::Change::blinkOff);
        else if (loosens(before, s)) confirmChange(a, CredentialGate::Change::loosenMatching);
        shown = valueOf(s, a.positional[0]);
    }, &error);
    if (outcome == Settings::Change::damaged)
        throw Failure(std::string(damagedMessage) + " Nothing was changed: repair it, or remove it to start from the defaults.");
    if (outcome == Settings::Change::notWritten) throw Failure("Could not save the settings: " + error);
    std::cout << a.positional[0] << " " << shown << "\n";
    return Exit::ok;
}

const char* keyHelp =
    "Keys (defaults in brackets):\n"
    "  requireLiveness             true or false: demand a blink [true]\n"
    "  matchThreshold              largest face distance accepted, 0.01-2, or \"default\" [0.30]\n"
    "  minQuality                  smallest face quality examined, 0-1 [0.35]\n"
    "  requiredConsecutiveMatches  matching frames in a row, 1-100 [2]\n"
    "  scanTimeout                 seconds a scan may last, 1-600 [8]\n"
    "  enrollmentSampleCount       samples taken at enrolment, 1-100 [8]";

}  // namespace

std::vector<Command> settingsCommands() {
    return {
        {{"settings", "get"}, "[KEY]", "Show the tuning settings in effect, or one of them.", keyHelp, {}, {}, 0, 1, get},
        {{"settings", "set"}, "KEY VALUE [--password-stdin]", "Change one tuning setting in settings.json.",
         std::string(keyHelp) + "\nTurning the blink off, or letting more faces match, asks for the master password.\n" +
             passwordHelp,
         {"--password-stdin"}, {}, 2, 2, set},
    };
}

}  // namespace Cli
