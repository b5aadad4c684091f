#include "Vault/VaultRowDelegate.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>

#include "Common/SymbolIcon.h"
#include "Localization/Localization.h"
#include "Vault/VaultModel.h"

namespace {
constexpr int rowHeight = 44;
constexpr int menuWidth = 28;
constexpr int openWidth = 64;
}  // namespace

QRect VaultRowDelegate::menuRect(const QRect& row) {
    return QRect(row.right() - menuWidth - 4, row.top(), menuWidth, row.height());
}

QRect VaultRowDelegate::openRect(const QRect& row) {
    return QRect(menuRect(row).left() - openWidth, row.top(), openWidth, row.height());
}

QSize VaultRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return QSize(option.rect.width(), rowHeight);
}

void VaultRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    painter->save();
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text.clear();
    opt.icon = QIcon();
    QApplication::style()->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);

    const QRect r = option.rect;
    const QString symbol = index.data(VaultModel::IconNameRole).toString();
    SymbolIcon::icon(symbol).paint(painter, QRect(r.left() + 6, r.top() + (r.height() - 22) / 2, 22, 22));

    const int textLeft = r.left() + 6 + 28;
    const int textRight = openRect(r).left() - 6;
    QFont nameFont = option.font;
    QFont detailFont = option.font;
    detailFont.setPointSizeF(option.font.pointSizeF() * 0.85);
    const QFontMetrics nameMetrics(nameFont);
    painter->setFont(nameFont);
    painter->setPen(option.palette.color(QPalette::Text));
    const QString name = nameMetrics.elidedText(index.data().toString(), Qt::ElideMiddle, textRight - textLeft);
    painter->drawText(QRect(textLeft, r.top() + 4, textRight - textLeft, r.height() / 2), Qt::AlignLeft | Qt::AlignVCenter, name);
    painter->setFont(detailFont);
    painter->setPen(option.palette.color(QPalette::PlaceholderText));
    painter->drawText(QRect(textLeft, r.top() + r.height() / 2, textRight - textLeft, r.height() / 2 - 4),
                      Qt::AlignLeft | Qt::AlignVCenter, index.data(VaultModel::DetailsRole).toString());

    painter->setFont(nameFont);
    painter->setPen(option.palette.color(QPalette::Link));
    painter->drawText(openRect(r), Qt::AlignCenter, qL("vault.open"));
    // The row menu: a circled ellipsis.
    const QRect menu = menuRect(r);
    const QRectF circle(menu.center().x() - 9.5, menu.center().y() - 9.5, 19, 19);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(option.palette.color(QPalette::Link), 1.3));
    painter->drawEllipse(circle);
    painter->setBrush(option.palette.color(QPalette::Link));
    painter->setPen(Qt::NoPen);
    for (int i = -1; i <= 1; ++i) painter->drawEllipse(QPointF(circle.center().x() + i * 4.5, circle.center().y()), 1.4, 1.4);
    painter->restore();
}

bool VaultRowDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                   const QModelIndex& index) {
    if (event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint at = mouse->position().toPoint();
        if (openRect(option.rect).contains(at)) {
            Q_EMIT openClicked(index.row());
            return true;
        }
        if (menuRect(option.rect).contains(at)) {
            Q_EMIT menuClicked(index.row(), mouse->globalPosition().toPoint());
            return true;
        }
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}
