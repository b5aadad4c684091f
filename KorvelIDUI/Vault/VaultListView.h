#pragma once
// The file area of the vault page: the stored files, or the empty-state hint when there are none,
// outlined with a dashed accent line while files are dragged over it. Drops go to the model.
#include <QListView>

class VaultListView : public QListView {
    Q_OBJECT

public:
    explicit VaultListView(QWidget* parent = nullptr);
    bool isDropTargeted() const { return dropTargeted_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void setDropTargeted(bool targeted);
    bool dropTargeted_ = false;
};
