#include "ScanDisplay/NotchWindowController.h"

#include "ScanDisplay/NotchView.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

#include <cmath>

namespace {
double& timeScale() {
    static double scale = 1;
    return scale;
}
}  // namespace

NotchWindowController::NotchWindowController(QObject* parent) : QObject(parent) {
    hideTimer_.setSingleShot(true);
    hideTimer_.setTimerType(Qt::PreciseTimer);
    connect(&hideTimer_, &QTimer::timeout, this, &NotchWindowController::hide);
    // The controller may be owned by a process-wide object that outlives the application object;
    // the panel must go while the windowing system is still there.
    if (auto* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, [this] { window_.reset(); });
    build();
}

NotchWindowController::~NotchWindowController() {
    // Too late to tear down a window once the application object is gone; the process is ending.
    if (!QCoreApplication::instance()) (void)window_.release();
}

void NotchWindowController::setTimeScale(double scale) { timeScale() = scale; }

int NotchWindowController::scaledMs(double seconds) {
    return static_cast<int>(std::lround(std::max(0.0, seconds) * 1000 * timeScale()));
}

NotchPlacement NotchWindowController::placementFor(const QScreen& screen) {
    // X11 and Wayland screens describe no camera housing: the panel hangs from the middle of the
    // top edge, over any top bar.
    return resolveNotchPlacement(NotchScreen{QRectF(screen.geometry()), 0, {}, {}});
}

void NotchWindowController::build() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const NotchPlacement placement = placementFor(*screen);
    window_ = std::make_unique<NotchView>(state_, placement.metrics);
    // Always on top of everything, never focused, clicks pass through, outside the window
    // manager's control so it shows on every workspace and over full-screen windows.
    window_->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                            Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus |
                            Qt::X11BypassWindowManagerHint | Qt::NoDropShadowWindowHint);
    window_->setAttribute(Qt::WA_ShowWithoutActivating);
    window_->setAttribute(Qt::WA_TranslucentBackground);
    window_->setWindowTitle("Korvel ID");
    // A fixed size also tells tiling Wayland compositors (sway), where no client places itself, to
    // float the display instead of tiling it beside the user's windows.
    window_->setFixedSize(placement.frame.toRect().size());
    window_->setGeometry(placement.frame.toRect());
}

bool NotchWindowController::isPanelVisible() const { return window_ && window_->isVisible(); }

void NotchWindowController::ensureVisible() {
    if (!window_) return;
    // Follow whichever screen is primary now; without one keep the last frame.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const NotchPlacement placement = placementFor(*screen);
        window_->setMetrics(placement.metrics);
        window_->setFixedSize(placement.frame.toRect().size());
        window_->setGeometry(placement.frame.toRect());
    }
    window_->show();
    window_->raise();
}

void NotchWindowController::beginScanning() {
    hideTimer_.stop();
    state_.setPhase(NotchPhase::scanning(0), NotchTransition::immediate);
}

void NotchWindowController::updateProgress(double progress) {
    // Only a running scan shows progress: a blink request or a result is never replaced by it.
    if (state_.phase().kind != NotchPhase::Kind::scanning) return;
    state_.setPhase(NotchPhase::scanning(progress, state_.phase().text), NotchTransition::immediate);
}

void NotchWindowController::showHint(const std::string& hint) {
    if (state_.phase().kind != NotchPhase::Kind::scanning) return;
    state_.setPhase(NotchPhase::scanning(state_.phase().progress, hint), NotchTransition::immediate);
}

void NotchWindowController::showBlinkPrompt() {
    ensureVisible();
    if (state_.phase().kind == NotchPhase::Kind::blink) return;
    state_.setPhase(NotchPhase::blink(), NotchTransition::easeInOut);
}

void NotchWindowController::showApproved(const std::string& name, double autoHideAfter) {
    ensureVisible();
    state_.setPhase(NotchPhase::approved(name), NotchTransition::spring);
    scheduleHide(autoHideAfter);
}

void NotchWindowController::showDenied(const std::string& reason, double autoHideAfter) {
    ensureVisible();
    state_.setPhase(NotchPhase::denied(reason), NotchTransition::spring);
    scheduleHide(autoHideAfter);
}

void NotchWindowController::scheduleHide(double seconds) {
    // One pending hide at most: a newer result restarts the wait.
    hideTimer_.start(scaledMs(seconds));
}

void NotchWindowController::hide() {
    hideTimer_.stop();
    state_.setPhase(NotchPhase::idle(), NotchTransition::springOut);
    // The shape shrinks back first; the panel leaves the screen only if no new scan has begun
    // in the meantime.
    QTimer::singleShot(scaledMs(orderOutDelay), Qt::PreciseTimer, this, [this] {
        if (state_.phase().kind == NotchPhase::Kind::idle && window_) window_->hide();
    });
}
