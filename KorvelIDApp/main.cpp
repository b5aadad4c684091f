// Korvel ID: sets up the process-wide services and opens the developer window.
#include <QApplication>

#include <memory>

#include "Auth/PasswordDialogPrompt.h"
#include "DeveloperWindow.h"
#include "Enrollment/EnrollmentWindowController.h"
#include "Identity/KorvelIDAuth.h"
#include "Identity/KorvelIDController.h"
#include "Support/AppPaths.h"
#include "Vault/KorvelIDVault.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("KorvelID");
    QCoreApplication::setApplicationName("Korvel ID");
    QGuiApplication::setDesktopFileName("com.korvel.id");
    AppPaths::setApplicationIdentifier("com.korvel.id");

    KorvelIDController::setEnrollmentPresenterFactory(EnrollmentWindowController::factory());
    KorvelIDAuth::setPasswordPrompt(std::make_shared<PasswordDialogPrompt>());
    KorvelIDVault::setAuthenticator(KorvelIDAuth::vaultAuthenticator());

    DeveloperWindow window;
    window.resize(520, 240);
    window.show();
    return app.exec();
}
