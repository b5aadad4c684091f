#pragma once
// One running program per user session. The first process owns the session-bus name
// "com.korvel.id" and answers "Activate" by showing its window; a later start finds the name
// taken, asks the owner to activate, and ends. Any process may take the name first, so a later
// start hands over only to an owner the caller accepts (one that holds the data folder).
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <sys/types.h>

#include <functional>
#include <optional>

class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.korvel.id.Application")

public:
    static constexpr const char* defaultServiceName = "com.korvel.id";
    static constexpr const char* objectPath = "/com/korvel/id";

    explicit SingleInstance(QString serviceName = QString::fromLatin1(defaultServiceName),
                            QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~SingleInstance() override;

    enum class Claim {
        primary,    // this process owns the name now
        activated,  // another process owns it and was asked to show its window
        noBus,      // no session bus: nothing to coordinate with (the data-folder lock still holds)
        foreign,    // another process owns it and is not a running Korvel ID: nothing was asked of it
    };
    // `ownerIsOurs` hears the owner's PID (when the bus tells it) and says whether it is the running
    // program; without it every owner is taken for ours.
    Claim claim(const std::function<bool(std::optional<pid_t> ownerPid)>& ownerIsOurs = {});
    // The owner's PID as the bus reported it at the last claim().
    std::optional<pid_t> ownerPid() const { return ownerPid_; }

public Q_SLOTS:
    // Called over D-Bus by a later start.
    void Activate();

Q_SIGNALS:
    void activationRequested();

private:
    QString serviceName_;
    QDBusConnection bus_;
    bool registered_ = false;
    std::optional<pid_t> ownerPid_;
};
