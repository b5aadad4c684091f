#include "Curtain/LockCurtainWindow.h"

#include <QCursor>
#include <QGuiApplication>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QScreen>
#include <QVBoxLayout>

#include <QFutureWatcher>
#include <QWindow>

#include <utility>

#include "AppLock/WindowSystem.h"
#include "Curtain/CurtainPanel.h"
#include "Curtain/LockCurtainView.h"
#include "Face/Settings.h"
#include "AppLock/KorvelIDAppLock.h"
#include "Identity/KorvelID.h"
#include "Identity/KorvelIDController.h"
#include "Identity/MasterPassword.h"
#include "Localization/Localization.h"
#include "Platform/X11KeyboardGrab.h"
#include "Support/Async.h"

namespace {
void stopFades(QWidget* window) {
    for (auto* animation : window->findChildren<QPropertyAnimation*>(Qt::FindDirectChildrenOnly)) animation->stop();
}

void fadeIn(QWidget* window) {
    stopFades(window);
    auto* animation = new QPropertyAnimation(window, "windowOpacity", window);
    animation->setDuration(LockCurtainWindow::fadeInMs);
    animation->setStartValue(0.0);
    animation->setEndValue(1.0);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

// Fades the windows out, closes them and then calls `then`. Independent of the curtain object,
// which may already be gone (the facade drops it when it is told about a cancellation).
void fadeOutAndClose(const QList<QPointer<CurtainPanel>>& windows, std::function<void()> then) {
    auto* group = new QParallelAnimationGroup;
    for (const auto& window : windows) {
        if (!window) continue;
        stopFades(window);
        auto* animation = new QPropertyAnimation(window, "windowOpacity");
        animation->setDuration(LockCurtainWindow::fadeOutMs);
        animation->setEndValue(0.0);
        group->addAnimation(animation);
    }
    QObject::connect(group, &QAbstractAnimation::finished, group, [windows, then = std::move(then)] {
        for (const auto& window : windows) {
            if (!window) continue;
            window->hide();
            window->deleteLater();
        }
        if (then) then();
    });
    group->start(QAbstractAnimation::DeleteWhenStopped);
}

CurtainPanel* showPanel(CurtainPanel* panel) {
    // The window system finds the curtain's windows by title where it must place them itself: the
    // key panel is named after the locked application, the covers get a unique name.
    static int shown = 0;
    if (panel->windowTitle().isEmpty()) panel->setWindowTitle(QStringLiteral("Korvel ID %1").arg(++shown));
    panel->show();
    panel->raise();
    fadeIn(panel);
    return panel;
}
}  // namespace

CurtainServices CurtainServices::defaults() {
    CurtainServices s;
    // A scan cancelled a moment ago may still be winding down (its frame in hand); the next one
    // starts when it has ended instead of being refused as busy.
    auto previous = std::make_shared<QFuture<UnlockResult>>();
    s.faceScan = [previous](std::function<void(UnlockResult)> done) {
        auto start = [previous, done = std::move(done)] {
            *previous = KorvelID::unlock(false);
            Async::whenFinished(*previous, [done](const QFuture<UnlockResult>& f) {
                done(Async::valueOr(f, UnlockResult::denied(KorvelIDController::cancelledReason)));
            });
        };
        if (previous->isRunning()) Async::whenFinished(*previous, [start](const QFuture<UnlockResult>&) { start(); });
        else start();
    };
    s.cancelFaceScan = [] { KorvelID::cancelUnlock(); };
    s.faceIsEnrolled = [] { return KorvelID::isEnrolled(); };
    s.verifyPassword = [](std::string password, std::function<void(bool)> done) {
        Async::whenFinished(MasterPassword::verifyAsync(std::move(password)),
                            [done](const QFuture<bool>& f) { done(Async::valueOr(f, false)); });
    };
    // A locked keyring keeps the route: once it is unlocked, the typed password checks.
    s.masterPasswordIsSet = [] { return MasterPassword::state() != MasterPassword::State::notSet; };
    s.passwordInReach = [] { return MasterPassword::state() != MasterPassword::State::unavailable; };
    s.requiresBlink = [] { return KorvelIDController::loadSettings().livenessRequired(); };
    s.hideScanDisplay = [] { KorvelID::hideNotch(); };
    s.makeKeyboardGrab = [] { return ::makeKeyboardGrab(); };
    return s;
}

LockCurtainFactory LockCurtainWindow::factory() {
    return [](const ProtectedApp& app, WindowSystem& windows, std::function<void()> onUnlocked,
              std::function<void()> onCancelled) {
        CurtainServices services = CurtainServices::defaults();
        services.windows = &windows;
        return std::make_unique<LockCurtainWindow>(app, std::move(onUnlocked), std::move(onCancelled), std::move(services));
    };
}

LockCurtainWindow::LockCurtainWindow(ProtectedApp app, std::function<void()> onUnlocked,
                                     std::function<void()> onCancelled, CurtainServices services)
    : app_(std::move(app)),
      onUnlocked_(std::move(onUnlocked)),
      onCancelled_(std::move(onCancelled)),
      services_(std::move(services)) {
    screenChange_.setSingleShot(true);
    screenChange_.setInterval(0);
    connect(&screenChange_, &QTimer::timeout, this, &LockCurtainWindow::handleScreenChange);
}

LockCurtainWindow::~LockCurtainWindow() {
    if (isFinishing_) return;  // the fade owns the windows now
    if (guarding_) services_.windows->guardWindows({}, nullptr);
    releaseKeyboard();
    QList<QPointer<CurtainPanel>> windows = coverWindows_;
    windows.append(keyWindow_);  // the key panel takes the model with it
    for (const auto& window : windows) {
        if (!window) continue;
        window->hide();
        window->deleteLater();
    }
}

int LockCurtainWindow::keyScreenIndex(const QList<QRect>& frames, QPoint pointer, int primary) {
    for (int i = 0; i < frames.size(); ++i)
        if (frames[i].contains(pointer)) return i;
    if (primary >= 0 && primary < frames.size()) return primary;
    return frames.isEmpty() ? -1 : 0;
}

QScreen* LockCurtainWindow::chooseKeyScreen() {
    const auto screens = QGuiApplication::screens();
    QList<QRect> frames;
    for (auto* screen : screens) frames.append(screen->geometry());
    const int index = keyScreenIndex(frames, QCursor::pos(), static_cast<int>(screens.indexOf(QGuiApplication::primaryScreen())));
    return index < 0 ? nullptr : screens[index];
}

QList<CurtainPanel*> LockCurtainWindow::coverWindows() const {
    QList<CurtainPanel*> covers;
    for (const auto& cover : coverWindows_)
        if (cover) covers.append(cover);
    return covers;
}

void LockCurtainWindow::present() {
    if (presented_) return;
    presented_ = true;
    QScreen* screen = chooseKeyScreen();
    if (!screen) {
        isFinishing_ = true;
        const auto cancelled = onCancelled_;  // may destroy this object
        if (cancelled) cancelled();
        return;
    }
    buildModel();
    auto* panel = new CurtainPanel(CurtainPanel::Role::key, screen);
    // Usable while one of this program's own dialogs is open: the newest modal window is the one
    // that takes input.
    panel->setWindowModality(Qt::ApplicationModal);
    model_->setParent(panel);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* view = new LockCurtainView(model_, panel);
    layout->addWidget(view);
    keyWindow_ = showPanel(panel);
    panel->activateWindow();
    keyScreen_ = screen;
    takeKeyboard();
    rebuildCovers();
    guard();
    placeWindows(true);
    // Another window of this program taking the focus (a second start bringing the settings
    // forward, a dialog) would receive the keys the grab delivers: the panel takes it back.
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, &LockCurtainWindow::focusMoved);
    // A new language renames the key panel: the window system must find it by its new name.
    connect(&Localizer::shared(), &Localizer::languageChanged, this, [this] {
        if (placed_) placeWindows(true);
    });

