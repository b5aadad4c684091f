#include "Settings/SystemFaceModel.h"

#include <QCoreApplication>
#include <QPointer>

#include "Localization/Localization.h"
#include "Support/SymmetricKey.h"
#include "System/SystemFace.h"

namespace {

SystemFaceModel::Phase phaseOf(const SystemFace::Status& s) {
    using P = SystemFaceModel::Phase;
    return !s.reachable ? P::unavailable : s.enrolled ? P::enrolled : P::notEnrolled;
}

QString outcomeText(const SystemFace::Reply& reply, const char* successKey) {
    if (reply.ok()) return qL(successKey);
    if (reply.message == AuthProtocol::incorrectPassword) return qL("general.systemFaceWrongPassword");
    return qL("general.systemFaceFailed").replace(QStringLiteral("%@"), QString::fromStdString(reply.message));
}

}  // namespace

SystemFaceModel::SystemFaceModel(QObject* parent) : QObject(parent) {}

// The worker (a jthread) is asked to stop and joined here, so it never outlives the model; what
// it queued for the main thread finds the model gone and does nothing.
SystemFaceModel::~SystemFaceModel() = default;

void SystemFaceModel::run(std::function<void(std::stop_token)> work) {
    if (phase_ == Phase::working && worker_.joinable()) return;
    phase_ = Phase::working;
    message_.clear();
    Q_EMIT changed();
    worker_ = std::jthread(std::move(work));
}

void SystemFaceModel::finish(Phase phase, QString message) {
    phase_ = phase;
    message_ = std::move(message);
    captured_ = total_ = 0;
    Q_EMIT changed();
}

void SystemFaceModel::showProgress(int captured, int total) {
    captured_ = captured;
    total_ = total;
    Q_EMIT changed();
}

void SystemFaceModel::refresh() {
    QPointer<SystemFaceModel> self(this);
    run([self](std::stop_token) {
        const Phase p = phaseOf(SystemFace::status());
        QMetaObject::invokeMethod(qApp, [self, p] {
            if (self) self->finish(p, {});
        }, Qt::QueuedConnection);
    });
}

void SystemFaceModel::enroll(QString password) {
    // A short string's bytes stay behind in every std::string it is moved from; SecretString wipes
    // each one, and SystemFace::enroll wipes the copy it is given.
    QByteArray utf8 = password.toUtf8();
    password.fill(QChar(0));
    SecretString secret(std::string(utf8.constData(), static_cast<std::size_t>(utf8.size())));
    utf8.fill('\0');
    QPointer<SystemFaceModel> self(this);
    run([self, secret = std::move(secret)](std::stop_token stop) {
        const auto reply = SystemFace::enroll({}, secret.str(), [self](int captured, int total) {
            QMetaObject::invokeMethod(qApp, [self, captured, total] {
                if (self) self->showProgress(captured, total);
            }, Qt::QueuedConnection);
        }, stop);
        if (stop.stop_requested()) return;
        const Phase p = phaseOf(SystemFace::status());
        QMetaObject::invokeMethod(qApp, [self, p, reply] {
            if (self) self->finish(p, outcomeText(reply, "general.systemFaceEnrolledNow"));
        }, Qt::QueuedConnection);
    });
}

void SystemFaceModel::remove() {
    QPointer<SystemFaceModel> self(this);
    run([self](std::stop_token) {
        const auto reply = SystemFace::remove();
        const Phase p = phaseOf(SystemFace::status());
        QMetaObject::invokeMethod(qApp, [self, p, reply] {
            if (self) self->finish(p, outcomeText(reply, "general.systemFaceRemovedNow"));
        }, Qt::QueuedConnection);
    });
}
