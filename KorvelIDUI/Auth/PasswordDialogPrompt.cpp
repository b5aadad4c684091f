#include "Auth/PasswordDialogPrompt.h"

#include "Auth/PasswordDialog.h"
#include "Common/DialogRunner.h"

std::optional<SecretString> PasswordDialogPrompt::ask(const std::string& reason) {
    PasswordDialog dialog(reason);
    const bool confirmed = DialogRunner::exec(dialog) == QDialog::Accepted;
    SecretString typed = dialog.takePassword();  // also empties the field when dismissed
    if (!confirmed) return std::nullopt;
    return typed;
}
