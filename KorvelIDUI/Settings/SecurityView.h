#pragma once
// The Security tab: enrolled faces (add or re-enrol, remove all) and the master password (the
// change-password sheet, and "Master password updated." after a change); a removal of the faces
// that could not be saved says so.
#include <QWidget>

class AppState;
class QGroupBox;
class QLabel;
class QPushButton;

class SecurityView : public QWidget {
    Q_OBJECT

public:
    explicit SecurityView(AppState& state, QWidget* parent = nullptr);
    // Opens the change-password sheet (through DialogRunner).
    void changePassword();
    // Both ask for the existing credential first (CredentialGate); removing also asks to confirm.
    void addFace();
    void removeFaces();

private:
    void retranslate();
    void refreshFaces();

    AppState& state_;
    QGroupBox* faceBox_;
    QLabel* enrolledLabel_;
    QLabel* enrolledCount_;
    QPushButton* addFace_;
    QPushButton* removeFaces_;
    QGroupBox* passwordBox_;
    QPushButton* changePassword_;
    QLabel* passwordNote_;
    QLabel* status_;
    const char* statusKey_ = nullptr;  // the last change's outcome, if it has one to show
};
