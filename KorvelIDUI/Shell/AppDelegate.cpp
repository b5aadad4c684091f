#include "Shell/AppDelegate.h"

#include <QApplication>
#include <QShortcut>
#include <QTimer>

#include "About/AboutWindow.h"
#include "Onboarding/OnboardingWindow.h"
#include "Settings/SettingsWindow.h"
#include "Shell/AppLog.h"
#include "Shell/AppState.h"
#include "Shell/QuitGuard.h"
#include "Shell/ShellServices.h"
#include "Shell/SystemQuitWatcher.h"
#include "Shell/UpdaterController.h"
#include "Tray/TrayMenu.h"

// exit(), not quit(): Qt's quit first asks every window to close and gives up if one refuses, as
// a curtain does.
AppDelegate::AppDelegate(AppState& state, QObject* parent)
    : QObject(parent), state_(state), tray_(new TrayMenu(this)),
      quit_(new QuitGuard([] { QCoreApplication::exit(0); }, this)), systemQuit_(new SystemQuitWatcher(this)) {
    connect(systemQuit_, &SystemQuitWatcher::systemQuitRequested, quit_, &QuitGuard::systemQuit);
}

AppDelegate::~AppDelegate() {
    delete onboarding_;
    delete settings_;
    delete about_;
}

void AppDelegate::start(bool trayOnly) {
    // The tray (or the desktop entry) brings windows back; closing one must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    tray_->onOpenSettings = [this] { state_.isOnboarded() ? showSettings() : showOnboarding(); };
    tray_->onShowAbout = [this] { showAbout(); };
    tray_->onCheckForUpdates = [] { UpdaterController::shared().checkForUpdates(); };
    tray_->onQuit = [this] { quit_->requestQuit(); };
    ShellServices::shared().showAbout = [this] { showAbout(); };
    ShellServices::shared().requestQuit = [this] { quit_->requestQuit(); };
    connect(tray_, &TrayMenu::availabilityChanged, this, &AppDelegate::trayAvailabilityChanged);
    hasTray_ = tray_->show();
    state_.setHasTray(hasTray_);
    AppLog::app().info(strprintf("Korvel ID launched. onboarded=%s face=%s", state_.isOnboarded() ? "true" : "false",
                                 state_.isFaceEnrolled() ? "true" : "false"));
    if (!hasTray_) AppLog::app().info("No system tray: the window stays the way back in.");
    ShellServices::shared().startMonitoring();
    if (!state_.isOnboarded()) return showOnboarding();
    if (!trayOnly) return showSettings();
    // At login the panel may start after us: give it a moment before opening the window instead.
    if (!hasTray_) QTimer::singleShot(trayWaitMs, this, [this] {
        if (!hasTray_ && !anyWindowVisible()) showSettings();
    });
}

void AppDelegate::trayAvailabilityChanged(bool available) {
    hasTray_ = available;
    state_.setHasTray(available);
    AppLog::app().info(available ? "A system tray appeared: the icon is shown." : "The system tray went away.");
    // Without the icon the window is the only way in; bring it back if none is open.
    if (!available && !anyWindowVisible()) reopen();
}

void AppDelegate::addShortcuts(QWidget* window) {
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), window), &QShortcut::activated, quit_, &QuitGuard::requestQuit);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), window), &QShortcut::activated, this,
            [this] { state_.isOnboarded() ? showSettings() : showOnboarding(); });
}

bool AppDelegate::anyWindowVisible() const {
    for (const QWidget* w : {static_cast<const QWidget*>(onboarding_), static_cast<const QWidget*>(settings_),
                             static_cast<const QWidget*>(about_)})
        if (w && w->isVisible() && !w->isMinimized()) return true;
    return false;
}

void AppDelegate::reopen() {
    if (anyWindowVisible()) {
        // Still bring it forward: the user asked for the program.
        if (settings_ && settings_->isVisible()) settings_->present();
        else if (onboarding_ && onboarding_->isVisible()) onboarding_->present();
        return;
    }
    state_.isOnboarded() ? showSettings() : showOnboarding();
}

void AppDelegate::showSettings() {
    if (!settings_) {
        settings_ = new SettingsWindow(state_);
        addShortcuts(settings_);
    }
    settings_->present();
}

void AppDelegate::showOnboarding() {
    if (!onboarding_) {
        onboarding_ = new OnboardingWindow(state_);
        onboarding_->setOnComplete([this] { showSettings(); });
        addShortcuts(onboarding_);
    }
    onboarding_->present();
}

void AppDelegate::showAbout() {
    if (!about_) {
        about_ = new AboutWindow;
        addShortcuts(about_);
    }
    about_->present();
}
