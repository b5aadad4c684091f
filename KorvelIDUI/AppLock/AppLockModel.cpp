#include "AppLock/AppLockModel.h"

#include <utility>

#include "Localization/Localization.h"
#include "Support/AppPaths.h"

AppLockModel::AppLockModel(std::shared_ptr<AppLockBackend> backend, QString sessionType, QObject* parent)
    : QAbstractListModel(parent), backend_(std::move(backend)), sessionType_(std::move(sessionType)) {
    apps_ = backend_->protectedApps();
    hasWindowControl_ = backend_->hasWindowControl();
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
    return qL("applock.graceSeconds").replace("%d", QString::number(seconds));
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
    if (hasWindowControl_) return Unavailability::none;
    return sessionType_.compare("wayland", Qt::CaseInsensitive) == 0 ? Unavailability::waylandSession
                                                                      : Unavailability::noWindowManager;
}

void AppLockModel::refresh() {
    auto apps = backend_->protectedApps();
    if (apps != apps_) {
        beginResetModel();
        apps_ = std::move(apps);
        endResetModel();
    }
    setHasWindowControl(backend_->hasWindowControl());
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
    backend_->setGrace(seconds, bundleID);
    refresh();
}

void AppLockModel::remove(const std::string& bundleID) {
    backend_->remove(bundleID);
    refresh();
}

void AppLockModel::grant() {
    backend_->requestWindowControl();
    startPolling();
}

void AppLockModel::startPolling() {
    if (hasWindowControl_) return;
    pollTimer_.start();
}

void AppLockModel::stopPolling() { pollTimer_.stop(); }

void AppLockModel::pollOnce() {
    setHasWindowControl(backend_->hasWindowControl());
    if (hasWindowControl_) pollTimer_.stop();
}

void AppLockModel::setHasWindowControl(bool value) {
    if (value == hasWindowControl_) return;
    hasWindowControl_ = value;
    Q_EMIT hasWindowControlChanged();
}
