#include "Tray/TrayMenu.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include "Common/AppIcon.h"
#include "Localization/Localization.h"
#include "Shell/AppInfo.h"
#include "Shell/UpdaterController.h"

TrayMenu::TrayMenu(QObject* parent) : QObject(parent), menu_(new QMenu), icon_(new QSystemTrayIcon(this)) {
    menu_->setObjectName(QStringLiteral("trayMenu"));
    title_ = menu_->addAction(QStringLiteral("Korvel ID %1 (build %2)").arg(AppInfo::version(), AppInfo::build()));
    title_->setEnabled(false);
    menu_->addSeparator();
    open_ = menu_->addAction(QString(), this, [this] { if (onOpenSettings) onOpenSettings(); });
    open_->setObjectName(QStringLiteral("trayOpen"));
    open_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    about_ = menu_->addAction(QString(), this, [this] { if (onShowAbout) onShowAbout(); });
    about_->setObjectName(QStringLiteral("trayAbout"));
    updates_ = menu_->addAction(QString(), this, [this] { if (onCheckForUpdates) onCheckForUpdates(); });
    updates_->setObjectName(QStringLiteral("trayCheckUpdates"));
    // Offered only where it can do something: a desktop update tool to open.
    updates_->setVisible(UpdaterController::canCheckForUpdates());
    menu_->addSeparator();
    quit_ = menu_->addAction(QString(), this, [this] { if (onQuit) onQuit(); });
    quit_->setObjectName(QStringLiteral("trayQuit"));
    quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    icon_->setIcon(AppIcon::icon());
    icon_->setToolTip(QStringLiteral("Korvel ID"));
    icon_->setContextMenu(menu_);
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && onOpenSettings) onOpenSettings();
    });
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &TrayMenu::retranslate);
    retranslate();
    watch_ = new QTimer(this);
    watch_->setInterval(watchIntervalMs);
    connect(watch_, &QTimer::timeout, this, &TrayMenu::checkAvailability);
}

TrayMenu::~TrayMenu() { delete menu_; }

bool TrayMenu::show() {
    watch_->start();
    shown_ = QSystemTrayIcon::isSystemTrayAvailable();
    icon_->setVisible(shown_);
    return shown_;
}

void TrayMenu::checkAvailability() {
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    if (available == shown_) return;
    shown_ = available;
    icon_->setVisible(available);
    Q_EMIT availabilityChanged(available);
}

void TrayMenu::retranslate() {
    open_->setText(qL("menu.open"));
    about_->setText(qL("menu.about"));
    updates_->setText(qL("menu.checkUpdates"));
    quit_->setText(qL("menu.quit"));
}
