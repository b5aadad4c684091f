#pragma once
// The master-password dialog: a short message, the caller's reason, a masked field and
// Unlock / Cancel. The typed text is handed out once by takePassword(), which empties the field.
#include <QDialog>

#include <string>

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

    // The field's text; the field is cleared.
    SecretString takePassword();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void retranslate();

    QLabel* message_;
    QLineEdit* field_;
    QPushButton* unlockButton_;
    QPushButton* cancelButton_;
};
