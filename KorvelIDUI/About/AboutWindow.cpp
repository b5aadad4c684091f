#include "About/AboutWindow.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QLabel>
#include <QVBoxLayout>

#include "About/BrenmarCredit.h"
#include "Common/AppIcon.h"
#include "Common/SymbolIcon.h"
#include "Shell/AppInfo.h"

AboutWindow::AboutWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint) {
    setObjectName(QStringLiteral("aboutWindow"));
    setWindowTitle(QString());
    setFixedSize(360, 320);
    auto* icon = new QLabel;
    icon->setObjectName(QStringLiteral("aboutIcon"));
    const QIcon appIcon = AppIcon::icon();
    icon->setPixmap(appIcon.isNull() ? SymbolIcon::pixmap(QStringLiteral("faceid"), 64) : appIcon.pixmap(88, 88));
    icon->setAlignment(Qt::AlignCenter);
    auto* name = new QLabel(QStringLiteral("Korvel ID"));
    QFont bold = name->font();
    bold.setPixelSize(22);
    bold.setBold(true);
    name->setFont(bold);
    name->setAlignment(Qt::AlignCenter);
    auto* version = new QLabel(QStringLiteral("%1 (%2)").arg(AppInfo::version(), AppInfo::build()));
    version->setObjectName(QStringLiteral("aboutVersion"));
    version->setAlignment(Qt::AlignCenter);
    auto* column = new QVBoxLayout(this);
    column->addStretch();
    column->addWidget(icon);
    column->addSpacing(8);
    column->addWidget(name);
    column->addWidget(version);
    column->addSpacing(16);
    column->addWidget(new BrenmarCredit(18));
    column->addStretch();
}

void AboutWindow::present() {
    // Centred on the screen the user is working on, the first time and whenever it was closed.
    if (!isVisible()) {
        const QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
        if (!screen) screen = QGuiApplication::primaryScreen();
        if (screen) move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    }
    show();
    raise();
    activateWindow();
}
