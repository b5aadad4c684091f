#pragma once
// The change-password sheet's rules: the new password needs six user-perceived characters and must
// match its confirmation (length checked first); the vault facade then changes the master password
// and the vault's password copy together. Qt Core and the kit only.
#include <QFuture>
#include <QObject>
#include <QString>

#include <functional>
#include <string>

#include "Vault/KorvelIDVault.h"

class ChangePasswordState : public QObject {
    Q_OBJECT

public:
    using Changer = std::function<QFuture<PasswordChangeResult>(std::string oldPassword, std::string newPassword)>;

    explicit ChangePasswordState(QObject* parent = nullptr);

    QString current, newPassword, confirm;
    // A string-table key, empty when there is no error.
    const QString& error() const { return error_; }
    bool isWorking() const { return working_; }

    void attempt();
    // The string-table key for a result that is not success.
    static const char* messageKey(PasswordChangeResult result);

    // Replaces KorvelIDVault::changeMasterPassword (tests).
    void setChanger(Changer changer) { changer_ = std::move(changer); }

Q_SIGNALS:
    void changed();
    // The password was changed.
    void succeeded();

private:
    void change();
    QString error_;
    bool working_ = false;
    Changer changer_;
};
