#pragma once
// The app-lock page's model: the protected applications as a list model (one row each, in the
// store's order), whether window control works and why not, and the page's actions. Everything
// goes through the AppLockBackend; after every change the list is read back from it.
#include <QAbstractListModel>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <vector>

#include "AppLock/AppLockBackend.h"
#include "AppLock/InstalledApplication.h"

class AppLockModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(bool hasWindowControl READ hasWindowControl NOTIFY hasWindowControlChanged)

public:
    enum Role { BundleIDRole = Qt::UserRole + 1, GraceRole };
    // Why window control is missing, for the banner.
    enum class Unavailability { none, waylandSession, noWindowManager };

    static constexpr const char* ownBundleID = "com.korvel.id";
    static constexpr int pollIntervalMs = 1000;

    explicit AppLockModel(std::shared_ptr<AppLockBackend> backend, QObject* parent = nullptr);

    // The grace choices offered, in order, and the label of any grace value.
    static const std::vector<std::int64_t>& graceOptions();
    static QString graceLabel(std::int64_t seconds);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    const std::vector<ProtectedApp>& apps() const { return apps_; }
    bool hasWindowControl() const { return windowControl_ == WindowControl::available; }
    Unavailability unavailability() const;
    bool isPolling() const { return pollTimer_.isActive(); }

    void refresh();
    // Adds the chosen applications in order as "until it quits"; this program itself is skipped.
    void addApps(const std::vector<InstalledApplication>& chosen);
    void setGrace(const std::string& bundleID, std::int64_t seconds);
    void remove(const std::string& bundleID);
    void grant();
    // The window-control poll while the page is shown; it stops by itself once control works.
    void startPolling();
    void stopPolling();

Q_SIGNALS:
    void hasWindowControlChanged();

private:
    void pollOnce();
    void setWindowControl(WindowControl value);

    std::shared_ptr<AppLockBackend> backend_;
    WindowControl windowControl_ = WindowControl::available;
    std::vector<ProtectedApp> apps_;
    QTimer pollTimer_;
};
