#include "Shell/SessionLockWatcher.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>

#include <unistd.h>

SessionLockWatcher::SessionLockWatcher(QObject* parent)
    : SessionLockWatcher(QDBusConnection::sessionBus(), QDBusConnection::systemBus(), parent) {}

SessionLockWatcher::SessionLockWatcher(const QDBusConnection& session, const QDBusConnection& system, QObject* parent)
    : QObject(parent) {
    // Any sender and path: lockers register the interface at different paths.
    QDBusConnection bus = session;
    for (const char* name : {"org.freedesktop.ScreenSaver", "org.gnome.ScreenSaver"})
        bus.connect({}, {}, QString::fromLatin1(name), QStringLiteral("ActiveChanged"), this, SLOT(screenSaverActive(bool)));
    // logind signals Lock on the session's own object; asked briefly, as no desktop needs it to start.
    QDBusConnection systemBus = system;
    if (!systemBus.isConnected()) return;
    auto ask = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                                              QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("GetSessionByPID"));
    ask << quint32(::getpid());
    const QDBusMessage reply = systemBus.call(ask, QDBus::Block, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return;
    const QString path = reply.arguments().constFirst().value<QDBusObjectPath>().path();
    if (path.isEmpty()) return;
    systemBus.connect(QStringLiteral("org.freedesktop.login1"), path, QStringLiteral("org.freedesktop.login1.Session"),
                      QStringLiteral("Lock"), this, SLOT(lockRequested()));
}

void SessionLockWatcher::screenSaverActive(bool active) {
    if (active) Q_EMIT sessionLocked();
}

void SessionLockWatcher::lockRequested() { Q_EMIT sessionLocked(); }
