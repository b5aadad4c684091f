#pragma once
// What the commands share: the data folder and its lock, the secret store, passwords read from the
// terminal or standard input, and progress on a terminal.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "CommandLine.h"
#include "Identity/CredentialGate.h"
#include "Support/DataFolderLock.h"
#include "Support/SecretStore.h"
#include "Support/SymmetricKey.h"

namespace Cli {

// The data folder, created owner-only when missing (as the application does).
std::filesystem::path dataFolder();

// Held by every command that changes a file. Throws Failure when the application (or another
// command) holds the folder, so a running application's state never overwrites the change.
std::unique_ptr<DataFolderLock> lockDataFolder();

// Installs the Secret Service, or the file store when none answers; returns which.
SecretStore::Kind openSecrets();

// Whether a master password is set. Throws Failure when the store is locked or does not answer:
// that is no store without a password, and nothing may be set or checked over it.
bool masterPasswordIsSet();

// Changes to who can unlock (CredentialGate) ask for the master password first while one is set:
// read like every password here (--password-stdin or the terminal). Throws Failure when it is
// wrong, or when the keyring cannot check it.
void confirmChange(const Arguments& args, CredentialGate::Change change);
// The help line of --password-stdin for those commands.
inline constexpr const char* passwordHelp =
    "  --password-stdin  while a master password is set, this change asks for it first: read it from\n"
    "                    standard input instead of the terminal";

// Reads passwords one after the other: lines of standard input with --password-stdin, else from
// the terminal without echo. Never from arguments or the environment.
class PasswordReader {
public:
    // Longest line taken as a password; a longer one is refused before it is read to its end.
    static constexpr std::size_t maxLineBytes = 1024;

    explicit PasswordReader(const Arguments& args);
    ~PasswordReader();
    SecretString read(const std::string& prompt);

private:
    bool fromStdin_;
    // Standard input read ahead of the current line (one block at a time), kept for the next read.
    std::string pending_;
    bool ended_ = false;
};

// A bar on standard output when it is a terminal; nothing otherwise.
class ProgressBar {
public:
    ProgressBar(std::string label, std::int64_t total);
    ~ProgressBar();
    void update(std::int64_t done);

private:
    std::string label_;
    std::int64_t total_;
    bool shown_;
    int lastWidth_ = -1;
};

bool stdoutIsTerminal();

// A name read from a file (a face, an app's desktop entry, a vault item, a camera) as it may reach
// a terminal: control characters (C0, DEL, C1) and bidirectional overrides become '?' and bytes
// that are not UTF-8 U+FFFD, so a hostile name can neither send escape sequences nor reorder the line.
std::string printable(std::string_view name);

// A stored timestamp (seconds since 2001-01-01 UTC) as ISO 8601 in UTC.
std::string isoDate(double secondsSinceReference);

}  // namespace Cli
