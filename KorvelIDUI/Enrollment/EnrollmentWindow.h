#pragma once
// The enrolment window: title, live preview, progress, status and error lines, the name field and
// one button. It shows the model and forwards the button; closing it is reported, not decided here.
#include <QWidget>

class EnrollmentViewModel;
class EnrollmentPreviewView;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

class EnrollmentWindow final : public QWidget {
    Q_OBJECT

public:
    explicit EnrollmentWindow(EnrollmentViewModel& model, QWidget* parent = nullptr);

Q_SIGNALS:
    // The user closed the window (title-bar button, Escape, or Done).
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void retranslate();
    void refresh();
    void buttonPressed();

    // The model may go before the window (it is deleted later, after closing).
    EnrollmentViewModel* model_;
    QLabel* title_;
    EnrollmentPreviewView* preview_;
    QProgressBar* progress_;
    QLabel* status_;
    QLabel* error_;
    QLineEdit* name_;
    QPushButton* button_;
};
