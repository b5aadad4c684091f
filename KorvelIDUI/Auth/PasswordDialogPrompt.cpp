#include "Auth/PasswordDialogPrompt.h"

#include "Auth/PasswordDialog.h"
#include "Common/DialogRunner.h"

#include <QEventLoop>
#include <QTimer>

std::optional<SecretString> PasswordDialogPrompt::ask(const std::string& reason, Check check) {
    PasswordDialog dialog(reason);
    dialog.setCheck(std::move(check));
    for (;;) {
        const bool confirmed = DialogRunner::exec(dialog) == QDialog::Accepted;
        if (!confirmed) {
            (void)dialog.takePassword();  // empties the field
            return std::nullopt;
        }
        if (dialog.isVerified()) break;
        // Confirmed without the dialog's own loop (a responder): check as Unlock would, and show the
        // same dialog again on a wrong password.
        QEventLoop wait;
        QObject::connect(&dialog, &PasswordDialog::checked, &wait, &QEventLoop::quit);
        if (dialog.isWaiting()) {
            QObject::connect(&dialog.retryTimer(), &QTimer::timeout, &wait, &QEventLoop::quit);
            wait.exec();
        }
        dialog.accept();
        if (dialog.isChecking()) wait.exec();
        if (dialog.isVerified() || dialog.result() == QDialog::Accepted) break;
    }
    return dialog.takePassword();
}
