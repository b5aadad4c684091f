#pragma once
// Whether any camera is on right now, for the user interface. Changed on the Qt main thread only.
#include <QObject>

class CameraActivity final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isActive READ isActive NOTIFY isActiveChanged)

public:
    static CameraActivity& shared();

    bool isActive() const { return isActive_; }
    int activeCount() const { return activeCount_; }

    // Called from any thread when a camera session starts or stops; the change is applied on the
    // main thread (directly when there is no application object, as in command-line tools).
    void cameraStarted();
    void cameraStopped();

Q_SIGNALS:
    void isActiveChanged(bool isActive);

private:
    CameraActivity();
    void apply(int delta);

    bool isActive_ = false;
    int activeCount_ = 0;
};
