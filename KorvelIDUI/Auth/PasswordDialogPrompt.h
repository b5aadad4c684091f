#pragma once
// The authentication facade's password prompt: the password dialog run through DialogRunner.
#include "Identity/PasswordPrompt.h"

class PasswordDialogPrompt final : public PasswordPrompt {
public:
    std::optional<SecretString> ask(const std::string& reason, Check check) override;
};
