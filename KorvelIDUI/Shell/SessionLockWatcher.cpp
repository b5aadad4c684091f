#include "Shell/SessionLockWatcher.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <unistd.h>

SessionLockWatcher::SessionLockWatcher(QObject* parent)
    : SessionLockWatcher(QDBusConnection::sessionBus(), QDBusConnection::systemBus(), parent) {}

SessionLockWatcher::SessionLockWatcher(const QDBusConnection& session, const QDBusConnection& system, QObject* parent)
    : QObject(parent) {
    // Any sender and path: lockers register the interface at different paths.
    QDBusConnection bus = session;
    for (const char* name : {"org.freedesktop.ScreenSaver", "org.gnome.ScreenSaver"})
        bus.connect({}, {}, QString::fromLatin1(name), QStringLiteral("ActiveChanged"), this, SLOT(screenSaverActive(bool)));
    // logind signals Lock on the session's own object. Programs the desktop starts in scopes of their
    // own are in no session by PID, so the session the desktop names comes first. Asked without
    // waiting: start-up does not depend on it.
    system_ = system;
    if (!system_.isConnected()) return;
    const QByteArray id = qgetenv("XDG_SESSION_ID");
    auto ask = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                                              QStringLiteral("org.freedesktop.login1.Manager"),
                                              id.isEmpty() ? QStringLiteral("GetSessionByPID") : QStringLiteral("GetSession"));
    if (id.isEmpty()) ask << quint32(::getpid());
    else ask << QString::fromUtf8(id);
    system_.callWithCallback(ask, this, SLOT(sessionFound(QDBusObjectPath)));
}

void SessionLockWatcher::sessionFound(const QDBusObjectPath& session) {
    if (session.path().isEmpty()) return;
    system_.connect(QStringLiteral("org.freedesktop.login1"), session.path(), QStringLiteral("org.freedesktop.login1.Session"),
                    QStringLiteral("Lock"), this, SLOT(lockRequested()));
}

void SessionLockWatcher::screenSaverActive(bool active) {
    if (active) Q_EMIT sessionLocked();
}

void SessionLockWatcher::lockRequested() { Q_EMIT sessionLocked(); }
