#pragma once
// Changes that decide who can unlock ask for the existing credential first while a master password
// exists (or may exist: a locked keyring): the face or the master password, and for a new face the
// master password alone, since the face about to be replaced may not be the owner's. Without a
// master password there is no credential to ask for (onboarding's first enrolment).
#include <QFuture>

#include <functional>

#include "Identity/MasterPassword.h"

namespace CredentialGate {

// loosenMatching: a tuning setting that lets more faces through (command line only).
// showLockedApps: locked apps no longer kept minimized, so a click can reach one under its curtain.
// changeCamera: face unlock would look through another device (a loopback fed from a file, say).
enum class Change { addFace, removeFaces, unprotectApp, changeGrace, blinkOff, loosenMatching, showLockedApps, changeCamera };
enum class Need { nothing, faceOrPassword, password };
enum class Outcome {
    allowed,
    refused,        // cancelled, not recognised
    keyringLocked,  // only the password could allow it, and the keyring cannot check one
};

Need need(Change change, MasterPassword::State password);
// The short English phrase the prompt shows (the dialog shows it in the chosen language).
constexpr const char* reason(Change change) {
    switch (change) {
    case Change::addFace: return "Add a face";
    case Change::removeFaces: return "Remove all faces";
    case Change::unprotectApp: return "Stop protecting an app";
    case Change::changeGrace: return "Change an app's grace period";
    case Change::blinkOff: return "Stop requiring a blink";
    case Change::loosenMatching: return "Loosen face matching";
    case Change::showLockedApps: return "Stop keeping locked apps minimized";
    case Change::changeCamera: return "Use another camera";
    }
    return "";
}
// Asks as need() says, through KorvelIDAuth. Main thread; finishes there.
QFuture<Outcome> confirm(Change change);

// Tests script the answer of confirm(); an empty function restores the real one.
void setConfirmer(std::function<QFuture<Outcome>(Change)> confirmer);

}  // namespace CredentialGate
