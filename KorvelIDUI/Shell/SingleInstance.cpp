#include "Shell/SingleInstance.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

SingleInstance::SingleInstance(QString serviceName, QDBusConnection bus, QObject* parent)
    : QObject(parent), serviceName_(std::move(serviceName)), bus_(std::move(bus)) {}

SingleInstance::~SingleInstance() {
    if (!registered_) return;
    bus_.unregisterObject(QString::fromLatin1(objectPath));
    bus_.unregisterService(serviceName_);
}

SingleInstance::Claim SingleInstance::claim(const std::function<bool(std::optional<pid_t>)>& ownerIsOurs) {
    if (!bus_.isConnected() || !bus_.interface()) return Claim::noBus;
    if (!bus_.registerObject(QString::fromLatin1(objectPath), this, QDBusConnection::ExportAllSlots)) return Claim::noBus;
    const auto reply = bus_.interface()->registerService(serviceName_, QDBusConnectionInterface::DontQueueService,
                                                         QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        registered_ = true;
        return Claim::primary;
    }
    bus_.unregisterObject(QString::fromLatin1(objectPath));
    ownerPid_.reset();
    if (const auto pid = bus_.interface()->servicePid(serviceName_); pid.isValid() && pid.value() > 0)
        ownerPid_ = static_cast<pid_t>(pid.value());
    if (ownerIsOurs && !ownerIsOurs(ownerPid_)) return Claim::foreign;
    QDBusMessage call = QDBusMessage::createMethodCall(serviceName_, QString::fromLatin1(objectPath),
                                                       QStringLiteral("com.korvel.id.Application"), QStringLiteral("Activate"));
    // Waits for the answer while still serving this process's own bus objects.
    bus_.call(call, QDBus::BlockWithGui, 5000);
    return Claim::activated;
}

void SingleInstance::Activate() { Q_EMIT activationRequested(); }
