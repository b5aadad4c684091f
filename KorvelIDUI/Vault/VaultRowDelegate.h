#pragma once
// Draws one stored file: its type icon, name, details line, an "Open" link and the "…" menu, and
// reports clicks on the last two.
#include <QStyledItemDelegate>

class VaultRowDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

    static QRect openRect(const QRect& row);
    static QRect menuRect(const QRect& row);

Q_SIGNALS:
    void openClicked(int row);
    void menuClicked(int row, QPoint globalPos);
};
