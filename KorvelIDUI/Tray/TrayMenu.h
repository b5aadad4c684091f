#pragma once
// The tray icon and its menu: title line, Open (Ctrl+,), About, Check for Updates, Quit (Ctrl+Q).
// The menu is relabelled when the language changes.
#include <QObject>

#include <functional>

class QAction;
class QMenu;
class QSystemTrayIcon;

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
    // Shows the icon when the desktop has a tray; false when it has none.
    bool show();

private:
    void retranslate();

    QMenu* menu_;
    QSystemTrayIcon* icon_;
    QAction* title_;
    QAction* open_;
    QAction* about_;
    QAction* updates_;
    QAction* quit_;
};
