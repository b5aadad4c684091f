#pragma once
// Notices that the desktop's screen locks: the screen saver's ActiveChanged(true) on the session bus
// (the freedesktop name that KDE, Xfce and most lockers use, and GNOME's own), and logind's Lock for
// this process's session (loginctl lock-session, lid and idle policies). Each is reported as
// sessionLocked on the main thread. A process that can send on the session bus can only make it
// report a lock, which costs a re-unlock and nothing else.
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>

class SessionLockWatcher : public QObject {
    Q_OBJECT

public:
    explicit SessionLockWatcher(QObject* parent = nullptr);
    SessionLockWatcher(const QDBusConnection& session, const QDBusConnection& system, QObject* parent = nullptr);

Q_SIGNALS:
    void sessionLocked();

private Q_SLOTS:
    void screenSaverActive(bool active);
    void lockRequested();
    void sessionFound(const QDBusObjectPath& session);

private:
    QDBusConnection system_{QString()};
};
