#pragma once
// What the curtain's interactive panel shows: glyph, "<app> is locked", the model's message or
// prompt, and the controls of the current phase. It draws the model and forwards the buttons to
// it; it decides nothing itself.
#include <QPointer>
#include <QWidget>

class CurtainGlyph;
class CurtainModel;
class CurtainSpinner;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;

class LockCurtainView : public QWidget {
    Q_OBJECT

public:
    explicit LockCurtainView(CurtainModel* model, QWidget* parent = nullptr);

    CurtainModel* model() const { return model_; }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void build();
    void bind();
    void retranslate();
    void refresh();
    void refreshPassword();
    void arrangeButtons();
    QPushButton* makeButton(const char* objectName, bool prominent);

    // The widest a text line or a row of buttons may be.
    static constexpr int columnWidth = 460;

    QPointer<CurtainModel> model_;
    bool started_ = false;
    QWidget* column_ = nullptr;
    CurtainGlyph* glyph_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* subtitle_ = nullptr;
    QLabel* keyboardNotice_ = nullptr;
    QWidget* scanningRow_ = nullptr;
    QLabel* scanningLabel_ = nullptr;
    QLineEdit* passwordField_ = nullptr;
    QWidget* checkingRow_ = nullptr;
    QLabel* checkingLabel_ = nullptr;
    QPushButton* usePasswordButton_ = nullptr;
    QPushButton* tryFaceAgainButton_ = nullptr;
    QPushButton* unlockButton_ = nullptr;
    QPushButton* useFaceButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QList<QHBoxLayout*> buttonRows_;
};
