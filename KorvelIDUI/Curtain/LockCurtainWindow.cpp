#include "Curtain/LockCurtainWindow.h"

#include <QCursor>
#include <QGuiApplication>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QScreen>
#include <QVBoxLayout>

#include <string_view>
#include <utility>

#include "Curtain/CurtainPanel.h"
#include "Curtain/LockCurtainView.h"
#include "Face/Settings.h"
#include "Identity/KorvelID.h"
#include "Identity/KorvelIDController.h"
#include "Identity/MasterPassword.h"
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

constexpr std::string_view previewPassword = "pine";

CurtainPanel* showPanel(CurtainPanel* panel) {
    panel->show();
    panel->raise();
    fadeIn(panel);
    return panel;
}
}  // namespace

CurtainServices CurtainServices::defaults() {
    CurtainServices s;
    s.faceScan = [](std::function<void(UnlockResult)> done) {
        KorvelID::unlock(false, [done = std::move(done)](const UnlockResult& result) { done(result); });
    };
    s.verifyPassword = [](std::string password, std::function<void(bool)> done) {
        Async::whenFinished(MasterPassword::verifyAsync(std::move(password)),
                            [done](const QFuture<bool>& f) { done(Async::valueOr(f, false)); });
    };
    s.masterPasswordIsSet = [] { return MasterPassword::isSet(); };
    s.requiresBlink = [] { return KorvelIDController::loadSettings().livenessRequired(); };
    s.hideScanDisplay = [] { KorvelID::hideNotch(); };
    s.makeKeyboardGrab = [] { return ::makeKeyboardGrab(); };
    return s;
}

LockCurtainFactory LockCurtainWindow::factory() {
    return [](const ProtectedApp& app, std::function<void()> onUnlocked, std::function<void()> onCancelled) {
        return std::make_unique<LockCurtainWindow>(app, std::move(onUnlocked), std::move(onCancelled));
    };
}

LockCurtainWindow::LockCurtainWindow(ProtectedApp app, std::function<void()> onUnlocked,
                                     std::function<void()> onCancelled, CurtainServices services)
    : app_(std::move(app)),
      onUnlocked_(std::move(onUnlocked)),
      onCancelled_(std::move(onCancelled)),
      services_(std::move(services)) {
    grabRetry_.setSingleShot(true);
    connect(&grabRetry_, &QTimer::timeout, this, &LockCurtainWindow::tryGrab);
    screenChange_.setSingleShot(true);
    screenChange_.setInterval(0);
    connect(&screenChange_, &QTimer::timeout, this, &LockCurtainWindow::handleScreenChange);
}

LockCurtainWindow::~LockCurtainWindow() {
    if (isFinishing_) return;  // the fade owns the windows now
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
    model_->setParent(panel);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* view = new LockCurtainView(model_, panel);
    layout->addWidget(view);
    keyWindow_ = showPanel(panel);
    panel->activateWindow();
    keyScreen_ = screen;
    keyboard_ = services_.makeKeyboardGrab ? services_.makeKeyboardGrab() : nullptr;
    tryGrab();
    rebuildCovers();

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
    const bool preview = app_.bundleIdentifier == previewBundleID;
    const bool requiresBlink = services_.requiresBlink ? services_.requiresBlink() : true;
    const bool hasPassword = preview || (services_.masterPasswordIsSet && services_.masterPasswordIsSet());
    CurtainModel::FaceScan faceScan = services_.faceScan;
    CurtainModel::PasswordCheck verify = [s = services_](std::string password, std::function<void(bool)> done) {
        if (s.masterPasswordIsSet && s.masterPasswordIsSet() && s.verifyPassword)
            s.verifyPassword(std::move(password), std::move(done));
        else
            done(false);
    };
    if (preview) {
        // The preview never accepts a face and knows exactly one password.
        faceScan = [](std::function<void(UnlockResult)> done) { done(UnlockResult::denied("Preview")); };
        verify = [](std::string password, std::function<void(bool)> done) {
            done(std::string_view(password) == previewPassword);
        };
    }
    QPointer<LockCurtainWindow> self(this);
    model_ = new CurtainModel(
        QString::fromStdString(app_.name), requiresBlink, std::move(faceScan), std::move(verify), hasPassword,
        [self] {
            if (self) self->finish(true);
        },
        [self] {
            if (self) self->finish(false);
        });
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
    tryGrab();
}

void LockCurtainWindow::tryGrab() {
    if (isFinishing_ || !keyWindow_ || !keyboard_) return;
    switch (keyboard_->grab(keyWindow_->winId())) {
    case KeyboardGrab::Status::grabbed:
        if (!holdsKeyboard_) {
            holdsKeyboard_ = true;
            Q_EMIT keyboardTaken();
        }
        return;
    case KeyboardGrab::Status::heldElsewhere: grabRetry_.start(50); return;  // until the other client lets go
    case KeyboardGrab::Status::notViewable: grabRetry_.start(10); return;
    case KeyboardGrab::Status::unavailable: return;
    }
}

void LockCurtainWindow::releaseKeyboard() {
    grabRetry_.stop();
    if (keyboard_) keyboard_->release();
    holdsKeyboard_ = false;
}

void LockCurtainWindow::finish(bool success) {
    if (isFinishing_) return;
    isFinishing_ = true;
    screenChange_.stop();
    disconnect(qGuiApp, nullptr, this, nullptr);
    for (auto* screen : QGuiApplication::screens()) disconnect(screen, nullptr, &screenChange_, nullptr);
    if (services_.hideScanDisplay) services_.hideScanDisplay();
    QList<QPointer<CurtainPanel>> windows = coverWindows_;
    windows.prepend(keyWindow_);
    keyWindow_.clear();
    coverWindows_.clear();
    releaseKeyboard();
    // Copies: the cancellation callback may destroy this object.
    auto unlocked = success ? onUnlocked_ : std::function<void()>();
    if (!success) {
        const auto cancelled = onCancelled_;
        if (cancelled) cancelled();
    }
    fadeOutAndClose(windows, std::move(unlocked));
}
