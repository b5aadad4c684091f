#pragma once
// The maker's credit row: a short credit text and the maker's logo at a given height, or the name
// "Brenmar" when no logo image ships with the program.
#include <QWidget>

class QLabel;

class BrenmarCredit : public QWidget {
    Q_OBJECT

public:
    explicit BrenmarCredit(int logoHeight, QWidget* parent = nullptr);
    // Whether the logo image was found (it is looked up once per process).
    static bool hasLogo();

private:
    void retranslate();
    QLabel* credit_;
};
