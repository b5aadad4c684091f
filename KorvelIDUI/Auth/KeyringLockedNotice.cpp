#include "Auth/KeyringLockedNotice.h"

#include <QMessageBox>

#include "Common/DialogRunner.h"
#include "Localization/Localization.h"

void KeyringLockedNotice::show(QWidget* parent) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Korvel ID"), qL("auth.keyringLocked"), QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("keyringLockedNotice"));
    DialogRunner::exec(box);
}
