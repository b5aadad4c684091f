#pragma once
// The modal master-password dialog as the authentication facade uses it. The dialog lives in the
// UI library and is installed with KorvelIDAuth::setPasswordPrompt; tests answer it through the
// dialog hook or script it here.
#include <optional>
#include <string>

#include "Support/SymmetricKey.h"

class PasswordPrompt {
public:
    virtual ~PasswordPrompt() = default;
    // Runs the dialog modally on the main thread with `reason` as its explanation. The typed text
    // (possibly empty) when the user confirmed; nothing when the dialog was dismissed.
    virtual std::optional<SecretString> ask(const std::string& reason) = 0;
};
