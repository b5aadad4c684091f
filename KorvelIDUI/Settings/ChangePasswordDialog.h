#pragma once
// The change-password sheet: three masked fields, the error, Cancel and Change.
#include <QDialog>

class ChangePasswordState;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

class ChangePasswordDialog : public QDialog {
    Q_OBJECT

public:
    explicit ChangePasswordDialog(QWidget* parent = nullptr);
    ChangePasswordState& model() { return *model_; }
    // Escape and Cancel do nothing while the change runs: it cannot be stopped half-way.
    void reject() override;

private:
    void retranslate();
    void refreshView();

    ChangePasswordState* model_;
    QLabel* title_;
    QLineEdit* current_;
    QLineEdit* new_;
    QLineEdit* confirm_;
    QLabel* error_;
    QProgressBar* progress_;
    QLabel* working_;
    QPushButton* cancel_;
    QPushButton* change_;
};
