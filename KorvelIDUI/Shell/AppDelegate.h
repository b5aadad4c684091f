#pragma once
// The application's lifetime: the tray menu, the three windows (created on first use and kept),
// start-up, reopening and quitting through the quit guard.
#include <QObject>

class AboutWindow;
class QWidget;
class AppState;
class OnboardingWindow;
class QuitGuard;
class SettingsWindow;
class SystemQuitWatcher;
class TrayMenu;

class AppDelegate : public QObject {
    Q_OBJECT

public:
    explicit AppDelegate(AppState& state, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Tray, launch log line, app-lock monitoring, then the onboarding or the settings window.
    // `trayOnly` (started at login): no settings window when a tray icon takes its place, that is
    // when a tray host exists now or appears within trayWaitMs.
    void start(bool trayOnly = false);
    static constexpr int trayWaitMs = 6000;
    // A later start of the program (or the desktop entry) asked for the window: shows the
    // onboarding or the settings window unless one of the windows is already visible.
    void reopen();
    void showSettings();
    void showOnboarding();
    void showAbout();

    QuitGuard& quitGuard() { return *quit_; }
    TrayMenu& tray() { return *tray_; }
    SettingsWindow* settingsWindow() { return settings_; }
    OnboardingWindow* onboardingWindow() { return onboarding_; }
    AboutWindow* aboutWindow() { return about_; }
    bool hasTray() const { return hasTray_; }

private:
    bool anyWindowVisible() const;
    void trayAvailabilityChanged(bool available);
    // Ctrl+Q (the guarded quit) and Ctrl+, (the main window), as the tray menu advertises them.
    void addShortcuts(QWidget* window);

    AppState& state_;
    TrayMenu* tray_;
    QuitGuard* quit_;
    SystemQuitWatcher* systemQuit_;
    OnboardingWindow* onboarding_ = nullptr;
    SettingsWindow* settings_ = nullptr;
    AboutWindow* about_ = nullptr;
    bool hasTray_ = false;
};
