#pragma once
// The state machine behind one lock curtain: runs the face scan, counts failed attempts and picks
// the message, switches to the master-password field and back, checks the password, and reports
// exactly once through onUnlocked or onCancel. It knows nothing about windows; the curtain windows
// build it with the two checks, draw it and react to its callbacks. One model per curtain.
//
// Main thread only. The two checks may finish on any thread and at any time (even at once, or
// never); their answers are handled on the main thread afterwards. Stale answers (an older scan,
// a route the user has left, a curtain that has ended) are dropped by the generation counter and
// isDone rather than by cancelling the work.
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <string>

#include "Identity/UnlockResult.h"

class CurtainModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(Phase phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(QString passwordInput READ passwordInput WRITE setPasswordInput NOTIFY passwordInputChanged)
    Q_PROPERTY(int attemptCount READ attemptCount NOTIFY attemptCountChanged)
    Q_PROPERTY(bool isVerifyingPassword READ isVerifyingPassword NOTIFY isVerifyingPasswordChanged)
    Q_PROPERTY(bool keyboardHeld READ keyboardHeld WRITE setKeyboardHeld NOTIFY keyboardHeldChanged)

public:
    enum class Phase { scanning, failed, password };
    Q_ENUM(Phase)

    // Performs one face scan and calls `done` once with its result.
    using FaceScan = std::function<void(std::function<void(UnlockResult)> done)>;
    // Checks a master password and calls `done` once with the answer.
    using PasswordCheck = std::function<void(std::string password, std::function<void(bool)> done)>;

    // `requiresBlink` only chooses the prompt ("curtain.lookBlink" or "curtain.look"). Texts are
    // looked up when read, so a change of language while the curtain is up reaches them too.
    CurtainModel(QString appName, bool requiresBlink, FaceScan runFaceScan, PasswordCheck verifyPassword,
                 bool hasPassword, std::function<void()> onUnlocked, std::function<void()> onCancel,
                 QObject* parent = nullptr);

    Phase phase() const { return phase_; }
    // Empty when no message is set; the view then shows scanPrompt().
    QString message() const;
    const QString& passwordInput() const { return passwordInput_; }
    void setPasswordInput(const QString& text);
    int attemptCount() const { return attemptCount_; }
    bool isVerifyingPassword() const { return isVerifyingPassword_; }
    const QString& appName() const { return appName_; }
    bool hasPassword() const { return hasPassword_; }
    QString scanPrompt() const;
    // What the subtitle shows: the message if set, otherwise the prompt of the phase.
    QString displayedText() const;
    // Whether the message reports a refused password (shown as an error).
    bool messageIsError() const { return messageIsError_; }
    int passwordFailures() const { return passwordFailures_; }
    int scanGeneration() const { return scanGeneration_; }
    bool isDone() const { return isDone_; }

    // Whether anybody is enrolled: without a face the face route is not offered (default true).
    void setHasFace(bool hasFace) { hasFace_ = hasFace; }
    bool hasFace() const { return hasFace_; }
    // Ends the running face scan (camera off) when the user leaves the face route or the curtain.
    void setCancelFaceScan(std::function<void()> cancel) { cancelFaceScan_ = std::move(cancel); }
    // Asked after a refusal: false when the password could not be checked at all (the keyring
    // locked meanwhile). The curtain then says so and counts no wrong password.
    void setPasswordInReach(std::function<bool()> inReach) { passwordInReach_ = std::move(inReach); }

    // Whether the curtain receives the keys. A password is taken only while it does: keys typed
    // otherwise went to another program. Starts false; the curtain windows report it.
    bool keyboardHeld() const { return keyboardHeld_; }
    void setKeyboardHeld(bool held);
    // Whether the password field may take keys now.
    bool canTypePassword() const {
        return keyboardHeld_ && !isVerifyingPassword_ && !waitingToRetry_ && phase_ == Phase::password;
    }

    // The first step when the curtain shows: the face scan, or the password at once when nobody is
    // enrolled and a password exists.
    void begin();
    // Starts a new face scan; an older one keeps running but its result will be ignored.
    void startFaceScan();
    void usePassword();
    void submitPassword();
    // Abandons the curtain (Cancel, Escape and the curtain's time-out).
    void cancel();

Q_SIGNALS:
    void phaseChanged();
    void messageChanged();
    void passwordInputChanged();
    void attemptCountChanged();
    void isVerifyingPasswordChanged();
    void keyboardHeldChanged();

private:
    void faceScanFinished(int generation, const UnlockResult& result);
    void passwordCheckFinished(bool accepted);
    const char* failureMessage(const UnlockResult& result) const;
    void finish(bool unlocked);
    void setPhase(Phase phase);
    // The message by its string-table key ("" for none); "%d" in it reads as passwordFailures_.
    void setMessage(const char* key, bool isError = false);
    void endRunningScan();
    void setVerifying(bool verifying);
    // Takes no password until MasterPassword::retryWait() is over.
    void waitToRetry();

    Phase phase_ = Phase::scanning;
    const char* messageKey_ = "";
    QString passwordInput_;
    int attemptCount_ = 0;
    bool isVerifyingPassword_ = false;
    bool waitingToRetry_ = false;  // after wrong passwords in a row; isVerifyingPasswordChanged tells
    QTimer retryTimer_;
    const QString appName_;
    const bool hasPassword_;
    const char* const scanPromptKey_;
    bool messageIsError_ = false;
    int passwordFailures_ = 0;
    bool hasFace_ = true;
    bool keyboardHeld_ = false;
    int scansInFlight_ = 0;
    std::function<void()> cancelFaceScan_;
    const FaceScan runFaceScan_;
    const PasswordCheck verifyPassword_;
    std::function<bool()> passwordInReach_;
    const std::function<void()> onUnlocked_;
    const std::function<void()> onCancel_;
    int scanGeneration_ = 0;
    bool isDone_ = false;
};
