#include "Session.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <QDateTime>

#include "Identity/MasterPassword.h"
#include "Localization/Localization.h"
#include "Platform/SecretStores.h"
#include "Support/Bytes.h"
#include "Support/Json.h"
#include "Support/AppPaths.h"

namespace Cli {

std::filesystem::path dataFolder() { return AppPaths::supportDirectory(); }

std::unique_ptr<DataFolderLock> lockDataFolder() {
    auto outcome = DataFolderLock::tryAcquire(dataFolder());
    if (outcome.lock) return std::move(outcome.lock);
    if (outcome.holder) {
        const std::string who = *outcome.holder > 0 ? " (process " + std::to_string(*outcome.holder) + ")" : "";
        throw Failure("Korvel ID is running" + who +
                      ": make this change in its window, or quit it and try again.");
    }
    throw Failure("Could not lock the data folder: " + outcome.error);
}

// The test suite runs the program against the keyring of its test desktop, which test programs
// share: the variable keeps this run's items apart from theirs.
SecretStore::Kind openSecrets() {
    const char* prefix = std::getenv("KORVEL_SECRET_SERVICE_PREFIX");
    return installDefaultSecretStore(prefix ? prefix : "");
}

bool masterPasswordIsSet() {
    switch (MasterPassword::state()) {
    case MasterPassword::State::set: return true;
    case MasterPassword::State::notSet: return false;
    case MasterPassword::State::unavailable: break;
    }
    throw Failure("The keyring is locked or does not answer, so the master password cannot be read; unlock it and try again.");
}

void confirmChange(const Arguments& args, CredentialGate::Change change) {
    openSecrets();
    // The terminal has no face scan here: the master password stands for either credential.
    const auto state = MasterPassword::state();
    if (CredentialGate::need(change, state) == CredentialGate::Need::nothing) return;
    if (state == MasterPassword::State::unavailable) (void)masterPasswordIsSet();  // throws: the keyring cannot check
    PasswordReader reader(args);
    const SecretString password = reader.read(L("auth.enterMasterPassword"));
    if (!MasterPassword::verify(password.str())) throw Failure(L("curtain.incorrectPassword"));
}

PasswordReader::PasswordReader(const Arguments& args) : fromStdin_(args.has("--password-stdin")) {
    // Room for the longest line and one block, so the buffer never moves (and leaves no copy).
    pending_.reserve(maxLineBytes + 1024);
}

PasswordReader::~PasswordReader() { secureWipe(pending_); }

namespace {

[[noreturn]] void lineTooLong() {
    throw Failure("The password line is longer than " + std::to_string(PasswordReader::maxLineBytes) +
                  " bytes; nothing was changed.");
}

// One line from `fd` without its line end, reading blocks into `pending` and keeping what follows
// the line there; false at end of input before any character.
bool readLine(int fd, std::string& pending, bool& ended, std::string& line) {
    line.clear();
    std::size_t end = 0;
    while ((end = pending.find('\n')) == std::string::npos) {
        if (pending.size() > PasswordReader::maxLineBytes) lineTooLong();
        if (ended) break;
        char block[512];
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ended = true;
        } else {
            pending.append(block, static_cast<std::size_t>(n));
        }
        secureWipe(block, sizeof block);
    }
    if (end == std::string::npos && pending.empty()) return false;
    const std::size_t take = end == std::string::npos ? pending.size() : end;
    if (take > PasswordReader::maxLineBytes) lineTooLong();
    line.assign(pending, 0, take);
    // Shifted in place, so no copy of the rest is left behind unwiped.
    const std::size_t used = std::min(pending.size(), take + 1);
    std::copy(pending.begin() + static_cast<std::ptrdiff_t>(used), pending.end(), pending.begin());
    std::fill(pending.end() - static_cast<std::ptrdiff_t>(used), pending.end(), '\0');
    pending.resize(pending.size() - used);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace

SecretString PasswordReader::read(const std::string& prompt) {
    std::string line;
    if (fromStdin_) {
        if (!readLine(STDIN_FILENO, pending_, ended_, line)) throw Failure("Standard input ended before the password.");
        return SecretString(std::move(line));
    }
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0) throw Failure("No terminal to ask for the password on; use --password-stdin.");
    termios saved{};
    const bool isTty = ::tcgetattr(tty, &saved) == 0;
    if (isTty) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    const std::string text = prompt + ": ";
    if (::write(tty, text.data(), text.size()) < 0) { /* the prompt is a courtesy */ }
    // The terminal's own rest is not kept: a new prompt starts from what is typed next.
    std::string rest;
    bool ended = false;
    bool got = false;
    try {
        got = readLine(tty, rest, ended, line);
    } catch (...) {
        if (isTty) ::tcsetattr(tty, TCSAFLUSH, &saved);
        ::close(tty);
        secureWipe(rest);
        throw;
    }
    secureWipe(rest);
    if (isTty) ::tcsetattr(tty, TCSAFLUSH, &saved);
    ::close(tty);
    if (!got) {
        secureWipe(line);
        throw Failure("No password was entered.");
    }
    return SecretString(std::move(line));
}

std::string printable(std::string_view name) {
    const std::string valid = ::Json::validUtf8(name);  // broken bytes become U+FFFD
    std::string out;
    out.reserve(valid.size());
    for (std::size_t i = 0; i < valid.size();) {
        const auto lead = static_cast<unsigned char>(valid[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t cp = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(valid[i + k]) & 0x3F);
        const bool control = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
        const bool reorders = (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
        if (control || reorders) out += '?';
        else out.append(valid, i, length);
        i += length;
    }
    return out;
}

std::string isoDate(double secondsSinceReference) {
    const qint64 ms = Timestamp::unixMillis(secondsSinceReference);
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate).toStdString();
}

bool stdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

ProgressBar::ProgressBar(std::string label, std::int64_t total)
    : label_(std::move(label)), total_(total), shown_(stdoutIsTerminal()) {}

ProgressBar::~ProgressBar() {
    if (shown_ && lastWidth_ >= 0) std::cout << "\n" << std::flush;
}

void ProgressBar::update(std::int64_t done) {
    if (!shown_ || total_ <= 0) return;
    constexpr int width = 30;
    const int filled = static_cast<int>(width * std::min<std::int64_t>(done, total_) / total_);
    if (filled == lastWidth_) return;
    lastWidth_ = filled;
    const int percent = static_cast<int>(100 * std::min<std::int64_t>(done, total_) / total_);
    std::cout << "\r" << label_ << " [" << std::string(static_cast<std::size_t>(filled), '#')
              << std::string(static_cast<std::size_t>(width - filled), '.') << "] " << percent << "%" << std::flush;
}

}  // namespace Cli
