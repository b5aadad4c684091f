#pragma once
// A ready-made lock screen a host puts over its content: a translucent cover with a face symbol,
// a title and a status line, and a button to unlock with the face. It starts a face scan as soon
// as it is shown, calls `onUnlock` when a face is approved and otherwise says why not.
#include "LockScreen/LockScreenModel.h"

#include <QImage>
#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;
class SymbolView;

class KorvelIDLockScreen : public QWidget {
    Q_OBJECT

public:
    // `onCancel` empty: no cancel button. `unlock` empty: the application's face unlock.
    KorvelIDLockScreen(QString title, QString subtitle, std::function<void()> onUnlock,
                       std::function<void()> onCancel = {}, LockScreenModel::UnlockFunction unlock = {},
                       QWidget* parent = nullptr);

    const QString& title() const { return title_; }
    void setTitle(const QString& title);
    const QString& subtitle() const { return subtitle_; }
    void setSubtitle(const QString& subtitle);
    void setOnUnlock(std::function<void()> onUnlock) { onUnlock_ = std::move(onUnlock); }
    void setOnCancel(std::function<void()> onCancel);

    // A still image of the locked content, drawn blurred by `radius` behind the cover.
    void setBackdrop(const QImage& backdrop);
    void setBackdropBlur(double radius);

    LockScreenModel& model() { return model_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void build();
    void refresh();

    QString title_;
    QString subtitle_;
    std::function<void()> onUnlock_;
    std::function<void()> onCancel_;
    LockScreenModel model_;
    bool appeared_ = false;
    QImage backdrop_;
    QImage blurredBackdrop_;
    double backdropBlur_ = -1;
    SymbolView* symbol_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QPushButton* unlockButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
};
