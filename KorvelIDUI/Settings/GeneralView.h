#pragma once
// The General tab: status (face, master password, live camera indicator), language, launch at
// login, the blink requirement, version and build, and a warning when secrets are kept in a file.
#include <QWidget>

class AppState;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;

class GeneralView : public QWidget {
    Q_OBJECT

public:
    explicit GeneralView(AppState& state, QWidget* parent = nullptr);

private:
    void retranslate();
    void refreshStatus();

    AppState& state_;
    QGroupBox* statusBox_;
    QLabel* faceLabel_;
    QLabel* faceValue_;
    QLabel* passwordLabel_;
    QLabel* passwordValue_;
    QLabel* cameraLabel_;
    QLabel* cameraIcon_;
    QLabel* cameraValue_;
    QLabel* cameraNote_;
    QLabel* fileStoreWarning_;
    QLabel* languageLabel_;
    QComboBox* language_;
    QCheckBox* launchAtLogin_;
    QCheckBox* requireBlink_;
    QLabel* blinkNote_;
    QGroupBox* aboutBox_;
    QLabel* versionLabel_;
    QLabel* versionValue_;
    QLabel* buildLabel_;
    QLabel* buildValue_;
    QLabel* footer_;
};
