#pragma once
// A small indeterminate spinner (a turning arc), shown next to "Scanning…" and "Checking…".
#include <QTimer>
#include <QWidget>

class CurtainSpinner : public QWidget {
    Q_OBJECT

public:
    explicit CurtainSpinner(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer timer_;
    int angle_ = 0;
};
