#include "LockScreen/LockScreenController.h"

#include "LockScreen/KorvelIDLockScreen.h"

#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QWidget>

#include <utility>

namespace {
constexpr int blurMs = 250;
constexpr int appearMs = 250;
constexpr int unlockFadeMs = 300;
}  // namespace

LockScreenController::LockScreenController(QWidget* host, QString title, QString subtitle,
                                           std::function<void()> onCancel, LockScreenModel::UnlockFunction unlock)
    : QObject(host),
      host_(host),
      title_(std::move(title)),
      subtitle_(std::move(subtitle)),
      onCancel_(std::move(onCancel)),
      unlock_(std::move(unlock)) {
    setObjectName("korvelIDLock");
    host_->installEventFilter(this);
    blurAnimation_.setEasingCurve(QEasingCurve::InOutQuad);
    connect(&blurAnimation_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& v) { setBlurRadius(v.toDouble()); });
    fadeAnimation_.setEasingCurve(QEasingCurve::InOutQuad);
    connect(&fadeAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        if (screenOpacity_) screenOpacity_->setOpacity(v.toDouble());
    });
    connect(&fadeAnimation_, &QVariantAnimation::finished, this, [this] {
        if (locked_ || !screen_) return;
        screen_->deleteLater();
        screen_ = nullptr;
        screenOpacity_ = nullptr;
    });
}

double LockScreenController::coverOpacity() const { return screenOpacity_ ? screenOpacity_->opacity() : 0; }

void LockScreenController::setLocked(bool locked) {
    if (locked == locked_) return;
    locked_ = locked;
    if (locked) cover();
    else uncover(appearMs);
    Q_EMIT lockedChanged(locked);
}

QImage LockScreenController::snapshot() {
    // The content as it looks now, without the cover.
    const bool covered = screen_ && screen_->isVisible();
    if (covered) screen_->setVisible(false);
    QImage image = host_->grab().toImage();
    if (covered) screen_->setVisible(true);
    return image;
}

void LockScreenController::cover() {
    const QImage still = snapshot();
    disableContent();
    // Each lock gets a fresh screen, which starts idle and scans as it appears.
    if (screen_) screen_->deleteLater();
    auto* screen = new KorvelIDLockScreen(title_, subtitle_, {}, onCancel_, unlock_, host_);
    screen->setOnUnlock([this, screen] {
        if (screen != screen_ || !locked_) return;
        locked_ = false;
        uncover(unlockFadeMs);
        Q_EMIT lockedChanged(false);
    });
    screen_ = screen;
    screen->setBackdrop(still);
    screen->setBackdropBlur(blurRadius_);
    screenOpacity_ = new QGraphicsOpacityEffect(screen);
    screenOpacity_->setOpacity(0);
    screen->setGraphicsEffect(screenOpacity_);
    screen->setGeometry(host_->rect());
    screen->raise();
    screen->show();
    fadeAnimation_.stop();
    fadeAnimation_.setDuration(appearMs);
    fadeAnimation_.setStartValue(0.0);
    fadeAnimation_.setEndValue(1.0);
    fadeAnimation_.start();
    blurAnimation_.stop();
    blurAnimation_.setDuration(blurMs);
    blurAnimation_.setStartValue(blurRadius_);
    blurAnimation_.setEndValue(lockedBlurRadius);
    blurAnimation_.start();
}

void LockScreenController::uncover(int fadeMs) {
    // The content comes back at once; the cover fades out over it while its still sharpens.
    enableContent();
    blurAnimation_.stop();
    blurAnimation_.setDuration(blurMs);
    blurAnimation_.setStartValue(blurRadius_);
    blurAnimation_.setEndValue(0.0);
    blurAnimation_.start();
    if (!screen_) return;
    screen_->setEnabled(false);
    fadeAnimation_.stop();
    fadeAnimation_.setDuration(fadeMs);
    fadeAnimation_.setStartValue(coverOpacity());
    fadeAnimation_.setEndValue(0.0);
    fadeAnimation_.start();
}

void LockScreenController::disableContent() {
    // The host's own children are disabled one by one, so the lock screen (also a child) stays
    // usable even when the host is a whole window.
    for (QWidget* child : host_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isWindow() || qobject_cast<KorvelIDLockScreen*>(child) || !child->isEnabled()) continue;
        child->setEnabled(false);
        disabled_.emplace_back(child);
    }
}

void LockScreenController::enableContent() {
    for (const auto& child : disabled_)
        if (child) child->setEnabled(true);
    disabled_.clear();
}

void LockScreenController::setBlurRadius(double radius) {
    blurRadius_ = radius;
    if (screen_) screen_->setBackdropBlur(radius);
}

bool LockScreenController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == host_ && event->type() == QEvent::Resize && screen_) {
        screen_->setGeometry(host_->rect());
        if (locked_) screen_->setBackdrop(snapshot());
    }
    return QObject::eventFilter(watched, event);
}

LockScreenController* korvelIDLock(QWidget* host, const QString& title, const QString& subtitle,
                                   std::function<void()> onCancel, LockScreenModel::UnlockFunction unlock) {
    return new LockScreenController(host, title, subtitle, std::move(onCancel), std::move(unlock));
}
