#pragma once
// The About window (360 × 320): icon, name, version (build), the maker's credit.
#include <QWidget>

class AboutWindow : public QWidget {
    Q_OBJECT

public:
    explicit AboutWindow(QWidget* parent = nullptr);
    void present();
};
