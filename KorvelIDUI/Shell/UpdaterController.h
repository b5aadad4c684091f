#pragma once
// The software updater's holder. Linux installs are updated by the system's package manager, so a
// user-initiated check says so instead of downloading anything itself.
#include <QObject>

class QWidget;

class UpdaterController : public QObject {
    Q_OBJECT

public:
    static UpdaterController& shared();
    // Shows where updates come from (a message through DialogRunner).
    void checkForUpdates(QWidget* parent = nullptr);

private:
    UpdaterController() = default;
};
