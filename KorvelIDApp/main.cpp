// Korvel ID: sets up the process-wide services and opens the developer window.
#include <QApplication>

#include <memory>

#include "AppLock/KorvelIDAppLock.h"
#include "Auth/PasswordDialogPrompt.h"
#include "Curtain/LockCurtainWindow.h"
#include "DeveloperWindow.h"
#include "Enrollment/EnrollmentWindowController.h"
#include "Identity/KorvelIDAuth.h"
#include "Identity/KorvelIDController.h"
#include "ScanDisplay/NotchWindowController.h"
#include "Support/AppPaths.h"
#include "Vault/KorvelIDVault.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("KorvelID");
    QCoreApplication::setApplicationName("Korvel ID");
    QGuiApplication::setDesktopFileName("com.korvel.id");
    AppPaths::setApplicationIdentifier("com.korvel.id");

    KorvelIDController::setScanDisplayFactory([] { return std::make_unique<NotchWindowController>(); });
    KorvelIDController::setEnrollmentPresenterFactory(EnrollmentWindowController::factory());
    KorvelIDController::setScanDisplayFactory([] { return std::make_unique<NotchWindowController>(); });
    KorvelIDAuth::setPasswordPrompt(std::make_shared<PasswordDialogPrompt>());
    KorvelIDVault::setAuthenticator(KorvelIDAuth::vaultAuthenticator());
    KorvelIDAppLock::setCurtainFactory(LockCurtainWindow::factory());

    DeveloperWindow window;
    window.resize(520, 240);
    window.show();
    return app.exec();
}
