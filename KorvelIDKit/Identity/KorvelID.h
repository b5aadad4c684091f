#pragma once
// Face recognition for the rest of the program: whether anybody is enrolled, unlocking now,
// enrolling a face. Every operation is called on the main thread and works on the one
// KorvelIDController of the process.
#include <QFuture>

#include <functional>
#include <string>
#include <vector>

#include "Identity/UnlockResult.h"

class KorvelID {
public:
    KorvelID() = delete;

    static bool isEnrolled();
    // Store order; empty when nobody is enrolled.
    static std::vector<std::string> enrolledNames();
    // Finishes on the main thread. Cancelling the future cancels the scan.
    static QFuture<UnlockResult> unlock(bool showsNotchUI);
    // Returns at once; `completion` runs later on the main thread, never inside this call.
    static void unlock(bool showsNotchUI, std::function<void(const UnlockResult&)> completion);
    // Ends the running unlock scan, which then answers denied("Cancelled").
    static void cancelUnlock();
    static void hideNotch();
    static void presentEnrollment(std::function<void()> onFinished = {});
    // An enrolment without the window, its progress on the scan display.
    static QFuture<bool> enroll(const std::string& name);
    // Deletes every enrolled face; false (and every face kept) when the file could not be written.
    static bool reset();
    // Re-reads "settings.json" into the engine.
    static void reloadSettings();
};
