#pragma once
// The app-lock page's model: the protected applications as a list model (one row each, in the
// store's order), whether window control works and why not, and the page's actions. Everything
// goes through the AppLockBackend; after every change the list is read back from it.
#include <QAbstractListModel>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "AppLock/AppLockBackend.h"
#include "AppLock/InstalledApplication.h"
#include "Identity/CredentialGate.h"

class AppLockModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(bool hasWindowControl READ hasWindowControl NOTIFY hasWindowControlChanged)

public:
    enum Role { BundleIDRole = Qt::UserRole + 1, GraceRole };
    // Why window control is missing, for the banner.
    enum class Unavailability { none, waylandSession, noWindowManager, gnomeExtension };

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
    bool isListSaved() const { return listSaved_; }
    bool hasWindowControl() const { return windowControl_ == WindowControl::available; }
    Unavailability unavailability() const;
    // The line that says how apps are covered on this desktop; empty while they cannot be.
    QString integrationText() const;
    bool isPolling() const { return pollTimer_.isActive(); }

    void refresh();
    // Adds the chosen applications in order as "until it quits"; this program itself is skipped.
    void addApps(const std::vector<InstalledApplication>& chosen);
    // Both change who can unlock: they ask for the existing credential first (CredentialGate) and
    // change nothing when it is refused.
    void setGrace(const std::string& bundleID, std::int64_t seconds);
    void remove(const std::string& bundleID);
    // Asks the window system to look again (a window manager may have started) and polls.
    void checkAgain();
    bool keepsLockedAppsIconified() const { return backend_->keepsLockedAppsIconified(); }
    // Turning it on is immediate; turning it off asks for the credential like the changes above.
    void setKeepsLockedAppsIconified(bool on);
    // The window-control poll while the page is shown; it stops by itself once control works.
    void startPolling();
    void stopPolling();

Q_SIGNALS:
    void hasWindowControlChanged();
    // A change was refused because only the master password could allow it and the keyring is locked.
    void keyringLocked();
    void keepsLockedAppsIconifiedChanged();
    // Also when a save succeeds or fails without changing the list.
    void isListSavedChanged();

private:
    void whenAllowed(CredentialGate::Change change, std::function<void()> apply);
    void answered(CredentialGate::Outcome outcome, const std::function<void()>& apply);
    void pollOnce();
    void setWindowControl(WindowControl value);

    std::shared_ptr<AppLockBackend> backend_;
    WindowControl windowControl_ = WindowControl::available;
    std::vector<ProtectedApp> apps_;
    bool listSaved_;
    QTimer pollTimer_;
};
