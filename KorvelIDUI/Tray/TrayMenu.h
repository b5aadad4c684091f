#pragma once
// The tray icon and its menu: title line, Open (Ctrl+,), About, Check for Updates (only where an
// update tool exists), Quit (Ctrl+Q). The menu is relabelled when the language changes. A tray
// host may start after the program (usual at login) or go away: it is looked for every two
// seconds and the icon shown or hidden then.
#include <QObject>

#include <functional>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;

class TrayMenu : public QObject {
    Q_OBJECT

public:
    explicit TrayMenu(QObject* parent = nullptr);
    ~TrayMenu() override;

    std::function<void()> onOpenSettings;
    std::function<void()> onShowAbout;
    std::function<void()> onCheckForUpdates;
    std::function<void()> onQuit;

    QMenu& menu() { return *menu_; }
    QSystemTrayIcon& icon() { return *icon_; }
    // Shows the icon when the desktop has a tray and keeps watching for one; false when it has
    // none right now.
    bool show();
    bool isShown() const { return shown_; }
    static constexpr int watchIntervalMs = 2000;

Q_SIGNALS:
    // A tray host appeared (true) or went away (false).
    void availabilityChanged(bool available);

private:
    void retranslate();
    void checkAvailability();

    QMenu* menu_;
    QSystemTrayIcon* icon_;
    QAction* title_;
    QAction* open_;
    QAction* about_;
    QAction* updates_;
    QAction* quit_;
    QTimer* watch_;
    bool shown_ = false;
};
