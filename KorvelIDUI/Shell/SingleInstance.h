#pragma once
// One running program per user session. The first process owns the session-bus name
// "com.korvel.id" and answers "Activate" by showing its window; a later start finds the name
// taken, asks the owner to activate, and ends.
#include <QDBusConnection>
#include <QObject>
#include <QString>

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
    };
    Claim claim();

public Q_SLOTS:
    // Called over D-Bus by a later start.
    void Activate();

Q_SIGNALS:
    void activationRequested();

private:
    QString serviceName_;
    QDBusConnection bus_;
    bool registered_ = false;
};
