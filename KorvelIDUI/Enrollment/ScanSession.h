#pragma once
// The user interface's one connection to the face engine: it runs an enrolment on the engine's
// thread and turns what the thread reports into signals on the main thread. Preview frames are
// not queued up: only the newest one waits for the main thread, so a busy window never falls
// behind the camera.
#include <QImage>
#include <QObject>

#include <memory>
#include <mutex>
#include <string>

#include "Face/AuthEngine.h"

class ScanSession final : public QObject {
    Q_OBJECT

public:
    explicit ScanSession(AuthEngine& engine, QObject* parent = nullptr);
    // Cancels a running enrolment and waits for its thread.
    ~ScanSession() override;

    // Starts an enrolment with the live preview. Ignored while one runs.
    void startEnrollment(const std::string& name);
    // Asks the running enrolment to stop and returns at once; the thread tears the camera down and
    // then `ended` follows. A cancelled enrolment stores nothing and sends no more events.
    void cancel();
    // From the start until `ended` (also while a cancelled enrolment is still stopping).
    bool isRunning() const { return task_ != nullptr; }

Q_SIGNALS:
    void event(const EnrollmentEvent& event);
    void previewFrame(const QImage& frame);
    void ended();

private:
    void offerPreview(const QImage& frame);
    void deliverPreview();
    void finish();

    AuthEngine& engine_;
    bool cancelled_ = false;
    std::mutex previewMutex_;
    QImage pendingPreview_;
    bool previewQueued_ = false;
    std::unique_ptr<ScanTask<void>> task_;
};
