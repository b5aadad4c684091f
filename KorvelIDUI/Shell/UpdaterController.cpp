#include "Shell/UpdaterController.h"

#include <QMessageBox>

#include "Common/DialogRunner.h"
#include "Localization/Localization.h"

UpdaterController& UpdaterController::shared() {
    static UpdaterController* controller = new UpdaterController;
    return *controller;
}

void UpdaterController::checkForUpdates(QWidget* parent) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Korvel ID"), qL("menu.updatesByPackageManager"),
                    QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("updatesDialog"));
    DialogRunner::exec(box);
}