    for (auto* s : QGuiApplication::screens()) watchScreen(s);
    connect(qGuiApp, &QGuiApplication::screenAdded, this, [this](QScreen* added) {
        watchScreen(added);
        screenChange_.start();
    });
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, [this] { screenChange_.start(); });
    connect(qGuiApp, &QGuiApplication::primaryScreenChanged, this, [this] { screenChange_.start(); });

    // The time-out cancels through the model, so it ends the curtain at most once and does
    // nothing once the curtain has ended (the model is then done, or gone with its panel).
    QTimer::singleShot(services_.timeout, model_.data(), [model = model_] {
        if (model) model->cancel();
    });
}

void LockCurtainWindow::buildModel() {
    const bool requiresBlink = services_.requiresBlink ? services_.requiresBlink() : true;
    const bool hasPassword = services_.masterPasswordIsSet && services_.masterPasswordIsSet();
    CurtainModel::PasswordCheck verify = [s = services_](std::string password, std::function<void(bool)> done) {
        if (s.masterPasswordIsSet && s.masterPasswordIsSet() && s.verifyPassword)
            s.verifyPassword(std::move(password), std::move(done));
        else
            done(false);
    };
    QPointer<LockCurtainWindow> self(this);
    model_ = new CurtainModel(
        QString::fromStdString(app_.name), requiresBlink, services_.faceScan, std::move(verify), hasPassword,
        [self] {
            if (self) self->finish(true);
        },
        [self] {
            if (self) self->finish(false);
        });
    model_->setHasFace(!services_.faceIsEnrolled || services_.faceIsEnrolled());
    model_->setCancelFaceScan(services_.cancelFaceScan);
    model_->setPasswordInReach(services_.passwordInReach);
}

