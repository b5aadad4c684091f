#include "Vault/VaultListView.h"

#include <QDragEnterEvent>
#include <QMimeData>
#include <QPainter>

#include "Common/SymbolIcon.h"
#include "Localization/Localization.h"

VaultListView::VaultListView(QWidget* parent) : QListView(parent) {
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DropOnly);
    setDropIndicatorShown(false);
    setDefaultDropAction(Qt::CopyAction);
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setFrameShape(QFrame::NoFrame);
}

void VaultListView::paintEvent(QPaintEvent* event) {
    QListView::paintEvent(event);
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect area = viewport()->rect().adjusted(2, 2, -2, -2);
    if (model() && model()->rowCount() == 0) {
        const QPixmap tray = SymbolIcon::pixmap(QStringLiteral("tray"), 40);
        const int top = area.center().y() - 60;
        painter.drawPixmap(area.center().x() - 20, top, tray);
        QFont bold = font();
        bold.setBold(true);
        painter.setFont(bold);
        painter.drawText(QRect(area.left(), top + 48, area.width(), 24), Qt::AlignCenter, qL("vault.noFiles"));
        painter.setFont(font());
        painter.setPen(palette().color(QPalette::PlaceholderText));
        painter.drawText(QRect(area.left() + 20, top + 74, area.width() - 40, 60), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
                         qL("vault.dropHint"));
    }
    if (dropTargeted_) {
        QPen pen(palette().color(QPalette::Highlight), 2, Qt::CustomDashLine);
        pen.setDashPattern({3, 3});  // 6-pixel dashes at a 2-pixel pen
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(area, 12, 12);
    }
}

void VaultListView::setDropTargeted(bool targeted) {
    if (targeted == dropTargeted_) return;
    dropTargeted_ = targeted;
    viewport()->update();
}

void VaultListView::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) {
        setDropTargeted(true);
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    QListView::dragEnterEvent(event);
}

void VaultListView::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    QListView::dragMoveEvent(event);
}

void VaultListView::dragLeaveEvent(QDragLeaveEvent* event) {
    setDropTargeted(false);
    QListView::dragLeaveEvent(event);
}

void VaultListView::dropEvent(QDropEvent* event) {
    setDropTargeted(false);
    if (model() && model()->dropMimeData(event->mimeData(), Qt::CopyAction, -1, -1, QModelIndex())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    event->ignore();
}
