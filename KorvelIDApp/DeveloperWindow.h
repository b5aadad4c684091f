#pragma once
// The program's window until the full application replaces it: who is enrolled, the camera's
// state, the blink switch, and buttons that open the enrolment window and run a face unlock with
// the scan display.
#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

class DeveloperWindow final : public QWidget {
    Q_OBJECT

public:
    explicit DeveloperWindow(QWidget* parent = nullptr);

private:
    void retranslate();
    void refresh();
    void unlockPressed();
    void removeFacesPressed();

    QLabel* facesCaption_;
    QLabel* faces_;
    QLabel* cameraCaption_;
    QLabel* camera_;
    QCheckBox* requireBlink_;
    QPushButton* enrollButton_;
    QPushButton* unlockButton_;
    QPushButton* removeButton_;
    QLabel* result_;
};
