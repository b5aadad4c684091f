#pragma once
// The first-run window (520 × 560): the current step's page above a footer with Back, a progress
// indicator while the password is stored, and the primary button.
#include <QWidget>

#include <functional>

class AppState;
class OnboardingState;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;

class OnboardingWindow : public QWidget {
    Q_OBJECT

public:
    explicit OnboardingWindow(AppState& state, QWidget* parent = nullptr);

    OnboardingState& model() { return *model_; }
    // Called once when onboarding finishes (after the window closed).
    void setOnComplete(std::function<void()> onComplete) { onComplete_ = std::move(onComplete); }
    // Brings the window (with its step) to the front.
    void present();

private:
    QWidget* buildWelcomePage();
    QWidget* buildMasterPage();
    QWidget* buildFacePage();
    QWidget* buildDonePage();
    void retranslate();
    void refreshView();
    void finish();

    AppState& state_;
    OnboardingState* model_;
    std::function<void()> onComplete_;
    QStackedWidget* pages_;
    QPushButton* back_;
    QProgressBar* progress_;
    QPushButton* primary_;
    QLineEdit* password_;
    QLineEdit* confirm_;
    QLabel* passwordError_;
    QLabel* faceIcon_;
    QPushButton* enrollButton_;
    // Labels set from a key in retranslate(), with the key in their "textKey" property.
    QList<QLabel*> keyed_;
};
