#pragma once
// Whether a quit request may end the program at once or needs the face or the master password
// first. Quitting is guarded only while protection is active (a master password exists, or the
// store that would hold it is locked, and at least one application is protected); a quit the
// system starts (log-out, shut-down, a signal) is never held up.
#include <QObject>

#include <functional>

struct QuitFacts {
    bool quitAuthorized = false;
    bool systemInitiated = false;
    bool hasMasterPassword = false;
    bool hasProtectedApps = false;
};

enum class QuitDecision { terminateNow, authenticate };

QuitDecision decideQuit(const QuitFacts& facts);

class QuitGuard : public QObject {
    Q_OBJECT

public:
    static constexpr const char* reason = "Quit Korvel ID";

    // `terminate` ends the event loop (QCoreApplication::quit in the application).
    explicit QuitGuard(std::function<void()> terminate, QObject* parent = nullptr);

    // The user asked to quit (tray menu, shortcut): prompts while protection is active; a failed or
    // cancelled prompt leaves the program running.
    void requestQuit();
    // The session is ending or a termination signal arrived: quit at once.
    void systemQuit();
    bool isQuitAuthorized() const { return quitAuthorized_; }
    bool isSystemInitiated() const { return systemInitiated_; }
    // True while an authentication for quitting is open (a second request does not stack another).
    bool isPrompting() const { return prompting_; }

private:
    QuitFacts facts() const;

    std::function<void()> terminate_;
    bool quitAuthorized_ = false;
    bool systemInitiated_ = false;
    bool prompting_ = false;
};
