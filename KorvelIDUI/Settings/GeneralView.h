#pragma once
// The General tab: status (face, master password, live camera indicator), language, launch at
// login, the blink requirement, version and build, and a warning when secrets are kept in a file.
#include <QWidget>

class AppState;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;

class GeneralView : public QWidget {
    Q_OBJECT

public:
    explicit GeneralView(AppState& state, QWidget* parent = nullptr);

protected:
    // Cameras are looked for again each time the page shows (one may have been plugged in).
    void showEvent(QShowEvent* event) override;

private:
    void retranslate();
    void refreshStatus();
    void showBlinkInForce(bool asked);
    void refreshCameras();

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
    QLabel* cameraChoiceLabel_;
    QComboBox* cameraChoice_;
    bool hasCamera_ = true;
    bool blinkNotSaved_ = false;
    QLabel* fileStoreWarning_;
    QLabel* conflictWarning_;
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
    QWidget* windowActions_;  // About and Quit, while no tray icon offers them
    QPushButton* aboutButton_;
    QPushButton* quitButton_;
};
