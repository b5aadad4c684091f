#include "Face/CameraActivity.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <mutex>

namespace {
// Serialises changes when there is no application object (and so no main thread to hop to).
std::mutex gNoAppMutex;
}  // namespace

CameraActivity::CameraActivity() = default;

CameraActivity& CameraActivity::shared() {
    // Never destroyed: camera threads may still report a stop while the process winds down.
    static CameraActivity* const instance = [] {
        auto* activity = new CameraActivity();
        if (auto* app = QCoreApplication::instance(); app && activity->thread() != app->thread())
            activity->moveToThread(app->thread());
        return activity;
    }();
    return *instance;
}

void CameraActivity::cameraStarted() {
    if (auto* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(app, [this] { apply(+1); }, Qt::QueuedConnection);
    } else {
        std::lock_guard lock(gNoAppMutex);
        apply(+1);
    }
}

void CameraActivity::cameraStopped() {
    if (auto* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(app, [this] { apply(-1); }, Qt::QueuedConnection);
    } else {
        std::lock_guard lock(gNoAppMutex);
        apply(-1);
    }
}

void CameraActivity::apply(int delta) {
    const int count = activeCount_ + delta;
    activeCount_ = std::max(0, count);
    const bool active = count > 0;
    if (active == isActive_) return;
    isActive_ = active;
    Q_EMIT isActiveChanged(active);
}
