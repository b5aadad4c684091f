#pragma once
// The enrolment window's state: the name, the latest preview frame, the progress and the texts.
// It asks whether the camera may be used, runs the enrolment through a ScanSession and turns its
// events into texts from the string table (relabelled when the language changes). Main thread.
#include <QImage>
#include <QObject>
#include <QString>

#include <cstdint>
#include <string>

#include "Enrollment/ScanSession.h"
#include "Face/CameraAccess.h"
#include "Identity/CredentialGate.h"

class EnrollmentViewModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY changed)
    Q_PROPERTY(QImage previewImage READ previewImage NOTIFY previewImageChanged)
    Q_PROPERTY(int captured READ captured NOTIFY changed)
    Q_PROPERTY(int total READ total NOTIFY changed)
    Q_PROPERTY(QString statusText READ statusText NOTIFY changed)
    Q_PROPERTY(bool isCapturing READ isCapturing NOTIFY changed)
    Q_PROPERTY(bool isDone READ isDone NOTIFY changed)
    Q_PROPERTY(QString errorText READ errorText NOTIFY changed)

public:
    EnrollmentViewModel(AuthEngine& engine, CameraAccessCheck cameraAccess, QObject* parent = nullptr);

    // The account's full name from the password database (the GECOS field up to the first comma),
    // else the login name.
    static QString accountFullName();

    QString name() const { return name_; }
    void setName(const QString& name);
    QImage previewImage() const { return previewImage_; }
    int captured() const { return captured_; }
    int total() const { return total_; }
    QString statusText() const;
    bool isCapturing() const { return isCapturing_; }
    bool isDone() const { return isDone_; }
    // Empty when there is no error.
    QString errorText() const;
    // captured / total, or 0 when total < 1.
    double progress() const;

    // The button's action: checks the name, asks for the camera, enrols. The window opens with the
    // master password given for one start; each later one asks for it again.
    void start();
    // Stops the enrolment (it stores nothing) and the preview.
    void cancel();
    // True until the enrolment's thread has ended, also while a cancelled one is stopping.
    bool isEnrollmentRunning() const { return session_.isRunning(); }

    // The running enrolment's events, as the session delivers them on the main thread.
    void handle(const EnrollmentEvent& event);

Q_SIGNALS:
    void changed();
    void previewImageChanged();
    // The enrolment's thread has ended (finished, failed or cancelled).
    void enrollmentEnded();
    // A later start needed the master password, and the keyring cannot check one.
    void keyringLocked();

private:
    void accessAnswered(CameraAccess access);
    void approvalAnswered(CredentialGate::Outcome outcome);
    void setStatus(const char* key);
    void setErrorKey(const char* key);

    ScanSession session_;
    CameraAccessCheck cameraAccess_;
    std::uint64_t generation_ = 0;  // drops a camera-access answer that arrives after cancel()

    QString name_;
    QImage previewImage_;
    int captured_ = 0;
    int total_ = 8;
    const char* statusKey_ = "enroll.enterName";
    bool isCapturing_ = false;
    bool approvalSpent_ = false;
    bool confirming_ = false;
    bool isDone_ = false;
    // Either a key of the string table or the engine's own message (not translated).
    const char* errorKey_ = nullptr;
    QString errorMessage_;
};
