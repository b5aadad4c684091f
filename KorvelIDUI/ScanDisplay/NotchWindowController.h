#pragma once
// The heads-up scan display: owns the click-through panel at the top edge of the primary screen,
// moves its phase and times its disappearance. The identity controller drives it through
// ScanDisplay; the panel (NotchView) only draws the state.
#include "Identity/NotchMetrics.h"
#include "Identity/NotchState.h"
#include "Identity/ScanDisplay.h"

#include <QObject>
#include <QTimer>

#include <memory>

class NotchView;
class QScreen;

class NotchWindowController : public QObject, public ScanDisplay {
    Q_OBJECT

public:
    static constexpr double orderOutDelay = 0.45;  // seconds between hide() and removing the panel

    // Builds the panel for the primary screen (none when there is no screen; the phase still moves).
    explicit NotchWindowController(QObject* parent = nullptr);
    ~NotchWindowController() override;

    NotchState& state() { return state_; }
    // The panel, or null when there was no screen at construction.
    NotchView* window() const { return window_.get(); }

    void ensureVisible() override;
    // Start of a scan: phase scanning(0) without animation; a pending automatic hide left by the
    // previous result is cancelled so it cannot blank the new scan.
    void beginScanning() override;
    void hide() override;
    void updateProgress(double progress) override;
    void showBlinkPrompt() override;
    void showHint(const std::string& hint) override;
    void showApproved(const std::string& name, double autoHideAfter) override;
    void showDenied(const std::string& reason, double autoHideAfter) override;

    bool isPanelVisible() const;
    bool hasPendingHide() const { return hideTimer_.isActive(); }
    int pendingHideRemainingMs() const { return hideTimer_.remainingTime(); }

    // Where the panel goes on `screen` (no housing on desktop screens).
    static NotchPlacement placementFor(const QScreen& screen);
    // Multiplies every delay of every controller (tests shorten the seconds-long waits).
    static void setTimeScale(double scale);

private:
    void build();
    void scheduleHide(double seconds);
    static int scaledMs(double seconds);

    NotchState state_;
    std::unique_ptr<NotchView> window_;
    QTimer hideTimer_;
};
