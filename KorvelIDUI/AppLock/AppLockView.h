#pragma once
// The app-lock page of the settings window: header with "Add App…", the banner while window
// control is missing, the protected applications (or the empty state) and the footer.
#include <QWidget>

#include <memory>

#include "AppLock/AppLockBackend.h"
#include "AppLock/InstalledApplication.h"

class AppLockModel;
class QCheckBox;
class QLabel;
class QListView;
class QPushButton;
class QStackedWidget;

class AppLockView : public QWidget {
    Q_OBJECT

public:
    // Over the shared app lock and the desktop's installed applications.
    explicit AppLockView(QWidget* parent = nullptr);
    // `installed` lists the applications offered by the chooser (and gives the rows their icons).
    AppLockView(std::shared_ptr<AppLockBackend> backend, InstalledApplicationsProvider installed,
                QWidget* parent = nullptr);

    AppLockModel* model() const { return model_; }
    // Shows the chooser and adds what the user confirms.
    void addApps();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildBanner();
    QWidget* buildEmptyState();
    void retranslate();
    void rebuildRows();
    void updateBanner();

    AppLockModel* model_ = nullptr;
    InstalledApplicationsProvider installed_;
    std::vector<InstalledApplication> knownApplications_;  // for the rows' icons
    QLabel* title_ = nullptr;
    QPushButton* addButton_ = nullptr;
    QWidget* banner_ = nullptr;
    QLabel* bannerTitle_ = nullptr;
    QLabel* bannerBody_ = nullptr;
    QPushButton* recheckButton_ = nullptr;
    QLabel* integration_ = nullptr;
    QStackedWidget* content_ = nullptr;
    QLabel* emptyTitle_ = nullptr;
    QLabel* emptyHint_ = nullptr;
    QListView* list_ = nullptr;
    QLabel* footer_ = nullptr;
    QLabel* notSaved_ = nullptr;  // shown while the list lasts only until the program quits
    QCheckBox* keepIconified_ = nullptr;
    QLabel* keepIconifiedHint_ = nullptr;
};
