#include "Shell/SystemQuitWatcher.h"

#include <QDBusConnection>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

namespace {
int gSignalPipe[2] = {-1, -1};

// Only async-signal-safe work here: one byte into the pipe, handled by the event loop.
void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(gSignalPipe[1], &byte, 1);
}
}  // namespace

SystemQuitWatcher::SystemQuitWatcher(QObject* parent) : QObject(parent) {
    // Not the session manager's request to save state (commitDataRequest): it also comes for a
    // log-out that another program may still cancel, and for checkpoints. A session that really ends
    // tells Qt to quit, sends SIGTERM or goes through logind.
    QDBusConnection::systemBus().connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                                         QStringLiteral("org.freedesktop.login1.Manager"),
                                         QStringLiteral("PrepareForShutdown"), this, SLOT(prepareForShutdown(bool)));
    // Non-blocking: a flood of signals once the loop stops reading must not block the handler
    // (and with it the shutdown); one byte waiting is as good as many.
    if (gSignalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gSignalPipe) == 0) {
        notifier_ = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] {
            char byte;
            [[maybe_unused]] const auto got = ::read(gSignalPipe[0], &byte, 1);
            report();
        });
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGHUP, &action, nullptr);
    }
}

SystemQuitWatcher::~SystemQuitWatcher() {
    if (!notifier_) return;
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
    delete notifier_;
    ::close(gSignalPipe[0]);
    ::close(gSignalPipe[1]);
    gSignalPipe[0] = gSignalPipe[1] = -1;
}

void SystemQuitWatcher::prepareForShutdown(bool starting) {
    if (starting) report();
}

void SystemQuitWatcher::report() {
    if (reported_) return;
    reported_ = true;
    Q_EMIT systemQuitRequested();
}
