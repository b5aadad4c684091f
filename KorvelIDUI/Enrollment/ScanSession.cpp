#include "Enrollment/ScanSession.h"

#include <QMetaObject>

ScanSession::ScanSession(AuthEngine& engine, QObject* parent) : QObject(parent), engine_(engine) {}

ScanSession::~ScanSession() {
    if (!task_) return;
    engine_.setOnPreviewFrame({});
    task_->cancel();
    task_.reset();  // joins: the thread's callbacks refer to this object
}

void ScanSession::startEnrollment(const std::string& name) {
    if (task_) return;
    cancelled_ = false;
    engine_.setOnPreviewFrame([this](const QImage& frame) { offerPreview(frame); });
    auto onEvent = [this](const EnrollmentEvent& e) {
        QMetaObject::invokeMethod(
            this,
            [this, e] {
                if (!cancelled_) Q_EMIT event(e);
            },
            Qt::QueuedConnection);
    };
    auto onDone = [this] { QMetaObject::invokeMethod(this, [this] { finish(); }, Qt::QueuedConnection); };
    task_ = std::make_unique<ScanTask<void>>(engine_.enrollAsync(name, std::move(onEvent), std::move(onDone)));
}

void ScanSession::cancel() {
    if (!task_) return;
    cancelled_ = true;
    engine_.setOnPreviewFrame({});
    task_->cancel();
}

// Scan thread.
void ScanSession::offerPreview(const QImage& frame) {
    std::lock_guard lock(previewMutex_);
    pendingPreview_ = frame;
    if (previewQueued_) return;
    previewQueued_ = true;
    QMetaObject::invokeMethod(this, [this] { deliverPreview(); }, Qt::QueuedConnection);
}

void ScanSession::deliverPreview() {
    QImage frame;
    {
        std::lock_guard lock(previewMutex_);
        frame.swap(pendingPreview_);
        previewQueued_ = false;
    }
    if (!cancelled_ && !frame.isNull()) Q_EMIT previewFrame(frame);
}

void ScanSession::finish() {
    engine_.setOnPreviewFrame({});
    task_.reset();  // the thread has reported its end: joining only waits for it to return
    Q_EMIT ended();
}
