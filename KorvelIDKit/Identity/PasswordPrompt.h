#pragma once
// The modal master-password dialog as the authentication facade uses it. The dialog lives in the
// UI library and is installed with KorvelIDAuth::setPasswordPrompt; tests answer it through the
// dialog hook or script it here.
#include <QFuture>

#include <functional>
#include <optional>
#include <string>

#include "Support/SymmetricKey.h"

class PasswordPrompt {
public:
    // Checks a typed password off the main thread; the future holds whether it is right.
    using Check = std::function<QFuture<bool>(std::string password)>;

    virtual ~PasswordPrompt() = default;
    // Runs the dialog modally on the main thread with `reason` as its explanation. With a `check`,
    // the dialog stays open on a wrong password ("Incorrect password.", a growing wait after
    // repeated failures) until the check accepts one or the user dismisses it. The typed text
    // (possibly empty, and accepted by `check` when given) when the user confirmed; nothing when
    // the dialog was dismissed.
    virtual std::optional<SecretString> ask(const std::string& reason, Check check) = 0;
};
