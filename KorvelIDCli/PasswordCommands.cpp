// password set | verify | change: the master password, with the application's rules and texts.
#include <iostream>

#include "Commands.h"
#include "Identity/MasterPassword.h"
#include "Identity/PasswordRules.h"
#include "Localization/Localization.h"
#include "Session.h"
#include "Vault/KorvelIDVault.h"

namespace Cli {
namespace {

// The new password twice on a terminal; once from standard input (a script already knows it).
SecretString readNew(PasswordReader& reader, const Arguments& a, const char* prompt, const char* confirmPrompt,
                     const char* tooShortKey, const char* mismatchKey) {
    SecretString first = reader.read(L(prompt));
    if (PasswordRules::hasControlCharacters(first.str()))
        throw Failure("The new password contains a control character (such as NUL or a tab); nothing was changed.");
    if (!PasswordRules::isLongEnough(first.str())) throw Failure(L(tooShortKey));
    if (!a.has("--password-stdin")) {
        const SecretString second = reader.read(L(confirmPrompt));
        if (second.str() != first.str()) throw Failure(L(mismatchKey));
    }
    return first;
}

int set(const Arguments& a) {
    const auto lock = lockDataFolder();
    openSecrets();
    if (masterPasswordIsSet()) throw Failure("A master password is already set; use \"korvel-id-cli password change\".");
    PasswordReader reader(a);
    const SecretString password =
        readNew(reader, a, "changepw.new", "onboard.confirmPassword", "onboard.tooShort", "onboard.mismatch");
    if (!MasterPassword::set(password.str())) throw Failure(L("onboard.saveFailed"));
    std::cout << "Master password set.\n";
    return Exit::ok;
}

int verify(const Arguments& a) {
    openSecrets();
    if (!masterPasswordIsSet()) throw Failure("No master password is set.");
    PasswordReader reader(a);
    const SecretString password = reader.read(L("auth.enterMasterPassword"));
    if (!MasterPassword::verify(password.str()))
        throw Failure(L(MasterPassword::state() == MasterPassword::State::unavailable ? "auth.keyringLocked"
                                                                                      : "curtain.incorrectPassword"));
    std::cout << "Password accepted.\n";
    return Exit::ok;
}

int change(const Arguments& a) {
    const auto lock = lockDataFolder();
    openSecrets();
    if (!masterPasswordIsSet()) throw Failure("No master password is set; use \"korvel-id-cli password set\".");
    PasswordReader reader(a);
    SecretString current = reader.read(L("changepw.current"));
    SecretString next = readNew(reader, a, "changepw.new", "changepw.confirm", "changepw.tooShort", "changepw.mismatch");
    // The same change as the settings window's: the vault's password copy follows, or nothing changes.
    // On this thread: a terminal command has no window to keep responsive, and no worker thread or
    // event loop is left running while the program exits.
    const auto result = KorvelIDVault::changeMasterPasswordNow(KorvelIDVault::store(), current.str(), next.str());
    switch (result) {
    case PasswordChangeResult::success: std::cout << L("security.passwordUpdated") << "\n"; return Exit::ok;
    case PasswordChangeResult::wrongCurrentPassword: throw Failure(L("changepw.wrongCurrent"));
    case PasswordChangeResult::keyringLocked: throw Failure(L("auth.keyringLocked"));
    case PasswordChangeResult::failed: break;
    }
    throw Failure(L("changepw.failed"));
}

const char* inputHelp =
    "  --password-stdin  read the password(s) from standard input, one line each, instead of\n"
    "                    asking on the terminal without echo";

}  // namespace

std::vector<Command> passwordCommands() {
    return {
        {{"password", "set"}, "[--password-stdin]", "Set the master password (refused when one is set).", inputHelp,
         {"--password-stdin"}, {}, 0, 0, set},
        {{"password", "verify"}, "[--password-stdin]", "Check a password against the master password.", inputHelp,
         {"--password-stdin"}, {}, 0, 0, verify},
        {{"password", "change"}, "[--password-stdin]",
         "Change the master password; the vault follows. With --password-stdin: the old, then the new line.",
         inputHelp, {"--password-stdin"}, {}, 0, 0, change},
    };
}

}  // namespace Cli