void LockCurtainWindow::watchScreen(QScreen* screen) {
    connect(screen, &QScreen::geometryChanged, &screenChange_, qOverload<>(&QTimer::start), Qt::UniqueConnection);
}

void LockCurtainWindow::rebuildCovers() {
    for (const auto& cover : coverWindows_) {
        if (!cover) continue;
        cover->hide();
        cover->deleteLater();
    }
    coverWindows_.clear();
    for (auto* screen : QGuiApplication::screens()) {
        if (screen == keyScreen_) continue;
        coverWindows_.append(showPanel(new CurtainPanel(CurtainPanel::Role::cover, screen)));
    }
}

void LockCurtainWindow::handleScreenChange() {
    if (isFinishing_ || !keyWindow_) return;
    if (QScreen* target = chooseKeyScreen()) {
        keyWindow_->coverScreen(target);
        keyScreen_ = target;
    }
    keyWindow_->raise();
    rebuildCovers();
    guard();
    placeWindows(true);
    if (hold_) hold_->check();
}

void LockCurtainWindow::takeKeyboard() {
    keyboard_ = services_.makeKeyboardGrab ? services_.makeKeyboardGrab() : nullptr;
    if (!keyboard_) return;
    hold_ = new KeyboardHold([this] { return keyWindow_ ? keyboard_->grab(keyWindow_->winId()) : KeyboardGrab::Status::notViewable; },
                             this);
    connect(hold_, &KeyboardHold::heldChanged, this, [this](bool held) {
        if (model_) model_->setKeyboardHeld(held);
    });
    // The application's own grab ends with its windows; if even that does not free the keyboard,
    // the curtain ends as cancelled (the application stays hidden) rather than take a password
    // whose keys go elsewhere.
    connect(hold_, &KeyboardHold::iconifyRequested, this, &LockCurtainWindow::hideApplication);
    connect(hold_, &KeyboardHold::gaveUp, this, [this] {
        hideApplication();
        if (model_) model_->cancel();
    });
    hold_->check();
}

bool LockCurtainWindow::holdsKeyboard() const {
    const KeyboardHold* hold = hold_.data();
    return hold != nullptr && hold->isHeld();
}

