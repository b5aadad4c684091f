#pragma once
// A settings control's change that asks the credential gate first.
#include <QWidget>

#include <functional>

#include "Identity/CredentialGate.h"

// Runs `apply` once the gate allows `change`, if `owner` still exists; a keyring that cannot check
// the password is said on `owner`. Nothing happens when it is refused.
void whenAllowed(QWidget* owner, CredentialGate::Change change, std::function<void()> apply);
