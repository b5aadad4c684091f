#include "AppLock/AppLockModel.h"

#include <QPointer>

#include <utility>

#include "Support/Async.h"

#include "Localization/Localization.h"
#include "Support/AppPaths.h"

AppLockModel::AppLockModel(std::shared_ptr<AppLockBackend> backend, QObject* parent)
    : QAbstractListModel(parent), backend_(std::move(backend)) {
    apps_ = backend_->protectedApps();
    listSaved_ = backend_->isListSaved();
    windowControl_ = backend_->windowControl();
    pollTimer_.setInterval(pollIntervalMs);
    connect(&pollTimer_, &QTimer::timeout, this, &AppLockModel::pollOnce);
}

const std::vector<std::int64_t>& AppLockModel::graceOptions() {
    static const std::vector<std::int64_t> options = {-1, 0, 30, 60, 300};
    return options;
}

QString AppLockModel::graceLabel(std::int64_t seconds) {
    if (seconds < 0) return qL("applock.graceUntilQuit");
    if (seconds == 0) return qL("applock.graceEveryTime");
    if (seconds % 60 == 0) return qLCount("applock.graceMinute", "applock.graceMinutes", seconds / 60);
    return qLCount("applock.graceSecond", "applock.graceSeconds", seconds);
}

int AppLockModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(apps_.size());
}

QVariant AppLockModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const ProtectedApp& app = apps_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole: return QString::fromStdString(app.name);
    case BundleIDRole: return QString::fromStdString(app.bundleIdentifier);
    case GraceRole: return static_cast<qlonglong>(app.graceSeconds);
    default: return {};
    }
}

QHash<int, QByteArray> AppLockModel::roleNames() const {
    return {{Qt::DisplayRole, "name"}, {BundleIDRole, "bundleIdentifier"}, {GraceRole, "graceSeconds"}};
}

AppLockModel::Unavailability AppLockModel::unavailability() const {
    switch (windowControl_) {
    case WindowControl::available: return Unavailability::none;
    case WindowControl::waylandSession: return Unavailability::waylandSession;
    case WindowControl::gnomeExtensionMissing: return Unavailability::gnomeExtension;
    default: return Unavailability::noWindowManager;
    }
}

QString AppLockModel::integrationText() const {
    if (!hasWindowControl()) return {};
    switch (backend_->integration()) {
    case WindowIntegration::x11: return qL("applock.integrationX11");
    case WindowIntegration::sway: return qL("applock.integrationSway");
    case WindowIntegration::kwin: return qL("applock.integrationKWin");
    case WindowIntegration::gnomeShell: return qL("applock.integrationGnome");
    case WindowIntegration::none: break;
    }
    return {};
}

void AppLockModel::refresh() {
    auto apps = backend_->protectedApps();
    if (apps != apps_) {
        beginResetModel();
        apps_ = std::move(apps);
        endResetModel();
    }
    if (const bool saved = backend_->isListSaved(); saved != listSaved_) {
        listSaved_ = saved;
        Q_EMIT isListSavedChanged();
    }
    setWindowControl(backend_->windowControl());
}

void AppLockModel::addApps(const std::vector<InstalledApplication>& chosen) {
    const std::string running = AppPaths::applicationIdentifier();
    for (const auto& app : chosen) {
        // This program never protects itself: it would lock the user out of its own settings.
        if (app.id.empty() || app.id == ownBundleID || app.id == running) continue;
        backend_->add({app.id, app.name.empty() ? app.id : app.name, -1});
    }
    refresh();
}

void AppLockModel::setGrace(const std::string& bundleID, std::int64_t seconds) {
    whenAllowed(CredentialGate::Change::changeGrace, [this, bundleID, seconds] { backend_->setGrace(seconds, bundleID); });
}

void AppLockModel::remove(const std::string& bundleID) {
    whenAllowed(CredentialGate::Change::unprotectApp, [this, bundleID] { backend_->remove(bundleID); });
}

void AppLockModel::setKeepsLockedAppsIconified(bool on) {
    const auto apply = [this, on] {
        backend_->setKeepsLockedAppsIconified(on);
        Q_EMIT keepsLockedAppsIconifiedChanged();
    };
    if (on) return apply();
    whenAllowed(CredentialGate::Change::showLockedApps, apply);
}

void AppLockModel::whenAllowed(CredentialGate::Change change, std::function<void()> apply) {
    using Outcome = CredentialGate::Outcome;
    Async::whenFinished(CredentialGate::confirm(change), [self = QPointer(this), apply = std::move(apply)](const QFuture<Outcome>& f) {
        if (self) self->answered(Async::valueOr(f, Outcome::refused), apply);
    });
}

void AppLockModel::answered(CredentialGate::Outcome outcome, const std::function<void()>& apply) {
    if (outcome == CredentialGate::Outcome::allowed) {
        apply();
        return refresh();
    }
    // The rows show what is stored again (a picker may show the refused choice).
    beginResetModel();
    endResetModel();
    if (outcome == CredentialGate::Outcome::keyringLocked) Q_EMIT keyringLocked();
}

void AppLockModel::checkAgain() {
    backend_->requestWindowControl();
    refresh();
    startPolling();
}

void AppLockModel::startPolling() {
    if (hasWindowControl()) return;
    pollTimer_.start();
}

void AppLockModel::stopPolling() { pollTimer_.stop(); }

void AppLockModel::pollOnce() {
    setWindowControl(backend_->windowControl());
    if (hasWindowControl()) pollTimer_.stop();
}

void AppLockModel::setWindowControl(WindowControl value) {
    if (value == windowControl_) return;
    windowControl_ = value;
    Q_EMIT hasWindowControlChanged();
}
