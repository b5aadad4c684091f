#pragma once
// What every window shares: whether onboarding is done (a master password exists) and whether a
// face is enrolled. Read once on first use; the windows set the fields when they change the facts.
#include <QObject>

class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isOnboarded READ isOnboarded WRITE setOnboarded NOTIFY isOnboardedChanged)
    Q_PROPERTY(bool isFaceEnrolled READ isFaceEnrolled WRITE setFaceEnrolled NOTIFY isFaceEnrolledChanged)
    Q_PROPERTY(bool hasTray READ hasTray WRITE setHasTray NOTIFY hasTrayChanged)

public:
    AppState(bool onboarded, bool faceEnrolled, QObject* parent = nullptr);
    // Created on first use from MasterPassword::isSet and the enrolment check.
    static AppState& shared();

    bool isOnboarded() const { return isOnboarded_; }
    bool isFaceEnrolled() const { return isFaceEnrolled_; }
    void setOnboarded(bool value);
    void setFaceEnrolled(bool value);
    // Whether the desktop shows our tray icon right now (a tray host may come and go); without it
    // the main window offers About and Quit itself.
    bool hasTray() const { return hasTray_; }
    void setHasTray(bool value);
    // Reads both facts again (after a password was set, a face enrolled or removed).
    void refresh();

Q_SIGNALS:
    void isOnboardedChanged(bool value);
    void isFaceEnrolledChanged(bool value);
    void hasTrayChanged(bool value);

private:
    bool isOnboarded_;
    bool isFaceEnrolled_;
    bool hasTray_ = false;
};
