#pragma once
// The software updater's holder. Linux installs are updated by the system's package manager; a
// user-initiated check opens the desktop's update tool (GNOME Software, KDE Discover) where there
// is one, and the menu offers the check only then.
#include <QObject>

class QWidget;

class UpdaterController : public QObject {
    Q_OBJECT

public:
    static UpdaterController& shared();
    static bool canCheckForUpdates();
    // Opens the update tool; without one, says where updates come from (a message through
    // DialogRunner).
    void checkForUpdates(QWidget* parent = nullptr);

private:
    UpdaterController() = default;
};
