#include "Curtain/CurtainPanel.h"

#include <QCloseEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>
#include <QScreen>

namespace {
Qt::WindowFlags flagsFor(CurtainPanel::Role role) {
    Qt::WindowFlags flags = Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                            Qt::X11BypassWindowManagerHint | Qt::NoDropShadowWindowHint;
    if (role == CurtainPanel::Role::cover) flags |= Qt::WindowDoesNotAcceptFocus;
    return flags;
}
}  // namespace

CurtainPanel::CurtainPanel(Role role, QScreen* screen) : QWidget(nullptr, flagsFor(role)), role_(role) {
    setObjectName(role == Role::key ? "curtainPanel" : "curtainCover");
    // Painted fully by paintEvent: nothing of the locked application may shine through, also on
    // desktops without a compositor (where translucency would show garbage instead).
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_DeleteOnClose, false);
    if (role == Role::cover) setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowOpacity(0.0);
    coverScreen(screen);
}

void CurtainPanel::coverScreen(QScreen* screen) {
    if (!screen) return;
    setGeometry(screen->geometry());
}

void CurtainPanel::closeEvent(QCloseEvent* event) { event->ignore(); }

void CurtainPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    // A dark, slightly lit backdrop: what a heavy blur over black looks like.
    QLinearGradient base(rect().topLeft(), rect().bottomLeft());
    base.setColorAt(0.0, QColor(0x16, 0x18, 0x1d));
    base.setColorAt(1.0, QColor(0x0b, 0x0c, 0x10));
    p.fillRect(rect(), base);
    if (role_ == Role::key) {
        QRadialGradient glow(rect().center(), std::max(width(), height()) * 0.45);
        glow.setColorAt(0.0, QColor(255, 255, 255, 14));
        glow.setColorAt(1.0, QColor(255, 255, 255, 0));
        p.fillRect(rect(), glow);
    }
}
