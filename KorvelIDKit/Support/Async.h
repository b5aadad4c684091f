#pragma once
// Work that must not hold up the Qt main thread (key derivations) runs on the global thread pool
// and reports through a QFuture; results come back to the main thread through a watcher owned by
// the application object.
#include <QCoreApplication>
#include <QFuture>
#include <QFutureWatcher>
#include <QPromise>
#include <QThread>
#include <QThreadPool>

#include <exception>
#include <memory>
#include <utility>

namespace Async {

// True on the thread that runs the Qt event loop of the application object.
inline bool isMainThread() {
    const auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Runs `work` on a pool thread. An exception it throws is carried by the future.
template <typename T, typename Work>
QFuture<T> runDetached(Work work) {
    auto promise = std::make_shared<QPromise<T>>();
    QFuture<T> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, work = std::move(work)]() mutable {
        try {
            if constexpr (std::is_void_v<T>) {
                work();
            } else {
                promise->addResult(work());
            }
        } catch (...) {
            promise->setException(std::current_exception());
        }
        promise->finish();
    });
    return future;
}

// A promise already started, shared by the callbacks that will finish it.
template <typename T>
std::shared_ptr<QPromise<T>> startedPromise() {
    auto promise = std::make_shared<QPromise<T>>();
    promise->start();
    return promise;
}

// Finishes a started promise with `value`.
template <typename T>
void resolve(const std::shared_ptr<QPromise<T>>& promise, T value) {
    promise->addResult(std::move(value));
    promise->finish();
}

// A future that is already finished with `value`.
template <typename T>
QFuture<T> ready(T value) {
    QPromise<T> promise;
    QFuture<T> future = promise.future();
    promise.start();
    promise.addResult(std::move(value));
    promise.finish();
    return future;
}

// Calls `handler(future)` on the main thread once `future` has finished (also when it finished
// already, or was cancelled). Must be called on the main thread.
template <typename T, typename Handler>
void whenFinished(QFuture<T> future, Handler handler) {
    auto* watcher = new QFutureWatcher<T>(QCoreApplication::instance());
    QObject::connect(watcher, &QFutureWatcherBase::finished, watcher,
                     [watcher, handler = std::move(handler)]() mutable {
                         watcher->deleteLater();
                         handler(watcher->future());
                     });
    watcher->setFuture(future);
}

// The value of a finished future, or `fallback` when it was cancelled, holds no result or threw.
template <typename T>
T valueOr(const QFuture<T>& future, T fallback) {
    try {
        if (future.isCanceled() || future.resultCount() == 0) return fallback;
        return future.result();
    } catch (...) {
        return fallback;
    }
}
}  // namespace Async
