#pragma once
// Locks a host widget behind a KorvelIDLockScreen: while locked, the host's content is disabled and
// covered by the lock screen, which shows a still of it blurred with radius 18; a face approval
// unlocks it.
//
//   auto* lock = korvelIDLock(page, "Private notes", "Look at the camera to continue.");
//   lock->setLocked(true);
#include "LockScreen/LockScreenModel.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantAnimation>

#include <functional>
#include <vector>

class KorvelIDLockScreen;
class QGraphicsOpacityEffect;
class QWidget;

class LockScreenController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool locked READ isLocked WRITE setLocked NOTIFY lockedChanged)

public:
    static constexpr double lockedBlurRadius = 18;

    // Owned by `host`. `onCancel` empty: the lock screen has no cancel button.
    LockScreenController(QWidget* host, QString title, QString subtitle, std::function<void()> onCancel = {},
                         LockScreenModel::UnlockFunction unlock = {});

    bool isLocked() const { return locked_; }
    void setLocked(bool locked);

    // The lock screen while locked (and while it fades out), else null.
    KorvelIDLockScreen* lockScreen() const { return screen_; }
    double blurRadius() const { return blurRadius_; }
    double coverOpacity() const;

Q_SIGNALS:
    void lockedChanged(bool locked);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void cover();
    void uncover(int fadeMs);
    void setBlurRadius(double radius);
    void disableContent();
    void enableContent();
    QImage snapshot();

    QWidget* host_;
    QString title_;
    QString subtitle_;
    std::function<void()> onCancel_;
    LockScreenModel::UnlockFunction unlock_;
    bool locked_ = false;
    double blurRadius_ = 0;
    KorvelIDLockScreen* screen_ = nullptr;  // a child of the host, deleted by us or with the host
    QGraphicsOpacityEffect* screenOpacity_ = nullptr;
    QVariantAnimation blurAnimation_;
    QVariantAnimation fadeAnimation_;
    std::vector<QPointer<QWidget>> disabled_;  // content we disabled, enabled again on unlock

};

// The view modifier: locks `host` behind a lock screen whenever the returned object's `locked`
// property is true.
LockScreenController* korvelIDLock(QWidget* host, const QString& title, const QString& subtitle,
                                   std::function<void()> onCancel = {}, LockScreenModel::UnlockFunction unlock = {});
