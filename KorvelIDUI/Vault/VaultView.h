#pragma once
// The vault page: set-up, locked or unlocked, as the model says. Lays out and forwards; every
// decision and all store work belong to VaultModel.
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class VaultListView;
class VaultModel;

class VaultView : public QWidget {
    Q_OBJECT

public:
    explicit VaultView(QWidget* parent = nullptr);
    VaultModel& model() { return *model_; }

    // Dialog-driven actions (through DialogRunner), public so the tray, tests and the row menu reach them.
    void importFiles();
    void exportItem(int row);
    void removeItem(int row);
    // What becomes of a changed opened copy: Replace, Keep Both, Keep for Now or Discard.
    int askAboutCopy(quint64 copy);

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildSetUpPage();
    QWidget* buildLockedPage();
    QWidget* buildUnlockedPage();
    void retranslate();
    void updateState();
    void showRowMenu(int row, QPoint globalPos);

    VaultModel* model_;
    QStackedWidget* pages_;
    QLabel* setUpTitle_;
    QLabel* setUpBody_;
    QPushButton* setUpButton_;
    QLabel* lockedTitle_;
    QLabel* lockedBody_;
    QPushButton* unlockButton_;
    QLabel* passwordFallback_;
    QLabel* itemCount_;
    QProgressBar* busy_;
    QPushButton* addButton_;
    QPushButton* lockButton_;
    VaultListView* list_;
    QLabel* error_;
    QLabel* footer_;
};
