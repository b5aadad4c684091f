#include "Session.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <QDateTime>

#include "Platform/SecretStores.h"
#include "Support/Bytes.h"
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

SecretStore::Kind openSecrets() { return installDefaultSecretStore(); }

PasswordReader::PasswordReader(const Arguments& args) : fromStdin_(args.has("--password-stdin")) {}

namespace {

// One line from `fd` without its line end; false at end of input before any character.
bool readLine(int fd, std::string& line) {
    line.clear();
    char c = 0;
    bool any = false;
    while (true) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return any;
        any = true;
        if (c == '\n') break;
        line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace

SecretString PasswordReader::read(const std::string& prompt) {
    std::string line;
    if (fromStdin_) {
        if (!readLine(STDIN_FILENO, line)) throw Failure("Standard input ended before the password.");
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
    const bool got = readLine(tty, line);
    if (isTty) ::tcsetattr(tty, TCSAFLUSH, &saved);
    ::close(tty);
    if (!got) {
        secureWipe(line);
        throw Failure("No password was entered.");
    }
    return SecretString(std::move(line));
}

std::string isoDate(double secondsSinceReference) {
    const auto ms = static_cast<qint64>((secondsSinceReference + Timestamp::unixOffset) * 1000.0);
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
