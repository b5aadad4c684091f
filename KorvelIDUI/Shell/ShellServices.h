#pragma once
// What the application's windows need from the identity controller, the app lock and the secret
// store, as replaceable functions: the application installs the real ones at start-up, tests
// script them. Defaults read the files directly and answer every authentication with "cancelled".
#include <QFuture>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Support/SecretStore.h"
#include "Vault/VaultAuthenticator.h"

class QWidget;

struct ShellServices {
    std::function<bool()> isEnrolled;
    std::function<int()> enrolledCount;
    // Opens the enrolment window; `onFinished` runs on the main thread when it closes.
    std::function<void(std::function<void()> onFinished)> presentEnrollment;
    // Deletes every face profile; false (every face kept) when the file could not be written.
    std::function<bool()> resetFaces;
    std::function<bool()> requireLiveness;
    std::function<void(bool)> setRequireLiveness;
    // A face scan with password fallback.
    std::function<QFuture<VaultAuthenticator::Result>(const std::string& reason, bool allowPasswordFallback)> authenticate;
    std::function<bool()> hasProtectedApps;
    std::function<void()> startMonitoring;
    // The App Lock tab's page, owned by the caller.
    std::function<QWidget*()> makeAppLockPage;
    // Where secrets are kept (the General page warns about the file store).
    std::function<SecretStore::Kind()> secretStoreKind;
    // The file still holding secrets that differ from the keyring's, or nothing.
    std::function<std::optional<std::string>()> secretStoreConflictFile;
    // The cameras to choose from (names), the chosen one's position in that list (-1 when the chosen
    // device is gone), and the choice: its position and name as shown (nothing is chosen when the
    // device there now has another name).
    // No camera at all: face unlock cannot work, and the General page says so.
    std::function<std::vector<std::string>()> cameras;
    std::function<int()> chosenCamera;
    std::function<void(int, const std::string&)> chooseCamera;
    // The About window and the guarded quit, for windows that offer them when there is no tray.
    std::function<void()> showAbout;
    std::function<void()> requestQuit;

    static ShellServices& shared();
    // The file-reading defaults (no face scan, no app lock).
    static ShellServices defaults();
};