// Where the compositor places windows itself (Wayland), the window system finds the curtain's
// windows by title and keeps them full-screen on their outputs and focused.
void LockCurtainWindow::placeWindows(bool up) {
    if (!services_.windows || (!up && !placed_)) return;
    placed_ = up;
    std::vector<CurtainWindow> windows;
    if (up) {
        const auto add = [&](CurtainPanel* panel, bool key) {
            if (panel && panel->screen())
                windows.push_back({panel->windowTitle().toStdString(), panel->screen()->name().toStdString(), key});
        };
        for (const auto& cover : coverWindows_) add(cover, false);
        add(keyWindow_, true);
    }
    services_.windows->guardCurtain(windows);
}

void LockCurtainWindow::releaseKeyboard() {
    if (hold_) hold_->stop();
    if (keyboard_) keyboard_->release();
}

// Every curtain window, at its screen's full frame in device pixels.
void LockCurtainWindow::guard() {
    if (!services_.windows || isFinishing_) return;
    std::vector<WindowSystem::GuardedWindow> guarded;
    QList<CurtainPanel*> windows = coverWindows();
    if (keyWindow_) windows.prepend(keyWindow_);
    for (CurtainPanel* w : windows) {
        const QRect frame = w->geometry();
        const qreal ratio = w->devicePixelRatioF();
        // Qt keeps each screen's top-left corner in device pixels and scales only within the
        // screen: multiplying the whole position would put a cover of a second screen off it.
        const QPoint origin = w->screen() ? w->screen()->geometry().topLeft() : QPoint();
        guarded.push_back({w->winId(), origin.x() + int((frame.x() - origin.x()) * ratio),
                           origin.y() + int((frame.y() - origin.y()) * ratio), int(frame.width() * ratio),
                           int(frame.height() * ratio)});
    }
    QPointer<LockCurtainWindow> self(this);
    guarding_ = services_.windows->guardWindows(std::move(guarded), [self](bool repaired) {
        if (self) self->windowsDisturbed(repaired);
    });
}

void LockCurtainWindow::windowsDisturbed(bool repaired) {
    if (isFinishing_) return;
    if (repaired) {
        // An unmapped window lost the grab and the focus with it.
        if (keyWindow_) keyWindow_->activateWindow();
        if (hold_) hold_->check();
        return;
    }
    // A curtain window that cannot be brought back leaves the application uncovered.
    hideApplication();
    if (model_) model_->cancel();
}

void LockCurtainWindow::focusMoved(QWindow* focused) {
    if (isFinishing_ || !keyWindow_) return;
    // Where holding the keyboard is having the focus (Wayland), the focus gone to another program
    // (reported as none) is the hold lost: the field must go dead at once.
    if (hold_) hold_->check();
    if (!focused || focused == keyWindow_->windowHandle()) return;
    keyWindow_->activateWindow();
}

void LockCurtainWindow::hideApplication() {
    if (!services_.windows) return;
    for (const auto& instance : services_.windows->runningApplications(app_.bundleIdentifier))
        services_.windows->hide(instance);
}

void LockCurtainWindow::finish(bool success) {
    if (isFinishing_) return;
    isFinishing_ = true;
    screenChange_.stop();
    disconnect(qGuiApp, nullptr, this, nullptr);
    for (auto* screen : QGuiApplication::screens()) disconnect(screen, nullptr, &screenChange_, nullptr);
    if (services_.hideScanDisplay) services_.hideScanDisplay();
    if (guarding_) services_.windows->guardWindows({}, nullptr);
    guarding_ = false;
    QList<QPointer<CurtainPanel>> windows = coverWindows_;
    windows.prepend(keyWindow_);
    keyWindow_.clear();
    coverWindows_.clear();
    releaseKeyboard();
    placeWindows(false);
    // Copies: the cancellation callback may destroy this object.
    auto unlocked = success ? onUnlocked_ : std::function<void()>();
    if (!success) {
        const auto cancelled = onCancelled_;
        if (cancelled) cancelled();
    }
    fadeOutAndClose(windows, std::move(unlocked));
}
