#include "Shell/UpdaterController.h"

#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>

#include <utility>

#include "Common/DialogRunner.h"
#include "Localization/Localization.h"

UpdaterController& UpdaterController::shared() {
    static UpdaterController* controller = new UpdaterController;
    return *controller;
}

namespace {
// The update tools and how each is asked for its updates page.
const std::pair<const char*, QStringList> updateTools[] = {
    {"gnome-software", {"--mode=updates"}},
    {"plasma-discover", {"--mode", "Update"}},
};
}  // namespace

bool UpdaterController::canCheckForUpdates() {
    for (const auto& [program, args] : updateTools)
        if (!QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) return true;
    return false;
}

void UpdaterController::checkForUpdates(QWidget* parent) {
    for (const auto& [program, args] : updateTools) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(program));
        if (!path.isEmpty() && QProcess::startDetached(path, args)) return;
    }
    QMessageBox box(QMessageBox::Information, QStringLiteral("Korvel ID"), qL("menu.updatesByPackageManager"),
                    QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("updatesDialog"));
    DialogRunner::exec(box);
}
