#pragma once
// The application's one way into the vault's store: a single serial worker thread. Store calls
// queued here never overlap, and the vault facade's set-up, unlock and password change (which touch
// the store from the main thread and pool threads) hold the worker while they run, so no queued
// add, export or lock can reach the store in the middle of them.
#include <QObject>

#include <functional>

class OpenedCopies;
class SerialWorker;

// What happened to the vault outside any page's own actions.
class VaultEvents : public QObject {
    Q_OBJECT
Q_SIGNALS:
    void lockedBySystem();
};

namespace VaultAccess {

SerialWorker& worker();
// The copies opened with other programs in this run (they outlive any one vault page).
OpenedCopies& openedCopies();

// Calls `start` on the main thread once everything queued before has run; the worker runs nothing
// else until `start`'s `release` has been called (at most once counts). Nothing is started, and
// the worker released, when `context` is gone by then.
void exclusive(QObject* context, std::function<void(std::function<void()> release)> start);

VaultEvents& events();

// When the screen locks: like the end of shutDown below (changed copies saved beside their items,
// then the vault locked), with the worker kept; lockedBySystem follows on the main thread.
void lockForSessionLock();

// At quit: frees a worker still held by an unfinished prompt, saves every changed opened copy into
// the vault beside its item (nobody is left to ask, and deleting it would lose the changes), locks
// the vault (deleting every decrypted copy) after what is queued, and ends the thread.
void shutDown();

}  // namespace VaultAccess
