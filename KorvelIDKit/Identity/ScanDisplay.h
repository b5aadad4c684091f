#pragma once
// The heads-up scan display as the identity controller drives it. The widget that draws it lives in
// the UI library and is installed with KorvelIDController::setScanDisplayFactory; the kit only knows
// this interface. Every call is made on the main thread.
#include <string>

class ScanDisplay {
public:
    virtual ~ScanDisplay() = default;

    // Shows the panel (ordered in, no phase change) if it is not up.
    virtual void ensureVisible() = 0;
    // Sets the phase to scanning with progress 0, without animation (start of a scan or enrolment).
    virtual void beginScanning() = 0;
    // Hides at once, cancelling any pending automatic hide.
    virtual void hide() = 0;
    // Scanning progress 0…1 (values above 1 are shown as given by the caller's arithmetic).
    virtual void updateProgress(double progress) = 0;
    virtual void showBlinkPrompt() = 0;
    // While scanning: what the person should do, in place of the scanning text; empty: nothing.
    virtual void showHint(const std::string& hint) = 0;
    // Visible, phase changed with the spring animation, hidden again after `autoHideAfter` seconds.
    virtual void showApproved(const std::string& name, double autoHideAfter) = 0;
    virtual void showDenied(const std::string& reason, double autoHideAfter) = 0;
};
