#pragma once
// The master-password dialog: a short message, the caller's reason, a masked field and
// Unlock / Cancel. The typed text is handed out once by takePassword(), which empties the field.
// With a check, Unlock checks the password first and the dialog stays open on a wrong one.
#include <QDialog>
#include <QTimer>

#include <memory>
#include <string>

#include "Identity/PasswordPrompt.h"

#include "Support/SymmetricKey.h"

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;

class PasswordDialog final : public QDialog {
    Q_OBJECT

public:
    explicit PasswordDialog(const std::string& reason, QWidget* parent = nullptr);
    ~PasswordDialog() override;

    // The field's text (the accepted one, once a check accepted it); the field is cleared.
    SecretString takePassword();

    void setCheck(PasswordPrompt::Check check) { check_ = std::move(check); }
    // Unlock: checks the typed password (with a check) and closes only when it is right.
    void accept() override;
    bool isChecking() const { return checking_; }
    // Waiting out the delay after repeated wrong passwords.
    bool isWaiting() const { return retry_.isActive(); }
    const QTimer& retryTimer() const { return retry_; }
    bool isVerified() const { return verified_; }
    int failures() const { return failures_; }

Q_SIGNALS:
    // A check finished (right or wrong).
    void checked();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void retranslate();
    void setBusy(bool busy);
    void checkFinished(bool ok, const std::shared_ptr<SecretString>& typed);

    PasswordPrompt::Check check_;
    bool checking_ = false;
    bool verified_ = false;
    int failures_ = 0;
    SecretString accepted_;
    QTimer retry_;
    QLabel* error_;
    const char* errorKey_ = "curtain.incorrectPassword";
    std::string reason_;
    QLabel* message_;
    QLabel* informative_;
    QLineEdit* field_;
    QPushButton* unlockButton_;
    QPushButton* cancelButton_;
};
