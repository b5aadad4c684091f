#include "Shell/AppInfo.h"

#ifndef KORVEL_APP_VERSION
#define KORVEL_APP_VERSION ""
#endif
#ifndef KORVEL_APP_BUILD
#define KORVEL_APP_BUILD ""
#endif

QString AppInfo::version() {
    const QString v = QStringLiteral(KORVEL_APP_VERSION);
    return v.isEmpty() ? QStringLiteral("0.0.0") : v;
}

QString AppInfo::build() {
    const QString b = QStringLiteral(KORVEL_APP_BUILD);
    return b.isEmpty() ? QStringLiteral("0") : b;
}
