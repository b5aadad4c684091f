#pragma once
// The short English reasons that the identity controller and the lock view hand around ("Busy",
// "Face not recognized", …), in the chosen language for the screen. They stay English in results
// and log lines; a reason without a translation is shown as given.
#include <QString>

#include <string>

QString reasonText(const std::string& reason);
